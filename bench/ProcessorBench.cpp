// End-to-end speed of the neural spectral processor at 48 kHz stereo, in multiples of real time,
// for a reference encoder/decoder model of the size of a small real-time denoiser:
//  - one model, and the same model alone (no framing, transforms or mixing), which gives the
//    share of time spent outside the model;
//  - a two-model stem separator on its worker threads, and the same two graphs run one after
//    the other (one model whose graph holds both, so the same layers run on one thread);
//  - heap allocations per frame in steady state (every malloc of the process is counted).
// A summary after the table gives the ratios.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "DspCore/AudioFormat.h"
#include "DspCore/Signals.h"
#include "ModelWriter.h"
#include "Neural/MemoryInputStream.h"
#include "Neural/NeuralModel.h"
#include "Processor/MurelProcessor.h"

// ---- Counting every heap allocation of the process ----

namespace
{
std::atomic<std::int64_t> numOfAllocations{0};
}

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define MUREL_COUNTS_ALLOCATIONS 1
extern "C"
{
    void* __libc_malloc(std::size_t size);
    void* __libc_calloc(std::size_t count, std::size_t size);
    void* __libc_realloc(void* pointer, std::size_t size);
    void __libc_free(void* pointer);

    // The executable's malloc takes the place of the C library's for the whole process, the
    // engine's aligned storage and operator new included.
    void* malloc(std::size_t size)
    {
        numOfAllocations.fetch_add(1, std::memory_order_relaxed);
        return __libc_malloc(size);
    }
    void* calloc(std::size_t count, std::size_t size)
    {
        numOfAllocations.fetch_add(1, std::memory_order_relaxed);
        return __libc_calloc(count, size);
    }
    void* realloc(void* pointer, std::size_t size)
    {
        numOfAllocations.fetch_add(1, std::memory_order_relaxed);
        return __libc_realloc(pointer, size);
    }
    void free(void* pointer)
    {
        __libc_free(pointer);
    }
}
#else
#define MUREL_COUNTS_ALLOCATIONS 0
#endif

namespace
{

namespace mw = murel::modelwriter;
using murel::AudioFormat;
using murel::MurelProcessor;
using murel::Signal32;

constexpr double sampleRate = 48000.0;
constexpr int numOfChannels = 2;
constexpr int fftSize = 512;
constexpr int hopSize = 256;
constexpr int numOfBins = 256;
/** A host's block: 10 ms, not a multiple of the hop. */
constexpr int hostBlockSize = 480;

// ---- The reference model ----

struct Builder
{
    explicit Builder(std::uint32_t seed) : generator(seed) {}

    mw::TensorRecord weights(std::vector<int> shape, int fanIn)
    {
        std::size_t count = 1;
        for (int axis : shape)
            count *= static_cast<std::size_t>(axis);
        const float range = 1.7f / std::sqrt(static_cast<float>(fanIn));
        std::uniform_real_distribution<float> distribution(-range, range);
        mw::TensorRecord record;
        record.shape = std::move(shape);
        record.values.resize(count);
        for (float& value : record.values)
            value = distribution(generator);
        return record;
    }

    mw::TensorRecord constant(int count, float value)
    {
        mw::TensorRecord record;
        record.shape = {count};
        record.values.assign(static_cast<std::size_t>(count), value);
        return record;
    }

    /** Causal convolution over two frames; frequencyStride 2 halves the rows. */
    void conv(const std::string& name, const std::string& source, int kernelTime, int kernelFrequency, int stride,
              int inputChannels, int outputChannels)
    {
        mw::ConvLayerRecord record;
        record.source = source;
        record.weights = weights({kernelTime, kernelFrequency, inputChannels, outputChannels},
                                 kernelTime * kernelFrequency * inputChannels);
        record.bias = constant(outputChannels, 0.01f);
        record.frequencyStride = stride;
        layers.push_back({name, record});
        macs += static_cast<double>(rowsAfter(source) / stride) * outputChannels * kernelTime * kernelFrequency *
                inputChannels;
        rows[name] = rowsAfter(source) / stride;
    }

    void transposedConv(const std::string& name, const std::string& source, int inputChannels, int outputChannels)
    {
        mw::TransposedConvLayerRecord record;
        record.source = source;
        record.weights = weights({1, 4, outputChannels, inputChannels}, 2 * inputChannels);
        record.bias = constant(outputChannels, 0.01f);
        record.outputChannels = outputChannels;
        record.frequencyStride = 2;
        layers.push_back({name, record});
        macs += static_cast<double>(rowsAfter(source)) * inputChannels * outputChannels * 4;
        rows[name] = rowsAfter(source) * 2;
    }

    void norm(const std::string& name, const std::string& source, int channels)
    {
        mw::NormLayerRecord record;
        record.source = source;
        record.scale = constant(channels, 0.9f);
        record.offset = constant(channels, 0.02f);
        layers.push_back({name, record});
        rows[name] = rowsAfter(source);
    }

    void activation(const std::string& name, int type, const std::string& source)
    {
        layers.push_back({name, mw::ActivationLayerRecord{type, source}});
        rows[name] = rowsAfter(source);
    }

    void concat(const std::string& name, const std::string& first, const std::string& second)
    {
        layers.push_back({name, mw::ConcatLayerRecord{{first, second}}});
        rows[name] = rowsAfter(first);
    }

    int rowsAfter(const std::string& name) const { return name.rfind("input", 0) == 0 ? numOfBins : rows.at(name); }

    /** The encoder/decoder of one separated component; prefix keeps the names of several apart. */
    std::string addNetwork(const std::string& prefix)
    {
        const auto n = [&](const char* name) { return prefix + name; };
        conv(n("enc1"), "input", 2, 4, 2, 2 * numOfChannels, 24); // 256 -> 128 rows
        norm(n("norm1"), n("enc1"), 24);
        activation(n("act1"), 4, n("norm1"));
        conv(n("enc2"), n("act1"), 2, 4, 2, 24, 32); // 128 -> 64
        norm(n("norm2"), n("enc2"), 32);
        activation(n("act2"), 4, n("norm2"));
        conv(n("enc3"), n("act2"), 2, 4, 2, 32, 48); // 64 -> 32
        activation(n("act3"), 4, n("enc3"));
        conv(n("bottleneck"), n("act3"), 2, 3, 1, 48, 48);
        norm(n("norm4"), n("bottleneck"), 48);
        activation(n("act4"), 4, n("norm4"));
        transposedConv(n("dec3"), n("act4"), 48, 32); // 32 -> 64
        activation(n("act5"), 4, n("dec3"));
        concat(n("skip2"), n("act5"), n("act2"));
        transposedConv(n("dec2"), n("skip2"), 64, 24); // 64 -> 128
        activation(n("act6"), 4, n("dec2"));
        concat(n("skip1"), n("act6"), n("act1"));
        transposedConv(n("dec1"), n("skip1"), 48, 16); // 128 -> 256
        activation(n("act7"), 4, n("dec1"));
        conv(n("out"), n("act7"), 1, 1, 1, 16, 2 * numOfChannels);
        activation(n("mask"), 6, n("out"));
        return n("mask");
    }

    std::mt19937 generator;
    std::vector<mw::LayerRecord> layers;
    std::map<std::string, int> rows;
    double macs = 0.0;
};

mw::ModelDescription header(int numOfOutputs)
{
    mw::ModelDescription description;
    mw::ModelHeader& h = description.header;
    h.sampleRate = sampleRate;
    h.numInputChannels = numOfChannels;
    h.numOutputChannels = numOfChannels;
    h.processingMode = 0;
    h.inputPacking = mw::Packing::plain(4, numOfBins);
    h.outputPacking = mw::Packing::plain(4, numOfBins);
    h.fftSize = fftSize;
    h.windowSize = fftSize;
    h.hopSize = hopSize;
    h.numOutputs = numOfOutputs;
    h.outputNames.clear();
    for (int i = 0; i < numOfOutputs; ++i)
        h.outputNames.push_back("Stem " + std::to_string(i + 1));
    h.outputNames.push_back("Residual");
    return description;
}

/** The reference model: one separated component. */
mw::ModelDescription referenceModel(std::uint32_t seed, double* macsPerFrame = nullptr)
{
    Builder builder(seed);
    mw::ModelDescription description = header(1);
    description.outputSource = builder.addNetwork("");
    description.layers = std::move(builder.layers);
    if (macsPerFrame != nullptr)
        *macsPerFrame = builder.macs;
    return description;
}

/** Both components' networks in one graph, run one after the other on one thread. */
mw::ModelDescription fusedModel(std::uint32_t firstSeed, std::uint32_t secondSeed)
{
    Builder first(firstSeed);
    Builder second(secondSeed);
    mw::ModelDescription description = header(2);
    const std::string firstMask = first.addNetwork("a.");
    const std::string secondMask = second.addNetwork("b.");
    description.layers = std::move(first.layers);
    description.layers.insert(description.layers.end(), second.layers.begin(), second.layers.end());
    description.layers.push_back({"both", mw::ConcatLayerRecord{{firstMask, secondMask}}});
    description.outputSource = "both";
    return description;
}

std::shared_ptr<murel::InputStream> toStream(const mw::ModelDescription& description)
{
    return std::make_shared<murel::MemoryInputStream>(mw::writeModel(description));
}

std::unique_ptr<MurelProcessor> makeProcessor(const std::vector<mw::ModelDescription>& models)
{
    auto processor = std::make_unique<MurelProcessor>();
    std::vector<std::shared_ptr<murel::InputStream>> streams;
    for (const auto& model : models)
        streams.push_back(toStream(model));
    AudioFormat format;
    format.createDefaultChannelMapping(numOfChannels);
    format.setSampleRate(sampleRate);
    if (!processor->loadModels(streams) || !processor->setFormat(format, format))
        return nullptr;
    return processor;
}

/** Ten seconds of stereo noise at a moderate level, cut into host blocks. */
std::vector<Signal32> makeBlocks()
{
    std::mt19937 generator(7);
    std::uniform_real_distribution<float> distribution(-0.3f, 0.3f);
    std::vector<Signal32> blocks;
    for (int b = 0; b < 1000; ++b)
    {
        Signal32 block(numOfChannels, hostBlockSize);
        for (int c = 0; c < numOfChannels; ++c)
            for (int i = 0; i < hostBlockSize; ++i)
                block.getWritePointer(c)[i] = distribution(generator);
        blocks.push_back(block);
    }
    return blocks;
}

const std::vector<Signal32>& blocks()
{
    static const std::vector<Signal32> all = makeBlocks();
    return all;
}

void runProcessor(benchmark::State& state, const std::vector<mw::ModelDescription>& models)
{
    const std::unique_ptr<MurelProcessor> processor = makeProcessor(models);
    if (processor == nullptr)
    {
        state.SkipWithError("the models do not load");
        return;
    }
    const std::vector<Signal32>& input = blocks();
    // Steady state: every layer has its buffers and every queue its depth.
    for (int b = 0; b < 200; ++b)
        benchmark::DoNotOptimize(processor->process(input[static_cast<std::size_t>(b)]));

    std::size_t next = 0;
    std::int64_t numOfSamples = 0;
    const std::int64_t allocationsBefore = numOfAllocations.load();
    for (auto _ : state)
    {
        Signal32 output = processor->process(input[next]);
        benchmark::DoNotOptimize(output);
        numOfSamples += hostBlockSize;
        next = (next + 1) % input.size();
    }
    const std::int64_t allocations = numOfAllocations.load() - allocationsBefore;
    const double seconds = static_cast<double>(numOfSamples) / sampleRate;
    const double frames = static_cast<double>(numOfSamples) / hopSize;
    state.counters["xRealTime"] = benchmark::Counter(seconds, benchmark::Counter::kIsRate);
    state.counters["framesPerSecond"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    if (MUREL_COUNTS_ALLOCATIONS)
        state.counters["allocsPerFrame"] = static_cast<double>(allocations) / frames;
}

void benchmarkOneModel(benchmark::State& state)
{
    runProcessor(state, {referenceModel(1)});
}

void benchmarkTwoModelsOnWorkerThreads(benchmark::State& state)
{
    runProcessor(state, {referenceModel(1), referenceModel(2)});
}

void benchmarkTwoModelsOneAfterTheOther(benchmark::State& state)
{
    runProcessor(state, {fusedModel(1, 2)});
}

/** 64 spectra of random bins, the frames the model sees when it runs alone. */
std::vector<murel::ComplexSignal32> randomSpectra()
{
    std::mt19937 generator(3);
    std::uniform_real_distribution<float> distribution(-8.0f, 8.0f);
    std::vector<murel::ComplexSignal32> spectra;
    for (int s = 0; s < 64; ++s)
    {
        murel::ComplexSignal32 spectrum(numOfChannels, fftSize / 2 + 1);
        for (int c = 0; c < numOfChannels; ++c)
            for (int k = 0; k <= fftSize / 2; ++k)
                spectrum.getWritePointer(c)[k] = {distribution(generator), distribution(generator)};
        spectra.push_back(spectrum);
    }
    return spectra;
}

/** The model alone on the spectra it would see: what the processor cannot avoid. */
void benchmarkModelAlone(benchmark::State& state)
{
    murel::NeuralModel<float> model;
    if (!model.loadModel(toStream(referenceModel(1))))
    {
        state.SkipWithError("the model does not load");
        return;
    }
    const std::vector<murel::ComplexSignal32> spectra = randomSpectra();
    for (int s = 0; s < 100; ++s)
        benchmark::DoNotOptimize(model.process(spectra[static_cast<std::size_t>(s) % spectra.size()]));

    std::size_t next = 0;
    std::int64_t frames = 0;
    const std::int64_t allocationsBefore = numOfAllocations.load();
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(model.process(spectra[next]));
        next = (next + 1) % spectra.size();
        ++frames;
    }
    const std::int64_t allocations = numOfAllocations.load() - allocationsBefore;
    state.counters["xRealTime"] =
        benchmark::Counter(static_cast<double>(frames) * hopSize / sampleRate, benchmark::Counter::kIsRate);
    state.counters["framesPerSecond"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    if (MUREL_COUNTS_ALLOCATIONS)
        state.counters["allocsPerFrame"] = static_cast<double>(allocations) / static_cast<double>(frames);
}

/** Thread CPU time in seconds. */
double threadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

/** The processor with the reference model and the same model alone, interleaved block by block
    so that both see the same load on a shared machine: the share of the processor's thread time
    that is spent outside the model. */
void benchmarkShareOutsideTheModel(benchmark::State& state)
{
    const std::unique_ptr<MurelProcessor> processor = makeProcessor({referenceModel(1)});
    murel::NeuralModel<float> model;
    if (processor == nullptr || !model.loadModel(toStream(referenceModel(1))))
    {
        state.SkipWithError("the model does not load");
        return;
    }
    const std::vector<murel::ComplexSignal32> spectra = randomSpectra();
    const std::vector<Signal32>& input = blocks();
    for (int b = 0; b < 200; ++b)
    {
        benchmark::DoNotOptimize(processor->process(input[static_cast<std::size_t>(b)]));
        benchmark::DoNotOptimize(model.process(spectra[static_cast<std::size_t>(b) % spectra.size()]));
    }

    double processorTime = 0.0;
    double modelTime = 0.0;
    std::int64_t numOfSamples = 0;
    std::int64_t framesRun = 0;
    std::size_t next = 0;
    for (auto _ : state)
    {
        const double start = threadSeconds();
        benchmark::DoNotOptimize(processor->process(input[next]));
        const double middle = threadSeconds();
        numOfSamples += hostBlockSize;
        // As many frames through the model alone as the processor has cut so far.
        for (; framesRun < numOfSamples / hopSize; ++framesRun)
            benchmark::DoNotOptimize(model.process(spectra[static_cast<std::size_t>(framesRun) % spectra.size()]));
        const double end = threadSeconds();
        processorTime += middle - start;
        modelTime += end - middle;
        next = (next + 1) % input.size();
    }
    state.counters["outsidePercent"] = 100.0 * (processorTime - modelTime) / processorTime;
}

/** Console output as usual, keeping the best real time per frame of every benchmark. */
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
            const auto outside = run.counters.find("outsidePercent");
            if (outside != run.counters.end())
                outsideShares.push_back(outside->second.value);
            const auto rate = run.counters.find("framesPerSecond");
            if (rate == run.counters.end() || !(rate->second.value > 0.0))
                continue;
            const double microseconds = 1e6 / rate->second.value;
            const double frames = rate->second.value * run.real_accumulated_time;
            const double cpuMicroseconds = 1e6 * run.cpu_accumulated_time / frames;
            const std::string name = run.run_name.function_name;
            keepBest(best, name, microseconds);
            keepBest(bestCpu, name, cpuMicroseconds);
            const auto allocs = run.counters.find("allocsPerFrame");
            if (allocs != run.counters.end())
                allocations[name] = allocs->second.value;
        }
    }

    void printSummary(double macsPerFrame) const
    {
        const double frameSeconds = static_cast<double>(hopSize) / sampleRate;
        std::printf("\nReference model: %.2f MFLOP per frame (%.1f M multiply-adds), %d frames/s at 48 kHz\n",
                    2.0 * macsPerFrame * 1e-6, macsPerFrame * 1e-6, static_cast<int>(sampleRate / hopSize));
        std::printf("%-28s %14s %14s %12s %18s\n", "", "real us/frame", "CPU us/frame", "x real time",
                    "allocations/frame");
        for (const auto& [name, microseconds] : best)
        {
            const auto allocs = allocations.find(name);
            std::printf("%-28s %14.1f %14.1f %12.1f %18.1f\n", name.c_str(), microseconds, bestCpu.at(name),
                        frameSeconds / (microseconds * 1e-6), allocs != allocations.end() ? allocs->second : -1.0);
        }
        const auto get = [](const std::map<std::string, double>& times, const char* name)
        { return times.count(name) != 0 ? times.at(name) : 0.0; };
        const double one = get(bestCpu, "OneModel");
        const double alone = get(bestCpu, "ModelAlone");
        const double threads = get(best, "TwoModelsOnWorkerThreads");
        const double sequential = get(best, "TwoModelsOneAfterTheOther");
        // Both run on one thread: CPU time is the fairer measure on a shared machine.
        if (one > 0.0 && alone > 0.0)
            std::printf("time outside the model, separate runs: %.1f %% of CPU time\n", 100.0 * (one - alone) / one);
        if (!outsideShares.empty())
        {
            std::vector<double> sorted = outsideShares;
            std::sort(sorted.begin(), sorted.end());
            std::printf("time outside the model (framing, transforms, mask shaping, mixing), interleaved runs: "
                        "median %.1f %% of thread time over %zu runs\n",
                        sorted[sorted.size() / 2], sorted.size());
        }
        if (threads > 0.0 && sequential > 0.0)
            std::printf("two-model separator: worker threads %.2fx faster than one after the other\n",
                        sequential / threads);
    }

private:
    static void keepBest(std::map<std::string, double>& times, const std::string& name, double time)
    {
        const auto found = times.find(name);
        times[name] = found == times.end() ? time : std::min(found->second, time);
    }

    std::map<std::string, double> best;
    std::map<std::string, double> bestCpu;
    std::vector<double> outsideShares;
    std::map<std::string, double> allocations;
};

} // namespace

int main(int argc, char** argv)
{
    double macsPerFrame = 0.0;
    referenceModel(1, &macsPerFrame);
    benchmark::RegisterBenchmark("OneModel", benchmarkOneModel)->UseRealTime()->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("ModelAlone", benchmarkModelAlone)->UseRealTime()->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("TwoModelsOnWorkerThreads", benchmarkTwoModelsOnWorkerThreads)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("TwoModelsOneAfterTheOther", benchmarkTwoModelsOneAfterTheOther)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("ShareOutsideTheModel", benchmarkShareOutsideTheModel)->Unit(benchmark::kMicrosecond);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printSummary(macsPerFrame);
    benchmark::Shutdown();
    return 0;
}
