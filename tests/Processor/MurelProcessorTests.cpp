#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "DspCore/AudioFormat.h"
#include "DspCore/Signals.h"
#include "Processor/MurelProcessor.h"
#include "Processor/ProcessorTestSupport.h"

using namespace murel;
using namespace murel::test;

namespace
{

using Complex = std::complex<float>;
using Channels = std::vector<std::vector<float>>;

AudioFormat makeFormat(int numOfChannels, double sampleRate)
{
    AudioFormat format;
    format.createDefaultChannelMapping(numOfChannels);
    format.setSampleRate(sampleRate);
    return format;
}

/** Loads the models and sets the host format; fails the test when either step fails. */
void prepare(MurelProcessor& processor, const std::vector<mw::ModelDescription>& models, int numOfChannels,
             double sampleRate)
{
    std::vector<std::shared_ptr<InputStream>> streams;
    for (const auto& model : models)
        streams.push_back(toStream(model));
    ASSERT_TRUE(processor.loadModels(streams));
    const AudioFormat format = makeFormat(numOfChannels, sampleRate);
    ASSERT_TRUE(processor.setFormat(format, format));
}

bool loads(const std::vector<mw::ModelDescription>& models)
{
    MurelProcessor processor;
    std::vector<std::shared_ptr<InputStream>> streams;
    for (const auto& model : models)
        streams.push_back(toStream(model));
    return processor.loadModels(streams);
}

Signal32 toSignal(const Channels& channels, int start, int count)
{
    Signal32 block(static_cast<int>(channels.size()), count);
    for (std::size_t c = 0; c < channels.size(); ++c)
        std::copy_n(channels[c].begin() + start, count, block.getWritePointer(static_cast<int>(c)));
    return block;
}

/** Runs input through the processor as a real-time host does: blocks of the given sizes (cycled)
    go in, and for every block as many samples come out, the first `latency` of them silence.
    The processor must always have produced enough; the host's output is returned. */
Channels runAsHost(MurelProcessor& processor, const Channels& input, const std::vector<int>& blockSizes, int latency)
{
    const int numOfChannels = static_cast<int>(input.size());
    const int length = static_cast<int>(input[0].size());
    Channels output(input.size());
    Channels produced(input.size());
    std::size_t readPosition = 0;
    int position = 0;
    for (std::size_t i = 0; position < length; ++i)
    {
        const int count = std::min(blockSizes[i % blockSizes.size()], length - position);
        const Signal32 result = processor.process(toSignal(input, position, count));
        for (int c = 0; c < result.getNumOfChannels() && c < numOfChannels; ++c)
            produced[static_cast<std::size_t>(c)].insert(produced[static_cast<std::size_t>(c)].end(),
                                                         result.getReadPointer(c),
                                                         result.getReadPointer(c) + result.getNumOfSamples());
        position += count;
        // Samples the host must hand on after this block: everything but the latency.
        const std::size_t due = static_cast<std::size_t>(std::max(position - latency, 0));
        if (produced[0].size() < due)
        {
            ADD_FAILURE() << "after " << position << " samples only " << produced[0].size() << " of " << due
                          << " were ready";
            return output;
        }
        readPosition = due;
    }
    for (std::size_t c = 0; c < input.size(); ++c)
    {
        output[c].assign(static_cast<std::size_t>(std::min(latency, length)), 0.0f);
        output[c].insert(output[c].end(), produced[c].begin(),
                         produced[c].begin() + static_cast<std::ptrdiff_t>(readPosition));
    }
    return output;
}

/** output equals gain x input delayed by latency, within tolerance. */
void expectDelayedCopy(const Channels& input, const Channels& output, int latency, float gain, float tolerance)
{
    ASSERT_EQ(input.size(), output.size());
    for (std::size_t c = 0; c < input.size(); ++c)
    {
        ASSERT_EQ(output[c].size(), input[c].size()) << "channel " << c;
        float worst = 0.0f;
        std::size_t worstIndex = 0;
        for (std::size_t n = 0; n < output[c].size(); ++n)
        {
            const long source = static_cast<long>(n) - latency;
            const float expected = source >= 0 ? gain * input[c][static_cast<std::size_t>(source)] : 0.0f;
            const float error = std::abs(output[c][n] - expected);
            if (error > worst)
            {
                worst = error;
                worstIndex = n;
            }
        }
        EXPECT_LE(worst, tolerance) << "channel " << c << " sample " << worstIndex;
    }
}

// ---- Independent references of the mask shaping and the mix ----

float shapeExponent(float sensitivity)
{
    return static_cast<float>(std::pow(2.718281828459045, static_cast<double>(sensitivity * 0.0075f)));
}

Complex shapeReference(float sensitivity, Complex z, bool shaped = true)
{
    const float e = shapeExponent(sensitivity);
    const float phase = std::atan2(z.imag(), z.real());
    float m = std::hypot(z.real(), z.imag());
    if (shaped)
    {
        if (e < 1.0f)
            m = m * std::pow(m + 1e-12f, e - 1.0f);
        else
            m = m * std::pow((0.5f - std::cos(m * 3.1415927f) * 0.5f) + 1e-12f, e - 1.0f);
    }
    return {static_cast<float>(std::cos(static_cast<double>(phase)) * static_cast<double>(m)),
            static_cast<float>(std::sin(static_cast<double>(phase)) * static_cast<double>(m))};
}

struct BusSetting
{
    float gain = 1.0f;
    float sensitivity = 0.0f;
};

/** The mixed output bin for masks: (sum_b g_b S(s_b, y_b) + g_N S(s_N, 1 - sum_b S(s_b, y_b))) x. */
Complex mixMasksReference(const std::vector<Complex>& masks, const std::vector<BusSetting>& busses, Complex x)
{
    Complex sum(0.0f, 0.0f);
    Complex weighted(0.0f, 0.0f);
    for (std::size_t b = 0; b < masks.size(); ++b)
    {
        const Complex y = shapeReference(busses[b].sensitivity, masks[b]);
        sum += y;
        weighted += busses[b].gain * y;
    }
    const Complex residual = shapeReference(busses.back().sensitivity, Complex(1.0f, 0.0f) - sum);
    weighted += busses.back().gain * residual;
    return weighted * x;
}

ComplexSignal32 randomSpectrum(int numOfChannels, int numOfBins, std::uint32_t seed, float maxMagnitude)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> magnitude(0.0f, maxMagnitude);
    std::uniform_real_distribution<float> phase(-3.14159f, 3.14159f);
    ComplexSignal32 spectrum(numOfChannels, numOfBins);
    for (int c = 0; c < numOfChannels; ++c)
        for (int k = 0; k < numOfBins; ++k)
            spectrum.getWritePointer(c)[k] = std::polar(magnitude(generator), phase(generator));
    return spectrum;
}

void expectNear(Complex actual, Complex expected, float tolerance, const std::string& where)
{
    EXPECT_NEAR(actual.real(), expected.real(), tolerance) << where;
    EXPECT_NEAR(actual.imag(), expected.imag(), tolerance) << where;
}

const ModelBlocking smallBlocking{64, 64, 32, 48000.0};

} // namespace

// ---- Identity models stream the input through unchanged ----

class IdentityStreaming : public ::testing::TestWithParam<std::tuple<bool, bool, int, double, bool>>
{
};

TEST_P(IdentityStreaming, GivesBackTheInputDelayedByTheReportedLatency)
{
    const auto [hann, padded, numOfChannels, rateFactor, hopBlocks] = GetParam();
    ModelBlocking blocking;
    blocking.window = 256;
    blocking.hop = hann ? 64 : 128;
    blocking.fft = padded ? 512 : 256;
    MurelProcessor processor;
    // Spectra mode: the model's output is the spectrum itself and the residual is exactly 0.
    prepare(processor, {identityModel(numOfChannels, blocking, 1, generousNumOfBins(blocking))}, numOfChannels,
            blocking.sampleRate * rateFactor);

    const int scaledHop = static_cast<int>(blocking.hop * rateFactor);
    ASSERT_EQ(processor.getHopSize(), scaledHop);
    ASSERT_EQ(processor.getWindowSize(), static_cast<int>(blocking.window * rateFactor));
    ASSERT_EQ(processor.getFftSize(), static_cast<int>(blocking.fft * rateFactor));

    const std::vector<int> blocks = hopBlocks ? std::vector<int>{scaledHop} : std::vector<int>{37, 1, 250, 3, 96, 129};
    const int latency = processor.getLatency(hopBlocks ? scaledHop : 37);
    const Channels input =
        noise(numOfChannels, 40 * scaledHop + (hopBlocks ? 0 : 17), 11u + static_cast<std::uint32_t>(numOfChannels));
    const Channels output = runAsHost(processor, input, blocks, latency);
    // The Hann configuration normalises by the window size, the square-root one by the FFT size.
    const float gain = hann ? static_cast<float>(blocking.fft) / static_cast<float>(blocking.window) : 1.0f;
    expectDelayedCopy(input, output, latency, gain, 2e-5f);
}

INSTANTIATE_TEST_SUITE_P(Configurations, IdentityStreaming,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool(), ::testing::Values(1, 2, 6),
                                            ::testing::Values(0.5, 1.0, 2.0), ::testing::Bool()));

TEST(MurelProcessor, MaskingIdentityModelGivesBackTheInputWithAllGainsAtUnity)
{
    // The mask is the spectrum itself; bus plus residual still sum to the unity mask.
    for (const bool hann : {false, true})
    {
        ModelBlocking blocking{256, 256, hann ? 64 : 128, 48000.0};
        MurelProcessor processor;
        prepare(processor, {identityModel(2, blocking, 0, 129)}, 2, 48000.0);
        const Channels input = noise(2, 30 * 128, 5u);
        const int latency = processor.getLatency(100);
        expectDelayedCopy(input, runAsHost(processor, input, {100, 7, 300}, latency), latency, 1.0f, 2e-4f);
    }
}

TEST(MurelProcessor, StemSeparatorOfIdentityModelsGivesBackTheInput)
{
    // Spectra: sum = 2x, residual = x - 2x, weighted = x + x - x.
    MurelProcessor processor;
    const ModelBlocking blocking{256, 256, 128, 48000.0};
    prepare(processor, {identityModel(2, blocking, 1, 129), identityModel(2, blocking, 1, 129)}, 2, 48000.0);
    EXPECT_EQ(processor.getNumOfThreads(), 2);
    const Channels input = noise(2, 20 * 128, 9u);
    const int latency = processor.getLatency(128);
    expectDelayedCopy(input, runAsHost(processor, input, {128}, latency), latency, 1.0f, 5e-5f);
}

TEST(MurelProcessor, HostChannelsAreMatchedToTheModelsThroughTheChannelAverage)
{
    // A mono spectra model fed stereo: the bus is the average, the residual x - average.
    MurelProcessor processor;
    const ModelBlocking blocking{256, 256, 128, 48000.0};
    prepare(processor, {identityModel(1, blocking, 1, 129)}, 2, 48000.0);
    const Channels input = noise(2, 20 * 128, 13u);
    const int latency = processor.getLatency(128);
    expectDelayedCopy(input, runAsHost(processor, input, {128}, latency), latency, 1.0f, 2e-5f);

    // Without the residual each output channel is the average of the two.
    processor.setGain(1, 0.0f);
    processor.reset();
    const Channels output = runAsHost(processor, input, {128}, latency);
    Channels average(2, std::vector<float>(input[0].size()));
    for (std::size_t n = 0; n < input[0].size(); ++n)
        average[0][n] = average[1][n] = (input[0][n] + input[1][n]) * 0.5f;
    expectDelayedCopy(average, output, latency, 1.0f, 2e-5f);
}

TEST(MurelProcessor, BlockSizesScaleByPowersOfTwoForOtherHostRates)
{
    const ModelBlocking blocking{512, 512, 256, 48000.0};
    const struct
    {
        double rate;
        double scale;
    } cases[] = {{96000.0, 2.0}, {48000.0, 1.0},  {47000.0, 1.0},  {24000.0, 0.5},
                 {16000.0, 0.5}, {12000.0, 0.25}, {192000.0, 4.0}, {50000.0, 2.0}};
    for (const auto& c : cases)
    {
        MurelProcessor processor;
        prepare(processor, {identityModel(1, blocking, 0, 257)}, 1, c.rate);
        EXPECT_EQ(processor.getFftSize(), static_cast<int>(512 * c.scale)) << c.rate;
        EXPECT_EQ(processor.getWindowSize(), static_cast<int>(512 * c.scale)) << c.rate;
        EXPECT_EQ(processor.getHopSize(), static_cast<int>(256 * c.scale)) << c.rate;
    }
    // Sizes that no frame can run are refused and leave the format as it was.
    MurelProcessor processor;
    prepare(processor, {identityModel(1, blocking, 0, 257)}, 1, 48000.0);
    EXPECT_FALSE(processor.setFormat(makeFormat(1, 1.0), makeFormat(1, 1.0)));
    EXPECT_FALSE(processor.setFormat(makeFormat(1, 1e300), makeFormat(1, 1e300)));
    EXPECT_EQ(processor.getInputFormat().getSampleRate(), 48000.0);
    EXPECT_EQ(processor.getHopSize(), 256);
}

TEST(MurelProcessor, SetFormatBeforeLoadingFails)
{
    MurelProcessor processor;
    const AudioFormat format = makeFormat(2, 48000.0);
    EXPECT_FALSE(processor.setFormat(format, format));
    EXPECT_EQ(processor.getNumOfOutputBusses(false), 0);
    EXPECT_EQ(processor.getNumOfOutputBusses(true), 0);
    // Before blocking the frame is bypassed.
    const Signal32 block = toSignal(noise(2, 10, 1u), 0, 10);
    EXPECT_EQ(processor.process(block).getData(), block.getData());
}

TEST(MurelProcessor, ModelLatencyIsAddedInHopsAndFramesPairInOrder)
{
    // A convolution that delays by two frames: the model's output for frame n arrives with
    // frame n + 2 and must meet input frame n. Spectra without the residual show the pairing.
    const ModelBlocking blocking{256, 256, 128, 48000.0};
    for (const int mode : {0, 1})
    {
        mw::ModelDescription model = identityModel(1, blocking, mode, 129);
        model.layers = {scalingConv("delay", "input", 1, 1.0f, 0.0f, 2)};
        model.outputSource = "delay";
        MurelProcessor processor;
        prepare(processor, {model}, 1, 48000.0);
        if (mode == 1)
            processor.setGain(1, 0.0f);
        ASSERT_EQ(processor.getNeuralModels().front().latency, 2);
        EXPECT_EQ(processor.getLatency(128), 128 + 2 * 128);
        EXPECT_EQ(processor.getLatency(100), 256 + 2 * 128);

        const Channels input = noise(1, 30 * 128, 21u);
        expectDelayedCopy(input, runAsHost(processor, input, {128}, processor.getLatency(128)),
                          processor.getLatency(128), 1.0f, mode == 0 ? 2e-4f : 2e-5f);
        processor.reset();
        expectDelayedCopy(input, runAsHost(processor, input, {100, 3}, processor.getLatency(100)),
                          processor.getLatency(100), 1.0f, mode == 0 ? 2e-4f : 2e-5f);
        EXPECT_LE(processor.getNumOfWaitingFrames(), 2u);
    }
}

TEST(MurelProcessor, StreamingIsTheSameForAnySplitOfTheInput)
{
    const ModelBlocking blocking{256, 256, 64, 48000.0};
    const Channels input = noise(2, 6000, 31u);
    std::vector<std::vector<float>> reference;
    for (const std::vector<int>& blocks : std::vector<std::vector<int>>{{6000}, {1}, {17, 301, 2, 64}})
    {
        mw::ModelDescription model = identityModel(2, blocking, 0, 129);
        model.layers = {scalingConv("scale", "input", 2, 0.5f, 0.1f)};
        model.outputSource = "scale";
        MurelProcessor processor;
        prepare(processor, {model}, 2, 48000.0);
        processor.setSensitivity(0, 40.0f);
        processor.setGain(1, 0.25f);
        const Channels output = runAsHost(processor, input, blocks, processor.getLatency(1));
        if (reference.empty())
            reference = output;
        else
            EXPECT_EQ(output, reference);
    }
}

TEST(MurelProcessor, ResetGivesTheSameOutputAsAFreshProcessor)
{
    const ModelBlocking blocking{256, 256, 128, 48000.0};
    mw::ModelDescription model = identityModel(1, blocking, 0, 129);
    model.layers = {scalingConv("delay", "input", 1, 0.7f, 0.05f, 1)};
    model.outputSource = "delay";
    const Channels input = noise(1, 5000, 41u);

    MurelProcessor fresh;
    prepare(fresh, {model}, 1, 48000.0);
    fresh.setGain(1, 0.3f);
    const Channels expected = runAsHost(fresh, input, {100}, fresh.getLatency(100));

    MurelProcessor used;
    prepare(used, {model}, 1, 48000.0);
    used.setGain(1, 0.3f);
    runAsHost(used, noise(1, 3001, 42u), {77}, used.getLatency(77));
    used.reset();
    EXPECT_EQ(used.getNumOfWaitingFrames(), 0u);
    EXPECT_EQ(runAsHost(used, input, {100}, used.getLatency(100)), expected);
    EXPECT_FLOAT_EQ(used.getGain(1), 0.3f);
}

// ---- The mix against its formulas ----

TEST(MurelProcessor, MasksAreShapedWeightedAndMixedWithTheResidual)
{
    // The identity masking model's mask is the spectrum itself.
    const std::vector<std::vector<BusSetting>> settings = {
        {{1.0f, 0.0f}, {1.0f, 0.0f}},    {{1.0f, 0.0f}, {0.0f, 0.0f}},      {{0.0f, 0.0f}, {1.0f, 0.0f}},
        {{0.6f, 70.0f}, {0.2f, -45.0f}}, {{2.5f, -100.0f}, {0.5f, 100.0f}},
    };
    for (std::size_t s = 0; s < settings.size(); ++s)
    {
        MurelProcessor processor;
        prepare(processor, {identityModel(2, smallBlocking, 0, 33)}, 2, 48000.0);
        for (std::size_t b = 0; b < 2; ++b)
        {
            processor.setGain(static_cast<int>(b), settings[s][b].gain);
            processor.setSensitivity(static_cast<int>(b), settings[s][b].sensitivity);
        }
        // Magnitudes above 1 reach the periodic part of the raised-cosine map.
        const ComplexSignal32 x = randomSpectrum(2, 33, 100u + static_cast<std::uint32_t>(s), 1.6f);
        const std::list<ComplexSignal32> outputs = processor.process(x);
        ASSERT_EQ(outputs.size(), 1u);
        const ComplexSignal32& output = outputs.front();
        ASSERT_EQ(output.getNumOfChannels(), 2);
        ASSERT_EQ(output.getNumOfSamples(), 33);
        for (int c = 0; c < 2; ++c)
            for (int k = 0; k < 33; ++k)
            {
                const Complex xk = x.getReadPointer(c)[k];
                expectNear(output.getReadPointer(c)[k], mixMasksReference({xk}, settings[s], xk), 2e-5f,
                           "setting " + std::to_string(s) + " channel " + std::to_string(c) + " bin " +
                               std::to_string(k));
            }
    }
}

TEST(MurelProcessor, SpectraAreWeightedAndTheResidualIsWhatTheModelLeft)
{
    // The model gives 0.25 x + 0.1: output = g0 y + g1 (x - y), without shaping.
    mw::ModelDescription model = identityModel(1, smallBlocking, 1, 33);
    model.layers = {scalingConv("scale", "input", 1, 0.25f, 0.1f)};
    model.outputSource = "scale";
    MurelProcessor processor;
    prepare(processor, {model}, 1, 48000.0);
    processor.setGain(0, 0.8f);
    processor.setGain(1, 0.3f);
    // Sensitivities do not apply to spectra.
    processor.setSensitivity(0, 90.0f);
    processor.setSensitivity(1, -90.0f);
    const ComplexSignal32 x = randomSpectrum(1, 33, 7u, 3.0f);
    const std::list<ComplexSignal32> outputs = processor.process(x);
    ASSERT_EQ(outputs.size(), 1u);
    for (int k = 0; k < 33; ++k)
    {
        const Complex xk = x.getReadPointer(0)[k];
        const Complex y(0.25f * xk.real() + 0.1f, 0.25f * xk.imag() + 0.1f);
        expectNear(outputs.front().getReadPointer(0)[k], 0.8f * y + 0.3f * (xk - y), 1e-5f, "bin " + std::to_string(k));
    }
}

TEST(MurelProcessor, SeveralModelsFillTheirBussesInModelOrder)
{
    // Model A has two buses (constant masks a0, a1), model B one (b0). Bus names: A's two, B's
    // one, then A's residual name.
    const int numOfBins = 33;
    std::vector<Complex> a0(numOfBins), a1(numOfBins), b0(numOfBins);
    for (int k = 0; k < numOfBins; ++k)
    {
        a0[static_cast<std::size_t>(k)] = {0.5f, 0.1f * static_cast<float>(k % 3)};
        a1[static_cast<std::size_t>(k)] = {0.25f, -0.2f};
        b0[static_cast<std::size_t>(k)] = {0.05f * static_cast<float>(k % 7), 0.0f};
    }
    mw::ModelDescription modelA = identityModel(1, smallBlocking, 0, numOfBins);
    modelA.header.numOutputs = 2;
    modelA.header.outputNames = {"Voice", "Drums", "Rest of A"};
    modelA.layers = {constantMask("a0", "input", 1, a0), constantMask("a1", "input", 1, a1),
                     mw::LayerRecord{"both", mw::ConcatLayerRecord{{"a0", "a1"}}}};
    modelA.outputSource = "both";
    mw::ModelDescription modelB = constantMaskModel(1, smallBlocking, b0);
    modelB.header.outputNames = {"Bass", "Rest of B"};

    MurelProcessor processor;
    prepare(processor, {modelA, modelB}, 1, 48000.0);
    ASSERT_EQ(processor.getNumOfOutputBusses(true), 4);
    EXPECT_EQ(processor.getNumOfOutputBusses(false), 3);
    EXPECT_EQ(processor.getOutputBusName(0), "Voice");
    EXPECT_EQ(processor.getOutputBusName(1), "Drums");
    EXPECT_EQ(processor.getOutputBusName(2), "Bass");
    EXPECT_EQ(processor.getOutputBusName(3), "Rest of A");
    EXPECT_EQ(processor.getOutputBusName(4), "");
    EXPECT_EQ(processor.getOutputBusName(-1), "");
    EXPECT_EQ(processor.getNumOfThreads(), 2);

    const std::vector<std::vector<BusSetting>> settings = {
        {{1, 0}, {0, 0}, {0, 0}, {0, 0}},
        {{0, 0}, {1, 0}, {0, 0}, {0, 0}},
        {{0, 0}, {0, 0}, {1, 0}, {0, 0}},
        {{0, 0}, {0, 0}, {0, 0}, {1, 0}},
        {{0.5f, 20}, {1.5f, -30}, {0.7f, 60}, {0.9f, 10}},
    };
    std::uint32_t seed = 300;
    for (const auto& setting : settings)
    {
        for (int b = 0; b < 4; ++b)
        {
            processor.setGain(b, setting[static_cast<std::size_t>(b)].gain);
            processor.setSensitivity(b, setting[static_cast<std::size_t>(b)].sensitivity);
        }
        const ComplexSignal32 x = randomSpectrum(1, numOfBins, ++seed, 2.0f);
        const std::list<ComplexSignal32> outputs = processor.process(x);
        ASSERT_EQ(outputs.size(), 1u);
        for (int k = 0; k < numOfBins; ++k)
        {
            const std::size_t i = static_cast<std::size_t>(k);
            const Complex xk = x.getReadPointer(0)[k];
            expectNear(outputs.front().getReadPointer(0)[k], mixMasksReference({a0[i], a1[i], b0[i]}, setting, xk),
                       2e-5f, "bin " + std::to_string(k));
        }
    }
}

TEST(MurelProcessor, MissingMaskChannelsCountAsSilentBusses)
{
    // Two buses declared, but the graph delivers one mask channel: the second bus is zero.
    mw::ModelDescription model = identityModel(1, smallBlocking, 0, 33);
    model.header.numOutputs = 2;
    model.header.outputNames = {"A", "B", "Rest"};
    MurelProcessor processor;
    prepare(processor, {model}, 1, 48000.0);
    processor.setGain(0, 0.0f);
    processor.setGain(2, 0.0f);
    const ComplexSignal32 x = randomSpectrum(1, 33, 77u, 1.0f);
    std::list<ComplexSignal32> outputs = processor.process(x);
    ASSERT_EQ(outputs.size(), 1u);
    for (int k = 0; k < 33; ++k)
        expectNear(outputs.front().getReadPointer(0)[k], {0.0f, 0.0f}, 1e-12f, "bin " + std::to_string(k));

    processor.setGain(0, 1.0f);
    processor.setGain(2, 1.0f);
    outputs = processor.process(x);
    for (int k = 0; k < 33; ++k)
    {
        const Complex xk = x.getReadPointer(0)[k];
        expectNear(outputs.front().getReadPointer(0)[k],
                   mixMasksReference({xk, {0.0f, 0.0f}}, {{1, 0}, {1, 0}, {1, 0}}, xk), 2e-5f,
                   "bin " + std::to_string(k));
    }
}

// ---- Mask shaping and channel matching ----

TEST(MurelProcessor, SensitivityBendsMagnitudesAndKeepsPhases)
{
    MurelProcessor processor;
    prepare(processor, {identityModel(2, smallBlocking, 0, 33)}, 2, 48000.0);

    ComplexSignal32 mask(2, 33);
    mask.setToZero();
    mask.getWritePointer(0)[0] = {0.5f, 0.0f};
    mask.getWritePointer(0)[1] = {0.0f, 1.0f};
    mask.getWritePointer(0)[2] = {-2.0f, 0.0f};
    mask.getWritePointer(1)[3] = std::polar(0.5f, 2.0f);

    const ComplexSignal32 strict = processor.processSensitivity(100.0f, mask);
    EXPECT_NEAR(std::abs(strict.getReadPointer(0)[0]), 0.5f * std::pow(0.5f, 1.117f), 2e-3f);
    EXPECT_NEAR(strict.getReadPointer(0)[1].imag(), 1.0f, 1e-6f);
    EXPECT_NEAR(std::abs(strict.getReadPointer(0)[2]), 0.0f, 1e-3f); // the period-2 map
    EXPECT_NEAR(std::arg(strict.getReadPointer(1)[3]), 2.0f, 1e-5f);
    EXPECT_EQ(strict.getReadPointer(1)[4], Complex(0.0f, 0.0f)); // zero stays zero

    const ComplexSignal32 permissive = processor.processSensitivity(-100.0f, mask);
    EXPECT_NEAR(std::abs(permissive.getReadPointer(0)[0]), std::pow(0.5f, 0.472f), 2e-3f);
    EXPECT_EQ(permissive.getReadPointer(1)[4], Complex(0.0f, 0.0f));

    const ComplexSignal32 unchanged = processor.processSensitivity(0.0f, mask);
    for (int c = 0; c < 2; ++c)
        for (int k = 0; k < 33; ++k)
            expectNear(unchanged.getReadPointer(c)[k], mask.getReadPointer(c)[k], 1e-6f, "bin " + std::to_string(k));

    // Every bin against the formula, for sensitivities on both branches.
    const ComplexSignal32 random = randomSpectrum(2, 33, 5u, 2.5f);
    for (const float s : {-100.0f, -37.5f, -0.5f, 0.0f, 0.5f, 12.0f, 100.0f})
    {
        const ComplexSignal32 shaped = processor.processSensitivity(s, random);
        for (int c = 0; c < 2; ++c)
            for (int k = 0; k < 33; ++k)
                expectNear(shaped.getReadPointer(c)[k], shapeReference(s, random.getReadPointer(c)[k]), 2e-6f,
                           "sensitivity " + std::to_string(s) + " bin " + std::to_string(k));
    }
}

TEST(MurelProcessor, PolarRoundTripIsCorrectlyRoundedAndWithinRoundingOfTheCLibrary)
{
    // Sensitivity 0: the phase in single precision, the magnitude as cabsf gives it, back with
    // the sine and cosine in double. The phase is the correctly rounded one (the C library's
    // atan2f is one step off for some arguments), so the result matches that reference to the
    // last bit, and the atan2f path within one phase step times the magnitude. Checked in every
    // quadrant and on the axes, the diagonals and the branch cut.
    MurelProcessor processor;
    prepare(processor, {identityModel(1, smallBlocking, 0, 33)}, 1, 48000.0);
    std::vector<Complex> values = {{1.0f, 0.0f},    {0.0f, 1.0f},    {-1.0f, 0.0f},  {0.0f, -1.0f},   {1.0f, 1.0f},
                                   {-1.0f, 1.0f},   {-1.0f, -1.0f},  {1.0f, -1.0f},  {-1.0f, 1e-30f}, {-1.0f, -1e-30f},
                                   {-1.0f, -0.0f},  {0.0f, 0.0f},    {3e-39f, 0.0f}, {1e30f, -2e30f}, {-0.0f, -0.0f},
                                   {1e-20f, 1e20f}, {-1e20f, 1e-20f}};
    std::mt19937 generator(2024);
    std::uniform_real_distribution<float> distribution(-2.0f, 2.0f);
    while (values.size() < 20001)
    {
        const float re = distribution(generator);
        values.emplace_back(re, distribution(generator));
    }
    ComplexSignal32 mask(1, static_cast<int>(values.size()));
    std::copy(values.begin(), values.end(), mask.getWritePointer(0));
    const ComplexSignal32 shaped = processor.processSensitivity(0.0f, mask);
    const auto rebuild = [](float phase, double m)
    {
        return Complex(static_cast<float>(std::cos(static_cast<double>(phase)) * m),
                       static_cast<float>(std::sin(static_cast<double>(phase)) * m));
    };
    int numOfDifferences = 0;
    for (std::size_t i = 0; i < values.size(); ++i)
    {
        const Complex z = values[i];
        const double m = static_cast<double>(std::abs(z));
        const Complex actual = shaped.getReadPointer(0)[i];
        const float rounded =
            static_cast<float>(std::atan2(static_cast<double>(z.imag()), static_cast<double>(z.real())));
        numOfDifferences += actual != rebuild(rounded, m) ? 1 : 0;
        const Complex viaAtan2f = rebuild(std::atan2(z.imag(), z.real()), m);
        const float tolerance = static_cast<float>(m) * 5e-7f;
        ASSERT_LE(std::abs(actual.real() - viaAtan2f.real()), tolerance) << i << " " << z;
        ASSERT_LE(std::abs(actual.imag() - viaAtan2f.imag()), tolerance) << i << " " << z;
        ASSERT_EQ(std::signbit(actual.imag()), std::signbit(viaAtan2f.imag())) << i << " " << z;
    }
    // Double precision on both sides: the float results differ only by accident.
    EXPECT_LE(numOfDifferences, 2);
}

TEST(MurelProcessor, SensitivityShapesOnlyTheOutputChannelsAndTheOneSidedBins)
{
    // Output channel count 1, fftSize 64: channel 1 and bins above 32 only pass the polar
    // conversion.
    MurelProcessor processor;
    prepare(processor, {identityModel(1, smallBlocking, 0, 33)}, 1, 48000.0);
    const ComplexSignal32 mask = randomSpectrum(2, 40, 9u, 1.0f);
    const ComplexSignal32 shaped = processor.processSensitivity(80.0f, mask);
    ASSERT_EQ(shaped.getNumOfChannels(), 2);
    ASSERT_EQ(shaped.getNumOfSamples(), 40);
    for (int c = 0; c < 2; ++c)
        for (int k = 0; k < 40; ++k)
            expectNear(shaped.getReadPointer(c)[k], shapeReference(80.0f, mask.getReadPointer(c)[k], c == 0 && k <= 32),
                       2e-6f, "channel " + std::to_string(c) + " bin " + std::to_string(k));
}

TEST(MurelProcessor, ChannelCountsChangeThroughTheChannelAverage)
{
    MurelProcessor processor;
    const ComplexSignal32 stereo = randomSpectrum(2, 21, 3u, 1.0f);
    EXPECT_EQ(processor.ensureChannelFormat(stereo, 2).getData(), stereo.getData());

    const ComplexSignal32 mono = processor.ensureChannelFormat(stereo, 1);
    const ComplexSignal32 three = processor.ensureChannelFormat(stereo, 3);
    ASSERT_EQ(mono.getNumOfChannels(), 1);
    ASSERT_EQ(three.getNumOfChannels(), 3);
    for (int k = 0; k < 21; ++k)
    {
        const Complex average = (stereo.getReadPointer(0)[k] + stereo.getReadPointer(1)[k]) * 0.5f;
        EXPECT_EQ(mono.getReadPointer(0)[k], average);
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(three.getReadPointer(c)[k], average);
    }

    const ComplexSignal32 single = randomSpectrum(1, 21, 4u, 1.0f);
    const ComplexSignal32 two = processor.ensureChannelFormat(single, 2);
    ASSERT_EQ(two.getNumOfChannels(), 2);
    for (int k = 0; k < 21; ++k)
    {
        EXPECT_EQ(two.getReadPointer(0)[k], single.getReadPointer(0)[k]);
        EXPECT_EQ(two.getReadPointer(1)[k], single.getReadPointer(0)[k]);
    }

    const ComplexSignal32 six = randomSpectrum(6, 5, 8u, 1.0f);
    const ComplexSignal32 fromSix = processor.ensureChannelFormat(six, 2);
    for (int k = 0; k < 5; ++k)
    {
        Complex sum = six.getReadPointer(0)[k];
        for (int c = 1; c < 6; ++c)
            sum += six.getReadPointer(c)[k];
        EXPECT_EQ(fromSix.getReadPointer(1)[k], sum * (1.0f / 6.0f));
    }
    // A spectrum without channels gives silence instead of reading rows it does not have.
    const ComplexSignal32 none = processor.ensureChannelFormat(ComplexSignal32(), 2);
    ASSERT_EQ(none.getNumOfChannels(), 2);
}

// ---- Parameters ----

TEST(MurelProcessor, ParametersAreClampedAndOnlySixteenBussesHoldValues)
{
    MurelProcessor processor;
    for (int b = 0; b < MurelProcessor::maxNumOfBusses; ++b)
    {
        EXPECT_EQ(processor.getGain(b), 1.0f);
        EXPECT_EQ(processor.getSensitivity(b), 0.0f);
    }
    processor.setSensitivity(3, 250.0f);
    EXPECT_EQ(processor.getSensitivity(3), 100.0f);
    processor.setSensitivity(3, -250.0f);
    EXPECT_EQ(processor.getSensitivity(3), -100.0f);
    processor.setGain(2, -1.0f);
    EXPECT_EQ(processor.getGain(2), 0.0f);
    processor.setGain(2, 250.0f);
    EXPECT_EQ(processor.getGain(2), 250.0f);
    processor.setGain(16, 0.5f);
    EXPECT_EQ(processor.getGain(16), 0.0f);
    EXPECT_EQ(processor.getSensitivity(-1), 0.0f);
    processor.setGain(2, std::nanf(""));
    EXPECT_EQ(processor.getGain(2), 250.0f);
    EXPECT_TRUE(processor.getMaskExtrapolationEnabled());
    processor.setMaskExtrapolationEnabled(false);
    EXPECT_FALSE(processor.getMaskExtrapolationEnabled());
}

TEST(MurelProcessor, MaskExtrapolationSwitchReachesEveryModel)
{
    // 9 bins of mask 1: with extrapolation the bins above continue at 1 - 0.98^9; without, 0.
    MurelProcessor processor;
    prepare(processor, {constantMaskModel(1, smallBlocking, std::vector<Complex>(9, Complex(1.0f, 0.0f)))}, 1, 48000.0);
    processor.setGain(1, 0.0f);
    ComplexSignal32 x(1, 33);
    for (int k = 0; k < 33; ++k)
        x.getWritePointer(0)[k] = {1.0f, 0.0f};
    const float level = 1.0f - std::pow(0.98f, 9.0f);
    EXPECT_NEAR(processor.process(x).front().getReadPointer(0)[20].real(), level, 1e-4f);
    processor.setMaskExtrapolationEnabled(false);
    EXPECT_NEAR(processor.process(x).front().getReadPointer(0)[20].real(), 0.0f, 1e-6f);
    EXPECT_NEAR(processor.process(x).front().getReadPointer(0)[3].real(), 1.0f, 1e-6f);
}

// ---- Model sets that cannot run ----

TEST(MurelProcessor, RejectsModelSetsThatCannotRun)
{
    const ModelBlocking blocking = smallBlocking;
    const mw::ModelDescription good = identityModel(1, blocking, 0, 33);
    EXPECT_TRUE(loads({good}));
    EXPECT_TRUE(loads({good, good}));

    mw::ModelDescription noBus = good;
    noBus.header.numOutputs = 0;
    noBus.header.outputNames = {"Residual"};
    EXPECT_FALSE(loads({noBus}));
    EXPECT_FALSE(loads({noBus, noBus}));
    EXPECT_TRUE(loads({noBus, good}));

    mw::ModelDescription many = good;
    many.header.numOutputs = 15;
    many.header.outputNames.assign(16, "bus");
    EXPECT_TRUE(loads({many}));
    many.header.numOutputs = 16;
    many.header.outputNames.assign(17, "bus");
    EXPECT_FALSE(loads({many}));
    mw::ModelDescription eight = good;
    eight.header.numOutputs = 8;
    eight.header.outputNames.assign(9, "bus");
    mw::ModelDescription seven = eight;
    seven.header.numOutputs = 7;
    seven.header.outputNames.assign(8, "bus");
    EXPECT_TRUE(loads({eight, seven}));
    EXPECT_FALSE(loads({eight, eight}));

    mw::ModelDescription spectra = good;
    spectra.header.processingMode = 1;
    EXPECT_FALSE(loads({good, spectra}));

    mw::ModelDescription history = good;
    history.header.inputPacking = mw::Packing::history(0, 33, 2);
    EXPECT_FALSE(loads({history}));
    mw::ModelDescription historyOut = good;
    historyOut.header.outputPacking = mw::Packing::history(0, 33, 2);
    EXPECT_FALSE(loads({historyOut}));

    // A strided convolution halves the frame rate; its transposed partner restores it.
    mw::ModelDescription strided = good;
    mw::LayerRecord down = scalingConv("down", "input", 1, 1.0f);
    std::get<mw::ConvLayerRecord>(down.body).timeStride = 2;
    strided.layers = {down};
    strided.outputSource = "down";
    EXPECT_FALSE(loads({strided}));
    mw::TransposedConvLayerRecord upRecord;
    upRecord.source = "down";
    upRecord.weights = tensorRecord({2, 1, 2, 2}, {1, 0, 0, 1, 1, 0, 0, 1});
    upRecord.outputChannels = 2;
    upRecord.timeStride = 2;
    strided.layers.push_back(mw::LayerRecord{"up", upRecord});
    strided.outputSource = "up";
    EXPECT_TRUE(loads({strided}));
    mw::ModelDescription upOnly = good;
    upRecord.source = "input";
    upOnly.layers = {mw::LayerRecord{"up", upRecord}};
    upOnly.outputSource = "up";
    EXPECT_FALSE(loads({upOnly}));

    mw::ModelDescription otherHop = good;
    otherHop.header.hopSize = 16;
    EXPECT_FALSE(loads({good, otherHop}));
    mw::ModelDescription otherWindow = good;
    otherWindow.header.windowSize = 32;
    EXPECT_FALSE(loads({good, otherWindow}));
    mw::ModelDescription otherFft = good;
    otherFft.header.fftSize = 128;
    EXPECT_TRUE(loads({good, otherFft}));
    mw::ModelDescription otherRate = good;
    otherRate.header.sampleRate = 44100.0;
    EXPECT_FALSE(loads({good, otherRate}));
    mw::ModelDescription otherChannels = identityModel(2, blocking, 0, 33);
    EXPECT_FALSE(loads({good, otherChannels}));
    mw::ModelDescription noRate = good;
    noRate.header.sampleRate = 0.0;
    EXPECT_FALSE(loads({noRate}));
    noRate.header.sampleRate = std::nan("");
    EXPECT_FALSE(loads({noRate}));

    MurelProcessor processor;
    EXPECT_FALSE(processor.loadModels({}));
    EXPECT_FALSE(processor.loadModels({nullptr}));
    EXPECT_FALSE(processor.loadModels({std::make_shared<MemoryInputStream>(std::vector<std::uint8_t>{1, 2, 3})}));
    EXPECT_FALSE(processor.loadModelFiles({File("/nonexistent/folder/model.model")}));
}

TEST(MurelProcessor, FailedLoadLeavesTheLoadedModelsInPlace)
{
    MurelProcessor processor;
    prepare(processor, {identityModel(1, smallBlocking, 1, 33)}, 1, 48000.0);
    mw::ModelDescription noBus = identityModel(1, smallBlocking, 1, 33);
    noBus.header.numOutputs = 0;
    noBus.header.outputNames = {"Residual"};
    EXPECT_FALSE(processor.loadModels({toStream(noBus)}));
    EXPECT_EQ(processor.getNumOfModels(), 1);
    EXPECT_EQ(processor.getNumOfOutputBusses(true), 2);
    const Channels input = noise(1, 2016, 3u);
    expectDelayedCopy(input, runAsHost(processor, input, {32}, processor.getLatency(32)), processor.getLatency(32),
                      1.0f, 2e-5f);
}

// ---- Stem separation on worker threads ----

namespace
{

std::vector<Complex> bandMask(int numOfBins, int first, int end)
{
    std::vector<Complex> mask(static_cast<std::size_t>(numOfBins), Complex(0.0f, 0.0f));
    for (int k = first; k < end; ++k)
        mask[static_cast<std::size_t>(k)] = {1.0f, 0.0f};
    return mask;
}

Channels sines(int numOfChannels, int length, const std::vector<double>& cyclesPerSample)
{
    Channels channels(static_cast<std::size_t>(numOfChannels), std::vector<float>(static_cast<std::size_t>(length)));
    for (int c = 0; c < numOfChannels; ++c)
        for (int n = 0; n < length; ++n)
        {
            double value = 0.0;
            for (const double f : cyclesPerSample)
                value += 0.3 * std::sin(2.0 * 3.141592653589793 * f * n + c);
            channels[static_cast<std::size_t>(c)][static_cast<std::size_t>(n)] = static_cast<float>(value);
        }
    return channels;
}

/** Energy of a minus b after the first skip samples, relative to the energy of b there. */
double relativeError(const std::vector<float>& a, const std::vector<float>& b, std::size_t skip)
{
    double error = 0.0;
    double energy = 0.0;
    for (std::size_t n = skip; n < a.size(); ++n)
    {
        const double difference = static_cast<double>(a[n]) - static_cast<double>(b[n]);
        error += difference * difference;
        energy += static_cast<double>(b[n]) * static_cast<double>(b[n]);
    }
    return error / energy;
}

Channels delayed(const Channels& input, int latency)
{
    Channels result(input.size());
    for (std::size_t c = 0; c < input.size(); ++c)
    {
        result[c].assign(static_cast<std::size_t>(latency), 0.0f);
        result[c].insert(result[c].end(), input[c].begin(), input[c].end() - latency);
    }
    return result;
}

} // namespace

TEST(MurelProcessor, WorkerThreadsGiveTheSameOutputAsOneModelDoingBothJobs)
{
    // Models A and B on two threads against one model whose graph holds both: the same bus
    // frames in the same order, so the same output bit for bit.
    const ModelBlocking blocking{256, 256, 128, 48000.0};
    const int numOfBins = 129;
    mw::ModelDescription modelA = identityModel(2, blocking, 0, numOfBins);
    modelA.layers = {scalingConv("a", "input", 2, 0.6f, 0.05f, 1)};
    modelA.outputSource = "a";
    mw::ModelDescription modelB = constantMaskModel(2, blocking, bandMask(numOfBins, 10, 40));
    modelB.layers.push_back(scalingConv("delay", "mask", 2, 1.0f, 0.0f, 1));
    modelB.outputSource = "delay";
    mw::ModelDescription both = identityModel(2, blocking, 0, numOfBins);
    both.header.numOutputs = 2;
    both.header.outputNames = {"A", "B", "Rest"};
    both.layers = {
        scalingConv("a", "input", 2, 0.6f, 0.05f, 1), constantMask("mask", "input", 2, bandMask(numOfBins, 10, 40)),
        scalingConv("delay", "mask", 2, 1.0f, 0.0f, 1), mw::LayerRecord{"both", mw::ConcatLayerRecord{{"a", "delay"}}}};
    both.outputSource = "both";

    MurelProcessor separator;
    prepare(separator, {modelA, modelB}, 2, 48000.0);
    MurelProcessor single;
    prepare(single, {both}, 2, 48000.0);
    ASSERT_EQ(separator.getNumOfThreads(), 2);
    ASSERT_EQ(single.getNumOfThreads(), 0);
    ASSERT_EQ(separator.getLatency(100), single.getLatency(100));
    const float gains[3] = {0.7f, 0.2f, 0.9f};
    const float sensitivities[3] = {30.0f, -20.0f, 5.0f};
    for (int b = 0; b < 3; ++b)
    {
        separator.setGain(b, gains[b]);
        single.setGain(b, gains[b]);
        separator.setSensitivity(b, sensitivities[b]);
        single.setSensitivity(b, sensitivities[b]);
    }
    const Channels input = noise(2, 20000, 55u);
    const int latency = separator.getLatency(100);
    EXPECT_EQ(runAsHost(separator, input, {100, 33, 512}, latency), runAsHost(single, input, {100, 33, 512}, latency));
}

TEST(MurelProcessor, EachBusIsolatesItsModelsComponent)
{
    // Model A keeps bins 0..39, model B bins 40..128. A tone in each band: bus 0 gives the low
    // tone, bus 1 the high one, the residual nothing.
    const ModelBlocking blocking{256, 256, 128, 48000.0};
    const int numOfBins = 129;
    MurelProcessor processor;
    prepare(processor,
            {constantMaskModel(2, blocking, bandMask(numOfBins, 0, 40)),
             constantMaskModel(2, blocking, bandMask(numOfBins, 40, numOfBins))},
            2, 48000.0);
    const double low = 12.0 / 256.0;
    const double high = 90.0 / 256.0;
    const int length = 40 * 256;
    const Channels input = sines(2, length, {low, high});
    const int latency = processor.getLatency(256);
    const std::size_t settle = static_cast<std::size_t>(latency + 512);

    const struct
    {
        float gains[3];
        std::vector<double> expected;
    } cases[] = {{{1, 0, 0}, {low}}, {{0, 1, 0}, {high}}, {{1, 1, 0}, {low, high}}};
    for (const auto& c : cases)
    {
        for (int b = 0; b < 3; ++b)
            processor.setGain(b, c.gains[b]);
        processor.reset();
        const Channels output = runAsHost(processor, input, {256}, latency);
        const Channels expected = delayed(sines(2, length, c.expected), latency);
        for (std::size_t ch = 0; ch < 2; ++ch)
            EXPECT_LT(relativeError(output[ch], expected[ch], settle), 1e-4) << c.gains[0] << c.gains[1];
    }
    // The masks sum to one everywhere: the residual alone is silent.
    for (int b = 0; b < 3; ++b)
        processor.setGain(b, b == 2 ? 1.0f : 0.0f);
    processor.reset();
    const Channels residual = runAsHost(processor, input, {256}, latency);
    double peak = 0.0;
    for (const auto& channel : residual)
        for (const float sample : channel)
            peak = std::max(peak, static_cast<double>(std::abs(sample)));
    EXPECT_LT(peak, 1e-5);
}

TEST(MurelProcessor, ParametersChangeFromAnotherThreadWhileAudioRuns)
{
    // Run under ThreadSanitizer: the gains, sensitivities and the extrapolation switch are
    // written on one thread while two models run on the workers of the audio thread.
    const ModelBlocking blocking{256, 256, 128, 48000.0};
    MurelProcessor processor;
    prepare(processor, {identityModel(2, blocking, 0, 129), constantMaskModel(2, blocking, bandMask(129, 0, 50))}, 2,
            48000.0);
    std::atomic<bool> running{true};
    std::thread controller(
        [&]()
        {
            float value = 0.0f;
            while (running.load())
            {
                for (int b = 0; b < 3; ++b)
                {
                    processor.setGain(b, value);
                    processor.setSensitivity(b, 100.0f - 200.0f * value);
                    (void)processor.getGain(b);
                }
                processor.setMaskExtrapolationEnabled(value < 0.5f);
                value = value >= 1.0f ? 0.0f : value + 0.01f;
                std::this_thread::yield();
            }
        });
    const Channels input = noise(2, 30000, 99u);
    const Channels output = runAsHost(processor, input, {100, 31}, processor.getLatency(31));
    running.store(false);
    controller.join();
    for (const auto& channel : output)
        for (const float sample : channel)
            ASSERT_TRUE(std::isfinite(sample));
}
