// Real forward + inverse transform pairs of this library next to FFTW's single-precision r2c / c2r
// transforms (FFTW_MEASURE plans), one size after the other in the same run. After the usual
// table, a summary prints the best CPU and real time per pair of each and the ratios ours / FFTW.
// CPU time is the less disturbed by other load on the machine; --benchmark_repetitions=N gives
// steadier figures.

#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "DspCore/FourierTransform.h"

namespace
{

const std::vector<int> lengths = {256, 512, 1024, 2048, 4096};

void fillRandom(float* samples, int n)
{
    std::mt19937 generator(1234);
    std::uniform_real_distribution<float> distribution(-1.0f, 1.0f);
    for (int i = 0; i < n; ++i)
        samples[i] = distribution(generator);
}

void benchmarkMurel(benchmark::State& state, int n)
{
    murel::FourierTransform transform;
    murel::Signal32 frame(1, n);
    fillRandom(frame.getWritePointer(0), n);
    murel::ComplexSignal32 spectrum(1, n / 2 + 1);
    murel::Signal32 back(1, n);
    for (auto _ : state)
    {
        transform.forwardReal(frame, spectrum);
        transform.inverseReal(spectrum, back);
        benchmark::DoNotOptimize(back.getReadPointer(0));
        benchmark::ClobberMemory();
    }
}

void benchmarkFftw(benchmark::State& state, int n)
{
    float* frame = fftwf_alloc_real(static_cast<std::size_t>(n));
    float* back = fftwf_alloc_real(static_cast<std::size_t>(n));
    fftwf_complex* spectrum = fftwf_alloc_complex(static_cast<std::size_t>(n / 2 + 1));
    // Planning with FFTW_MEASURE overwrites the arrays, so they are filled afterwards.
    fftwf_plan forward = fftwf_plan_dft_r2c_1d(n, frame, spectrum, FFTW_MEASURE);
    fftwf_plan inverse = fftwf_plan_dft_c2r_1d(n, spectrum, back, FFTW_MEASURE);
    fillRandom(frame, n);
    for (auto _ : state)
    {
        fftwf_execute(forward);
        fftwf_execute(inverse);
        benchmark::DoNotOptimize(back);
        benchmark::ClobberMemory();
    }
    fftwf_destroy_plan(forward);
    fftwf_destroy_plan(inverse);
    fftwf_free(spectrum);
    fftwf_free(back);
    fftwf_free(frame);
}

/** Console output as usual, keeping the best per-iteration CPU and real times of every
    benchmark name. */
class SummaryReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
        {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            keepBest(bestCpu, run.run_name.function_name, run.GetAdjustedCPUTime());
            keepBest(bestReal, run.run_name.function_name, run.GetAdjustedRealTime());
        }
    }

    void printSummary() const
    {
        std::printf("\nforwardReal + inverseReal, best time per pair (ns)\n");
        std::printf("%6s %12s %12s %10s %12s %12s %10s\n", "N", "ours CPU", "FFTW CPU", "ratio", "ours real",
                    "FFTW real", "ratio");
        for (int n : lengths)
        {
            const std::string ours = "MurelRealPair/" + std::to_string(n);
            const std::string theirs = "FftwRealPair/" + std::to_string(n);
            if (bestCpu.count(ours) == 0 || bestCpu.count(theirs) == 0)
                continue;
            const double oursCpu = bestCpu.at(ours), theirsCpu = bestCpu.at(theirs);
            const double oursReal = bestReal.at(ours), theirsReal = bestReal.at(theirs);
            std::printf("%6d %12.1f %12.1f %10.2f %12.1f %12.1f %10.2f\n", n, oursCpu, theirsCpu, oursCpu / theirsCpu,
                        oursReal, theirsReal, oursReal / theirsReal);
        }
    }

private:
    static void keepBest(std::map<std::string, double>& best, const std::string& name, double time)
    {
        const auto found = best.find(name);
        best[name] = found == best.end() ? time : std::min(found->second, time);
    }

    std::map<std::string, double> bestCpu;
    std::map<std::string, double> bestReal;
};

} // namespace

int main(int argc, char** argv)
{
    for (int n : lengths)
    {
        benchmark::RegisterBenchmark(("MurelRealPair/" + std::to_string(n)).c_str(), benchmarkMurel, n)
            ->Unit(benchmark::kNanosecond);
        benchmark::RegisterBenchmark(("FftwRealPair/" + std::to_string(n)).c_str(), benchmarkFftw, n)
            ->Unit(benchmark::kNanosecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printSummary();
    benchmark::Shutdown();
    fftwf_cleanup();
    return 0;
}
