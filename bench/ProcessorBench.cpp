// End-to-end speed of the neural spectral processor through its real-time entries (addAudio and
// getAudio, 480-sample host blocks at 48 kHz), with a reference model of the size of a real-time
// speech denoiser: FFT 1024, hop 256, 512 bins; four causal encoder convolutions that halve the
// bins (32, 32, 48, 64 channels), a self-attention and dense bottleneck, three transposed
// convolution decoders with skip concatenations and one more to the full bins, a sigmoid mask.
//  - one model, mono and stereo: multiples of real time per core (CPU time), the per-block
//    CPU time (median, 99th percentile, maximum) and heap allocations per call;
//  - the model alone in GFLOP/s against the four-lane fused multiply-add peak measured in the
//    same run, and the share of time outside the model;
//  - a two-model stem separator (the caller and one worker) against the same two graphs run one
//    after the other on one thread.
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
#include "DspCore/VectorOps.h"
#include "Format/ModelWriter.h"
#include "MultiplyAddPeak.h"
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

constexpr double sampleRate = 48000.0;
constexpr int fftSize = 1024;
constexpr int hopSize = 256;
constexpr int numOfBins = 512;
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
        std::vector<float> values(count);
        for (float& value : values)
            value = distribution(generator);
        return mw::TensorRecord(std::move(shape), values);
    }

    mw::TensorRecord constant(int count, float value)
    {
        return mw::TensorRecord({count}, std::vector<float>(static_cast<std::size_t>(count), value));
    }

    /** Causal convolution over kernelTime frames; frequencyStride 2 halves the rows. */
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

    /** Attention over the channels of every row, with two frames of context. */
    void attention(const std::string& name, const std::string& source, int channels)
    {
        const int n = rowsAfter(source);
        mw::SelfAttentionLayerRecord record;
        record.source = source;
        record.weights = weights({channels, channels}, channels);
        record.bias = constant(n * channels, 0.01f);
        record.contextKernel = weights({2, channels}, 2);
        layers.push_back({name, record});
        macs += static_cast<double>(n) * channels * (channels + 2);
        rows[name] = n;
    }

    /** Every row from every row, per channel. */
    void dense(const std::string& name, const std::string& source, int channels)
    {
        const int n = rowsAfter(source);
        mw::DenseLayerRecord record;
        record.source = source;
        record.weights = weights({n, n, channels}, n);
        record.bias = constant(n * channels, 0.01f);
        layers.push_back({name, record});
        macs += static_cast<double>(n) * n * channels;
        rows[name] = n;
    }

    void activation(const std::string& name, int type, const std::string& source)
    {
        layers.push_back({name, mw::ActivationLayerRecord{static_cast<murel::LayerType>(type), source}});
        rows[name] = rowsAfter(source);
    }

    void concat(const std::string& name, const std::string& first, const std::string& second)
    {
        layers.push_back({name, mw::ConcatLayerRecord{{first, second}}});
        rows[name] = rowsAfter(first);
    }

    int rowsAfter(const std::string& name) const { return name.rfind("input", 0) == 0 ? numOfBins : rows.at(name); }

    /** The encoder/decoder of one separated component; prefix keeps the names of several apart. */
    std::string addNetwork(const std::string& prefix, int numOfChannels)
    {
        const auto n = [&](const char* name) { return prefix + name; };
        conv(n("enc1"), "input", 2, 3, 2, 2 * numOfChannels, 32); // 512 -> 256 rows
        norm(n("norm1"), n("enc1"), 32);
        activation(n("act1"), 4, n("norm1"));
        conv(n("enc2"), n("act1"), 2, 2, 2, 32, 32); // 256 -> 128
        norm(n("norm2"), n("enc2"), 32);
        activation(n("act2"), 4, n("norm2"));
        conv(n("enc3"), n("act2"), 2, 2, 2, 32, 48); // 128 -> 64
        activation(n("act3"), 4, n("enc3"));
        conv(n("enc4"), n("act3"), 2, 2, 2, 48, 64); // 64 -> 32
        norm(n("norm4"), n("enc4"), 64);
        activation(n("act4"), 4, n("norm4"));
        attention(n("attention"), n("act4"), 64);
        dense(n("dense"), n("attention"), 64);
        activation(n("act5"), 4, n("dense"));
        transposedConv(n("dec4"), n("act5"), 64, 48); // 32 -> 64
        activation(n("act6"), 4, n("dec4"));
        concat(n("skip3"), n("act6"), n("act3"));
        transposedConv(n("dec3"), n("skip3"), 96, 24); // 64 -> 128
        activation(n("act7"), 4, n("dec3"));
        concat(n("skip2"), n("act7"), n("act2"));
        transposedConv(n("dec2"), n("skip2"), 56, 16); // 128 -> 256
        activation(n("act8"), 4, n("dec2"));
        concat(n("skip1"), n("act8"), n("act1"));
        transposedConv(n("dec1"), n("skip1"), 48, 8); // 256 -> 512
        activation(n("act9"), 4, n("dec1"));
        conv(n("out"), n("act9"), 1, 1, 1, 8, 2 * numOfChannels);
        activation(n("mask"), 6, n("out"));
        return n("mask");
    }

    std::mt19937 generator;
    std::vector<mw::LayerRecord> layers;
    std::map<std::string, int> rows;
    double macs = 0.0;
};

mw::ModelDescription header(int numOfOutputs, int numOfChannels)
{
    mw::ModelDescription description;
    mw::ModelHeader& h = description.header;
    h.sampleRate = sampleRate;
    h.numInputChannels = numOfChannels;
    h.numOutputChannels = numOfChannels;
    h.processingMode = murel::ProcessingMode::masks;
    h.inputPacking = mw::Packing::plain(murel::PackingCode::realAndImaginary, numOfBins);
    h.outputPacking = mw::Packing::plain(murel::PackingCode::realAndImaginary, numOfBins);
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
mw::ModelDescription referenceModel(std::uint32_t seed, int numOfChannels, double* macsPerFrame = nullptr)
{
    Builder builder(seed);
    mw::ModelDescription description = header(1, numOfChannels);
    description.outputSource = builder.addNetwork("", numOfChannels);
    description.layers = std::move(builder.layers);
    if (macsPerFrame != nullptr)
        *macsPerFrame = builder.macs;
    return description;
}

/** Both components' networks in one graph, run one after the other on one thread. */
mw::ModelDescription fusedModel(std::uint32_t firstSeed, std::uint32_t secondSeed, int numOfChannels)
{
    Builder first(firstSeed);
    Builder second(secondSeed);
    mw::ModelDescription description = header(2, numOfChannels);
    const std::string firstMask = first.addNetwork("a.", numOfChannels);
    const std::string secondMask = second.addNetwork("b.", numOfChannels);
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

std::unique_ptr<MurelProcessor> makeProcessor(const std::vector<mw::ModelDescription>& models, int numOfChannels)
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

/** Ten seconds of noise at a moderate level, cut into host blocks of two channels (a mono
    host uses the first). */
const std::vector<std::vector<float>>& noiseBlocks()
{
    static const std::vector<std::vector<float>> all = []()
    {
        std::mt19937 generator(7);
        std::uniform_real_distribution<float> distribution(-0.3f, 0.3f);
        std::vector<std::vector<float>> rows(2 * 1000, std::vector<float>(hostBlockSize));
        for (auto& row : rows)
            for (float& x : row)
                x = distribution(generator);
        return rows;
    }();
    return all;
}

/** Thread CPU time in seconds. */
double threadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

/** Host blocks through addAudio and getAudio, as an audio callback does. Counts the CPU time of
    the calling thread per block (with one model it does all the work) and the heap allocations. */
void runProcessor(benchmark::State& state, const std::vector<mw::ModelDescription>& models, int numOfChannels)
{
    const std::unique_ptr<MurelProcessor> processor = makeProcessor(models, numOfChannels);
    if (processor == nullptr)
    {
        state.SkipWithError("the models do not load");
        return;
    }
    const std::vector<std::vector<float>>& input = noiseBlocks();
    std::vector<std::vector<float>> output(static_cast<std::size_t>(numOfChannels), std::vector<float>(hostBlockSize));
    std::vector<float*> outputRows;
    for (auto& row : output)
        outputRows.push_back(row.data());
    std::size_t next = 0;
    const auto runBlock = [&]()
    {
        const float* rows[2] = {input[2 * next].data(), input[2 * next + 1].data()};
        processor->addAudio(rows, hostBlockSize);
        processor->getAudio(outputRows.data(), hostBlockSize);
        next = (next + 1) % (input.size() / 2);
    };
    // Steady state: every layer has its buffers and every queue its depth.
    for (int b = 0; b < 200; ++b)
        runBlock();

    std::vector<double> blockTimes;
    blockTimes.reserve(1 << 16);
    std::int64_t numOfBlocks = 0;
    const std::int64_t allocationsBefore = numOfAllocations.load();
    for (auto _ : state)
    {
        const double start = threadSeconds();
        runBlock();
        if (blockTimes.size() < blockTimes.capacity())
            blockTimes.push_back(threadSeconds() - start);
        ++numOfBlocks;
    }
    const std::int64_t allocations = numOfAllocations.load() - allocationsBefore;
    const double seconds = static_cast<double>(numOfBlocks) * hostBlockSize / sampleRate;
    const double frames = static_cast<double>(numOfBlocks) * hostBlockSize / hopSize;
    state.counters["xRealTime"] = benchmark::Counter(seconds, benchmark::Counter::kIsRate);
    state.counters["framesPerSecond"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    if (MUREL_COUNTS_ALLOCATIONS)
        state.counters["allocsPerCall"] = static_cast<double>(allocations) / (2.0 * static_cast<double>(numOfBlocks));
    std::sort(blockTimes.begin(), blockTimes.end());
    if (!blockTimes.empty())
    {
        const auto at = [&](double q)
        { return 1e6 * blockTimes[static_cast<std::size_t>(q * static_cast<double>(blockTimes.size() - 1))]; };
        state.counters["blockP50us"] = at(0.5);
        state.counters["blockP99us"] = at(0.99);
        state.counters["blockMaxUs"] = at(1.0);
    }
}

void benchmarkOneModel(benchmark::State& state)
{
    const int numOfChannels = static_cast<int>(state.range(0));
    runProcessor(state, {referenceModel(1, numOfChannels)}, numOfChannels);
}

void benchmarkTwoModelsCallerAndWorker(benchmark::State& state)
{
    runProcessor(state, {referenceModel(1, 2), referenceModel(2, 2)}, 2);
}

void benchmarkTwoModelsOneAfterTheOther(benchmark::State& state)
{
    runProcessor(state, {fusedModel(1, 2, 2)}, 2);
}

/** 64 spectra of random bins, the frames the model sees when it runs alone. */
std::vector<murel::ComplexSignal32> randomSpectra(int numOfChannels)
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
    double macsPerFrame = 0.0;
    murel::NeuralModel<float> model;
    if (!model.loadModel(toStream(referenceModel(1, 2, &macsPerFrame))))
    {
        state.SkipWithError("the model does not load");
        return;
    }
    const std::vector<murel::ComplexSignal32> spectra = randomSpectra(2);
    for (int s = 0; s < 100; ++s)
        benchmark::DoNotOptimize(model.processFrame(spectra[static_cast<std::size_t>(s) % spectra.size()]));

    std::size_t next = 0;
    std::int64_t frames = 0;
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(model.processFrame(spectra[next]));
        next = (next + 1) % spectra.size();
        ++frames;
    }
    state.counters["framesPerSecond"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    state.counters["GFLOPs"] =
        benchmark::Counter(2e-9 * macsPerFrame * static_cast<double>(frames), benchmark::Counter::kIsRate);
}

void benchmarkMultiplyAddPeak(benchmark::State& state)
{
    murel::bench::measureMultiplyAddPeak(state, "GFLOPs");
}

/** The processor with the reference model and the same model alone, interleaved block by block
    so that both see the same load on a shared machine: the share of the processor's thread time
    that is spent outside the model. */
void benchmarkShareOutsideTheModel(benchmark::State& state)
{
    const std::unique_ptr<MurelProcessor> processor = makeProcessor({referenceModel(1, 2)}, 2);
    murel::NeuralModel<float> model;
    if (processor == nullptr || !model.loadModel(toStream(referenceModel(1, 2))))
    {
        state.SkipWithError("the model does not load");
        return;
    }
    const std::vector<murel::ComplexSignal32> spectra = randomSpectra(2);
    const std::vector<std::vector<float>>& input = noiseBlocks();
    std::vector<float> left(hostBlockSize);
    std::vector<float> right(hostBlockSize);
    float* outputRows[2] = {left.data(), right.data()};
    std::size_t next = 0;
    const auto runBlock = [&]()
    {
        const float* rows[2] = {input[2 * next].data(), input[2 * next + 1].data()};
        processor->addAudio(rows, hostBlockSize);
        processor->getAudio(outputRows, hostBlockSize);
        next = (next + 1) % (input.size() / 2);
    };
    for (int b = 0; b < 200; ++b)
    {
        runBlock();
        benchmark::DoNotOptimize(model.processFrame(spectra[static_cast<std::size_t>(b) % spectra.size()]));
    }

    double processorTime = 0.0;
    double modelTime = 0.0;
    std::int64_t numOfSamples = 0;
    std::int64_t framesRun = 0;
    for (auto _ : state)
    {
        const double start = threadSeconds();
        runBlock();
        const double middle = threadSeconds();
        numOfSamples += hostBlockSize;
        // As many frames through the model alone as the processor has cut so far.
        for (; framesRun < numOfSamples / hopSize; ++framesRun)
            benchmark::DoNotOptimize(model.processFrame(spectra[static_cast<std::size_t>(framesRun) % spectra.size()]));
        const double end = threadSeconds();
        processorTime += middle - start;
        modelTime += end - middle;
    }
    state.counters["outsidePercent"] = 100.0 * (processorTime - modelTime) / processorTime;
}

/** Console output as usual, keeping the best run of every benchmark for the summary. */
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
            const std::string name = run.benchmark_name();
            for (const auto& [counter, value] : run.counters)
                values[name][counter].push_back(value.value);
            const double iterations = static_cast<double>(run.iterations);
            values[name]["cpuUsPerIteration"].push_back(1e6 * run.cpu_accumulated_time / iterations);
            values[name]["realUsPerIteration"].push_back(1e6 * run.real_accumulated_time / iterations);
        }
    }

    /** Median of a counter over the repetitions; 0 when it was not measured. */
    double median(const std::string& name, const std::string& counter) const
    {
        const auto found = values.find(name);
        if (found == values.end() || found->second.count(counter) == 0)
            return 0.0;
        std::vector<double> sorted = found->second.at(counter);
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }

    void printSummary(double macsPerFrame) const
    {
        const double blockSeconds = static_cast<double>(hostBlockSize) / sampleRate;
        std::printf("\nReference model: %.2f MFLOP per frame, %d frames/s at 48 kHz; medians over repetitions\n",
                    2.0 * macsPerFrame * 1e-6, static_cast<int>(sampleRate / hopSize));
        for (const char* name : {"OneModel/1", "OneModel/2"})
            if (median(name, "cpuUsPerIteration") > 0.0)
                std::printf("%s: %.1fx real time per core (CPU time); block CPU time p50 %.0f us, p99 %.0f us "
                            "(%.2fx the median), max %.0f us; %.2f allocations per call\n",
                            name, blockSeconds / (1e-6 * median(name, "cpuUsPerIteration")), median(name, "blockP50us"),
                            median(name, "blockP99us"),
                            median(name, "blockP99us") / std::max(median(name, "blockP50us"), 1e-9),
                            median(name, "blockMaxUs"), median(name, "allocsPerCall"));
        const double model = median("ModelAlone", "GFLOPs");
        const double peak = median("MultiplyAddPeak", "GFLOPs");
        if (model > 0.0 && peak > 0.0)
            std::printf("model alone: %.1f GFLOP/s, %.0f %% of the measured four-lane multiply-add peak of "
                        "%.1f GFLOP/s\n",
                        model, 100.0 * model / peak, peak);
        if (median("ShareOutsideTheModel", "cpuUsPerIteration") > 0.0)
            std::printf("time outside the model (framing, transforms, mask shaping, mixing): %.1f %% of thread "
                        "time\n",
                        median("ShareOutsideTheModel", "outsidePercent"));
        const double together = median("TwoModelsCallerAndWorker", "realUsPerIteration");
        const double sequential = median("TwoModelsOneAfterTheOther", "realUsPerIteration");
        if (together > 0.0 && sequential > 0.0)
            std::printf("two-model separator (caller and worker): %.2fx the throughput of one after the other "
                        "(wall time)\n",
                        sequential / together);
    }

private:
    std::map<std::string, std::map<std::string, std::vector<double>>> values;
};

} // namespace

int main(int argc, char** argv)
{
    double macsPerFrame = 0.0;
    referenceModel(1, 2, &macsPerFrame);
    benchmark::RegisterBenchmark("OneModel", benchmarkOneModel)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("ModelAlone", benchmarkModelAlone)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("MultiplyAddPeak", benchmarkMultiplyAddPeak)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("ShareOutsideTheModel", benchmarkShareOutsideTheModel)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("TwoModelsCallerAndWorker", benchmarkTwoModelsCallerAndWorker)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("TwoModelsOneAfterTheOther", benchmarkTwoModelsOneAfterTheOther)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printSummary(macsPerFrame);
    benchmark::Shutdown();
    return 0;
}
