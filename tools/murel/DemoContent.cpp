#include "DemoContent.h"

#include "Failure.h"

#include <cmath>

namespace murel::cli
{

namespace
{

constexpr double pi = 3.14159265358979323846;

bool isPowerOfTwo(int value)
{
    return value > 0 && (value & (value - 1)) == 0;
}

/** Sum of the analysis window the engine picks for this blocking: a Hann window when the window
    spans three hops or more, else a square-root Hann window. */
double getAnalysisWindowSum(int windowSize, int hopSize)
{
    double sum = 0.0;
    for (int i = 0; i < windowSize; ++i)
    {
        const double hann = 0.5 - 0.5 * std::cos(2.0 * pi * (i + 0.5) / windowSize);
        sum += windowSize >= 3 * hopSize ? hann : std::sqrt(hann);
    }
    return sum;
}

/** A layer that only holds frames back: an identity channel mix with an output delay. */
modelwriter::LayerRecord makeDelayLayer(const std::string& source, int numOfRows, int numOfChannels, int delay)
{
    modelwriter::SelfAttentionLayerRecord layer;
    layer.source = source;
    std::vector<float> identity(std::size_t(numOfChannels * numOfChannels), 0.0f);
    for (int channel = 0; channel < numOfChannels; ++channel)
        identity[std::size_t(channel * numOfChannels + channel)] = 1.0f;
    layer.weights = {{numOfChannels, numOfChannels}, identity};
    layer.bias = {{numOfRows, numOfChannels}, std::vector<float>(std::size_t(numOfRows * numOfChannels), 0.0f)};
    layer.outputDelay = delay;
    return {"delay", layer};
}

modelwriter::TensorRecord makeVector(int size, float value)
{
    return {{size}, std::vector<float>(std::size_t(size), value)};
}

/** Deterministic Gaussian numbers (xorshift and Box-Muller), equal on every platform. */
class NoiseGenerator
{
public:
    explicit NoiseGenerator(std::uint32_t seed)
        : state(0x9E3779B97F4A7C15ull ^ (std::uint64_t{seed} * 0xBF58476D1CE4E5B9ull))
    {
        if (state == 0)
            state = 1;
    }

    double nextGaussian()
    {
        if (hasSpare)
        {
            hasSpare = false;
            return spare;
        }
        const double u = (static_cast<double>(next() >> 11) + 1.0) / 9007199254740993.0;
        const double v = static_cast<double>(next() >> 11) / 9007199254740992.0;
        const double radius = std::sqrt(-2.0 * std::log(u));
        spare = radius * std::sin(2.0 * pi * v);
        hasSpare = true;
        return radius * std::cos(2.0 * pi * v);
    }

private:
    std::uint64_t next()
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }

    std::uint64_t state;
    double spare = 0.0;
    bool hasSpare = false;
};

} // namespace

modelwriter::ModelDescription makeDemoModel(const DemoModelSettings& settings)
{
    if (settings.numOfChannels < 1 || settings.numOfChannels > 127)
        throw UsageFailure("a model has 1 to 127 channels");
    if (!(settings.sampleRate > 0.0) || !std::isfinite(settings.sampleRate))
        throw UsageFailure("the sample rate must be positive");
    if (!isPowerOfTwo(settings.fftSize) || settings.fftSize < 16 || settings.fftSize > 16384)
        throw UsageFailure("the FFT size must be a power of two from 16 to 16384");
    if (settings.windowSize < 2 || settings.windowSize > settings.fftSize)
        throw UsageFailure("the window size must be from 2 to the FFT size");
    if (settings.hopSize < 1 || settings.hopSize > settings.windowSize / 2)
        throw UsageFailure("the hop size must be from 1 to half the window size");
    if (settings.delay < 0 || settings.delay > 127)
        throw UsageFailure("the delay must be from 0 to 127 frames");

    modelwriter::ModelDescription model;
    modelwriter::ModelHeader& header = model.header;
    header.sampleRate = settings.sampleRate;
    header.numInputChannels = settings.numOfChannels;
    header.numOutputChannels = settings.numOfChannels;
    header.fftSize = settings.fftSize;
    header.windowSize = settings.windowSize;
    header.hopSize = settings.hopSize;
    const int numOfBins = settings.fftSize / 2 + 1;
    std::string busName = "Processed";
    std::string residualName = "Residual";
    std::string source = "input";
    int numOfTensorChannels = settings.numOfChannels;

    if (settings.kind == "identity")
    {
        // Spectra out: the bus is the model's output spectrum, the residual what it leaves.
        header.processingMode = ProcessingMode::spectra;
        header.inputPacking = modelwriter::Packing::plain(PackingCode::realAndImaginary, numOfBins);
        header.outputPacking = header.inputPacking;
        numOfTensorChannels = 2 * settings.numOfChannels;
    }
    else if (settings.kind == "constant" || settings.kind == "gate")
    {
        header.processingMode = ProcessingMode::masks;
        header.inputPacking = modelwriter::Packing::plain(PackingCode::magnitudes, numOfBins);
        header.outputPacking = header.inputPacking;
        modelwriter::NormLayerRecord affine;
        affine.source = "input";
        affine.mode = 0;
        if (settings.kind == "constant")
        {
            if (!(settings.maskValue >= 0.0 && settings.maskValue <= 1.0))
                throw UsageFailure("the mask value must be from 0 to 1");
            affine.scale = makeVector(settings.numOfChannels, 0.0f);
            affine.offset = makeVector(settings.numOfChannels, static_cast<float>(settings.maskValue));
            model.layers.push_back({"mask", affine});
            source = "mask";
        }
        else
        {
            if (!(settings.thresholdDecibels <= 0.0 && settings.thresholdDecibels >= -200.0))
                throw UsageFailure("the threshold must be from -200 to 0 dB");
            // A full-scale sine peaks at half the window's sum in its bin.
            const double threshold = std::pow(10.0, settings.thresholdDecibels / 20.0) * 0.5 *
                                     getAnalysisWindowSum(settings.windowSize, settings.hopSize);
            const double slope = 4.0 / threshold;
            affine.scale = makeVector(settings.numOfChannels, static_cast<float>(slope));
            affine.offset = makeVector(settings.numOfChannels, static_cast<float>(-slope * threshold));
            model.layers.push_back({"level", affine});
            model.layers.push_back({"mask", modelwriter::ActivationLayerRecord{LayerType::sigmoid, "level"}});
            source = "mask";
            busName = "Signal";
            residualName = "Noise";
        }
    }
    else
    {
        throw UsageFailure("unknown model kind " + quote(settings.kind) + "; known kinds: gate, identity, constant");
    }

    if (settings.delay > 0)
    {
        model.layers.push_back(makeDelayLayer(source, numOfBins, numOfTensorChannels, settings.delay));
        source = model.layers.back().name;
    }
    model.outputSource = source;
    header.numOutputs = 1;
    header.outputNames = {settings.busName.empty() ? busName : settings.busName,
                          settings.residualName.empty() ? residualName : settings.residualName};
    if (header.outputNames[0] == header.outputNames[1])
        throw UsageFailure("the bus and the residual need different names");
    return model;
}

std::vector<float> makeTestSignal(const TestSignalSettings& settings)
{
    if (!(settings.seconds >= 0.0 && settings.seconds <= 24.0 * 3600.0))
        throw UsageFailure("the length must be from 0 to 24 hours");
    if (settings.sampleRate < 1 || settings.sampleRate > 1536000)
        throw UsageFailure("the sample rate must be from 1 to 1536000 Hz");
    if (settings.numOfChannels < 1 || settings.numOfChannels > 1024)
        throw UsageFailure("a test signal has 1 to 1024 channels");
    const auto numOfFrames = static_cast<std::size_t>(std::llround(settings.seconds * settings.sampleRate));
    const std::size_t numOfChannels = std::size_t(settings.numOfChannels);
    std::vector<float> frames(numOfFrames * numOfChannels, 0.0f);

    const double rate = settings.sampleRate;
    if (settings.toneDecibels > -200.0)
    {
        // Three-note chords, 0.75 s each, with 10 ms fades so that note changes do not click.
        static constexpr double chords[][3] = {
            {220.00, 277.18, 329.63}, {246.94, 293.66, 369.99}, {196.00, 246.94, 293.66}, {220.00, 261.63, 329.63}};
        const double amplitude = std::pow(10.0, settings.toneDecibels / 20.0);
        const auto noteLength = static_cast<std::size_t>(0.75 * rate);
        const double fadeLength = std::max(1.0, 0.01 * rate);
        for (std::size_t frame = 0; frame < numOfFrames; ++frame)
        {
            const std::size_t note = noteLength > 0 ? frame / noteLength : 0;
            const double position = static_cast<double>(noteLength > 0 ? frame % noteLength : frame);
            const double fadeIn = std::min(1.0, position / fadeLength);
            const double fadeOut = std::min(1.0, (static_cast<double>(noteLength) - position) / fadeLength);
            const double envelope = std::sin(0.5 * pi * std::min(fadeIn, fadeOut));
            const double* chord = chords[note % 4];
            const double time = static_cast<double>(frame) / rate;
            for (std::size_t channel = 0; channel < numOfChannels; ++channel)
            {
                double value = 0.0;
                for (int tone = 0; tone < 3; ++tone)
                {
                    // Each channel hears the tones a little louder or softer (a stereo spread).
                    const double pan = 1.0 - 0.3 * std::fabs(std::sin(double(channel + 1) * double(tone + 1)));
                    value += pan * std::sin(2.0 * pi * chord[tone] * time);
                }
                frames[frame * numOfChannels + channel] = static_cast<float>(amplitude * envelope * value);
            }
        }
    }
    if (settings.noiseDecibels > -200.0)
    {
        const double level = std::pow(10.0, settings.noiseDecibels / 20.0);
        NoiseGenerator noise(settings.seed);
        for (float& value : frames)
            value = static_cast<float>(static_cast<double>(value) + level * noise.nextGaussian());
    }
    return frames;
}

} // namespace murel::cli
