// Throughput and quality of the sample-rate converter beside libsoxr and libsamplerate, in the same
// run. Each library gets its native layout: planar for the engine and libsoxr (split channels),
// interleaved for libsamplerate. Every iteration streams one second of stereo audio in 10 ms
// blocks through a converter that keeps its state between iterations.

#include <benchmark/benchmark.h>
#include <samplerate.h>
#include <soxr.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "Toolbox/SampleRateConversion.h"

using namespace murel;

namespace
{

constexpr double pi = 3.14159265358979323846;
constexpr int numOfChannels = 2;

using Planar = std::vector<std::vector<float>>;

enum class Library
{
    Murel,
    SoxrHigh,
    SoxrLow,
    SamplerateFastest,
    SamplerateMedium,
};

const char* nameOf(Library library)
{
    switch (library)
    {
    case Library::Murel:
        return "murel";
    case Library::SoxrHigh:
        return "soxr_HQ";
    case Library::SoxrLow:
        return "soxr_LQ";
    case Library::SamplerateFastest:
        return "samplerate_sinc_fastest";
    case Library::SamplerateMedium:
        return "samplerate_sinc_medium";
    }
    return "?";
}

/** One converter with its input cut into blocks. */
class Stream
{
public:
    virtual ~Stream() = default;
    /** Feeds all blocks once; returns the output frames and appends channel 0 to collected. */
    virtual std::size_t run(std::vector<float>* collected) = 0;
};

class MurelStream : public Stream
{
public:
    MurelStream(double inputRate, double outputRate, const Planar& input, int blockSize)
    {
        AudioFormat inputFormat, outputFormat;
        inputFormat.createDefaultChannelMapping(static_cast<int>(input.size()));
        outputFormat.createDefaultChannelMapping(static_cast<int>(input.size()));
        inputFormat.setSampleRate(inputRate);
        outputFormat.setSampleRate(outputRate);
        if (!converter.setFormat(inputFormat, outputFormat))
            throw std::runtime_error("setFormat failed");
        const int length = static_cast<int>(input[0].size());
        for (int start = 0; start < length; start += blockSize)
        {
            const int n = std::min(blockSize, length - start);
            Signal32 block(static_cast<int>(input.size()), n);
            for (std::size_t c = 0; c < input.size(); ++c)
                std::copy_n(input[c].data() + start, n, block.getWritePointer(static_cast<int>(c)));
            blocks.push_back(block);
        }
    }

    std::size_t run(std::vector<float>* collected) override
    {
        std::size_t frames = 0;
        for (const Signal32& block : blocks)
        {
            const Signal32 output = converter.process(block);
            frames += static_cast<std::size_t>(output.getNumOfSamples());
            if (collected != nullptr && !output.isEmpty())
                collected->insert(collected->end(), output.getReadPointer(0),
                                  output.getReadPointer(0) + output.getNumOfSamples());
        }
        return frames;
    }

private:
    SampleRateConversion converter;
    std::vector<Signal32> blocks;
};

class SoxrStream : public Stream
{
public:
    SoxrStream(double inputRate, double outputRate, const Planar& planarInput, int blockSize, unsigned long recipe)
        : input(planarInput), blockLength(static_cast<std::size_t>(blockSize))
    {
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
        const soxr_quality_spec_t quality = soxr_quality_spec(recipe, 0);
        const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        soxr_error_t error = nullptr;
        resampler =
            soxr_create(inputRate, outputRate, static_cast<unsigned>(input.size()), &error, &io, &quality, &runtime);
        if (error != nullptr)
            throw std::runtime_error(error);
        capacity = static_cast<std::size_t>(std::ceil(static_cast<double>(blockLength) * outputRate / inputRate)) + 64;
        output.assign(input.size(), std::vector<float>(capacity));
    }
    ~SoxrStream() override { soxr_delete(resampler); }

    std::size_t run(std::vector<float>* collected) override
    {
        std::size_t frames = 0;
        const std::size_t length = input[0].size();
        std::vector<const float*> in(input.size());
        std::vector<float*> out(input.size());
        for (std::size_t c = 0; c < input.size(); ++c)
            out[c] = output[c].data();
        for (std::size_t start = 0; start < length; start += blockLength)
        {
            std::size_t rest = std::min(blockLength, length - start);
            std::size_t offset = start;
            while (rest > 0)
            {
                for (std::size_t c = 0; c < input.size(); ++c)
                    in[c] = input[c].data() + offset;
                std::size_t used = 0, made = 0;
                soxr_process(resampler, in.data(), rest, &used, out.data(), capacity, &made);
                frames += made;
                if (collected != nullptr)
                    collected->insert(collected->end(), output[0].begin(),
                                      output[0].begin() + static_cast<std::ptrdiff_t>(made));
                rest -= used;
                offset += used;
            }
        }
        return frames;
    }

private:
    soxr_t resampler = nullptr;
    Planar input;
    Planar output;
    std::size_t blockLength;
    std::size_t capacity = 0;
};

class SamplerateStream : public Stream
{
public:
    SamplerateStream(double inputRate, double outputRate, const Planar& planarInput, int blockSize, int type)
        : channels(static_cast<long>(planarInput.size())), blockLength(blockSize), ratio(outputRate / inputRate)
    {
        int error = 0;
        state = src_new(type, static_cast<int>(channels), &error);
        if (state == nullptr)
            throw std::runtime_error(src_strerror(error));
        length = static_cast<long>(planarInput[0].size());
        input.resize(static_cast<std::size_t>(length * channels));
        for (long i = 0; i < length; ++i)
            for (long c = 0; c < channels; ++c)
                input[static_cast<std::size_t>(i * channels + c)] =
                    planarInput[static_cast<std::size_t>(c)][static_cast<std::size_t>(i)];
        capacity = static_cast<long>(std::ceil(static_cast<double>(blockLength) * ratio)) + 64;
        output.resize(static_cast<std::size_t>(capacity * channels));
    }
    ~SamplerateStream() override { src_delete(state); }

    std::size_t run(std::vector<float>* collected) override
    {
        std::size_t frames = 0;
        for (long start = 0; start < length; start += blockLength)
        {
            long rest = std::min(blockLength, length - start);
            long offset = start;
            while (rest > 0)
            {
                SRC_DATA data{};
                data.data_in = input.data() + offset * channels;
                data.data_out = output.data();
                data.input_frames = rest;
                data.output_frames = capacity;
                data.src_ratio = ratio;
                src_process(state, &data);
                frames += static_cast<std::size_t>(data.output_frames_gen);
                if (collected != nullptr)
                    for (long i = 0; i < data.output_frames_gen; ++i)
                        collected->push_back(output[static_cast<std::size_t>(i * channels)]);
                rest -= data.input_frames_used;
                offset += data.input_frames_used;
            }
        }
        return frames;
    }

private:
    SRC_STATE* state = nullptr;
    long channels;
    long blockLength;
    double ratio;
    long length = 0;
    long capacity = 0;
    std::vector<float> input;
    std::vector<float> output;
};

std::unique_ptr<Stream> makeStream(Library library, double inputRate, double outputRate, const Planar& input)
{
    const int blockSize = static_cast<int>(inputRate / 100.0);
    switch (library)
    {
    case Library::Murel:
        return std::make_unique<MurelStream>(inputRate, outputRate, input, blockSize);
    case Library::SoxrHigh:
        return std::make_unique<SoxrStream>(inputRate, outputRate, input, blockSize, SOXR_HQ);
    case Library::SoxrLow:
        return std::make_unique<SoxrStream>(inputRate, outputRate, input, blockSize, SOXR_LQ);
    case Library::SamplerateFastest:
        return std::make_unique<SamplerateStream>(inputRate, outputRate, input, blockSize, SRC_SINC_FASTEST);
    case Library::SamplerateMedium:
        return std::make_unique<SamplerateStream>(inputRate, outputRate, input, blockSize, SRC_SINC_MEDIUM_QUALITY);
    }
    return nullptr;
}

Planar makeNoise(double rate, double seconds)
{
    std::mt19937 generator(1);
    std::uniform_real_distribution<float> distribution(-0.5f, 0.5f);
    Planar signal(numOfChannels, std::vector<float>(static_cast<std::size_t>(rate * seconds)));
    for (auto& row : signal)
        for (float& sample : row)
            sample = distribution(generator);
    return signal;
}

Planar makeTone(double rate, double seconds, double frequency, double amplitude)
{
    std::vector<float> row(static_cast<std::size_t>(rate * seconds));
    for (std::size_t i = 0; i < row.size(); ++i)
        row[i] = static_cast<float>(amplitude * std::sin(2.0 * pi * frequency * static_cast<double>(i) / rate));
    return Planar(1, row);
}

/** Least-squares amplitude and phase of a sinusoid of the given frequency in y. */
struct ToneFit
{
    double sine = 0.0, cosine = 0.0;
    double amplitude() const { return std::hypot(sine, cosine); }
};

ToneFit fitTone(const std::vector<float>& y, std::size_t begin, std::size_t end, double frequency, double rate)
{
    double ss = 0.0, cc = 0.0, sc = 0.0, ys = 0.0, yc = 0.0;
    for (std::size_t n = begin; n < end; ++n)
    {
        const double w = 2.0 * pi * frequency * static_cast<double>(n) / rate;
        const double s = std::sin(w), c = std::cos(w);
        ss += s * s;
        cc += c * c;
        sc += s * c;
        ys += static_cast<double>(y[n]) * s;
        yc += static_cast<double>(y[n]) * c;
    }
    const double det = ss * cc - sc * sc;
    ToneFit fit;
    fit.sine = (ys * cc - yc * sc) / det;
    fit.cosine = (yc * ss - ys * sc) / det;
    return fit;
}

std::vector<float> convertTone(Library library, double inputRate, double outputRate, double frequency)
{
    const Planar tone = makeTone(inputRate, 2.0, frequency, 0.5);
    std::vector<float> output;
    makeStream(library, inputRate, outputRate, tone)->run(&output);
    return output;
}

/** Error against a sine of the exact input amplitude at the fitted phase, relative to that sine,
    in dB: gain error, distortion, aliases and images together. */
double passbandErrorDecibels(Library library, double inputRate, double outputRate, double frequency)
{
    const std::vector<float> y = convertTone(library, inputRate, outputRate, frequency);
    const std::size_t begin = static_cast<std::size_t>(0.2 * outputRate);
    const std::size_t end = static_cast<std::size_t>(1.6 * outputRate);
    const ToneFit fit = fitTone(y, begin, end, frequency, outputRate);
    const double scale = 0.5 / fit.amplitude();
    double error = 0.0, reference = 0.0;
    for (std::size_t n = begin; n < end; ++n)
    {
        const double w = 2.0 * pi * frequency * static_cast<double>(n) / outputRate;
        const double ideal = scale * (fit.sine * std::sin(w) + fit.cosine * std::cos(w));
        error += (static_cast<double>(y[n]) - ideal) * (static_cast<double>(y[n]) - ideal);
        reference += ideal * ideal;
    }
    return 10.0 * std::log10(error / reference);
}

/** Output level of a tone that should not pass, relative to the tone, in dB. Down-sampling: all of
    the output (the tone lies above the new Nyquist frequency, so everything is alias). Up-sampling:
    the image at inputRate - frequency (folded into the output band). */
double rejectionDecibels(Library library, double inputRate, double outputRate, double frequency)
{
    const std::vector<float> y = convertTone(library, inputRate, outputRate, frequency);
    const std::size_t begin = static_cast<std::size_t>(0.2 * outputRate);
    const std::size_t end = static_cast<std::size_t>(1.6 * outputRate);
    if (outputRate < inputRate)
    {
        double energy = 0.0;
        for (std::size_t n = begin; n < end; ++n)
            energy += static_cast<double>(y[n]) * static_cast<double>(y[n]);
        const double rms = std::sqrt(energy / static_cast<double>(end - begin));
        return 20.0 * std::log10(std::max(rms, 1e-12) / (0.5 / std::sqrt(2.0)));
    }
    double image = inputRate - frequency;
    if (image > outputRate / 2.0)
        image = outputRate - image;
    return 20.0 * std::log10(std::max(fitTone(y, begin, end, image, outputRate).amplitude(), 1e-12) / 0.5);
}

struct Conversion
{
    double inputRate, outputRate;
    const char* name;
    double rejectionTone; // a tone above the new Nyquist frequency, or whose image is measured
};

const Conversion conversions[] = {{48000.0, 16000.0, "48000_to_16000", 10000.0},
                                  {16000.0, 48000.0, "16000_to_48000", 6000.0},
                                  {44100.0, 48000.0, "44100_to_48000", 20000.0}};

const Library libraries[] = {Library::Murel, Library::SoxrHigh, Library::SoxrLow, Library::SamplerateFastest,
                             Library::SamplerateMedium};

void printQualityTable()
{
    std::printf("Quality (mono tone at -6 dBFS; passband error: deviation from the ideal sine at 1 kHz;\n"
                "rejection: alias of a tone above the new Nyquist frequency when down-sampling, image when\n"
                "up-sampling)\n");
    std::printf("%-16s %-26s %16s %12s %16s %12s\n", "conversion", "library", "passband 1 kHz", "rejection",
                "rejection", "at 12 kHz");
    for (const Conversion& conversion : conversions)
    {
        for (Library library : libraries)
        {
            const double passband = passbandErrorDecibels(library, conversion.inputRate, conversion.outputRate, 1000.0);
            const double rejection =
                rejectionDecibels(library, conversion.inputRate, conversion.outputRate, conversion.rejectionTone);
            char extra[32] = "";
            if (conversion.outputRate < conversion.inputRate)
                std::snprintf(extra, sizeof extra, "%.1f dB",
                              rejectionDecibels(library, conversion.inputRate, conversion.outputRate, 12000.0));
            char tone[32];
            std::snprintf(tone, sizeof tone, "(%.0f Hz)", conversion.rejectionTone);
            std::printf("%-16s %-26s %13.1f dB %9.1f dB %16s %12s\n", conversion.name, nameOf(library), passband,
                        rejection, tone, extra);
        }
    }
    std::printf("\n");
    std::fflush(stdout);
}

void runThroughput(benchmark::State& state, Library library, Conversion conversion)
{
    const Planar input = makeNoise(conversion.inputRate, 1.0);
    const auto stream = makeStream(library, conversion.inputRate, conversion.outputRate, input);
    stream->run(nullptr); // warm-up: tables, buffers
    for (auto _ : state)
        benchmark::DoNotOptimize(stream->run(nullptr));
    const auto iterations = static_cast<double>(state.iterations());
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(input[0].size()));
    state.counters["x_realtime"] = benchmark::Counter(iterations, benchmark::Counter::kIsRate);
}

} // namespace

int main(int argc, char** argv)
{
    printQualityTable();
    for (const Conversion& conversion : conversions)
        for (Library library : libraries)
            benchmark::RegisterBenchmark(
                (std::string("SampleRateConversion/") + conversion.name + "/" + nameOf(library)).c_str(), runThroughput,
                library, conversion)
                ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
