#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <list>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "DspCore/AudioFormat.h"
#include "DspCore/Signals.h"
#include "Processor/MurelProcessor.h"
#include "Processor/ProcessorTestSupport.h"
#include "TestSupport.h"

using namespace murel;
using namespace murel::test;

namespace
{

using Complex = std::complex<float>;

const ModelBlocking smallBlocking{64, 64, 32, 48000.0};

std::vector<std::shared_ptr<InputStream>> toStreams(const std::vector<mw::ModelDescription>& models)
{
    std::vector<std::shared_ptr<InputStream>> streams;
    for (const auto& model : models)
        streams.push_back(toStream(model));
    return streams;
}

/** Loads the models and sets the host format; fails the test when either step fails. */
void prepare(MurelProcessor& processor, const std::vector<mw::ModelDescription>& models, int numOfChannels,
             double sampleRate = 48000.0)
{
    ASSERT_TRUE(processor.loadModels(toStreams(models)));
    const AudioFormat format = makeFormat(numOfChannels, sampleRate);
    ASSERT_TRUE(processor.setFormat(format, format));
}

bool loads(const std::vector<mw::ModelDescription>& models)
{
    return MurelProcessor().loadModels(toStreams(models));
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
    const int length = static_cast<int>(input[0].size());
    Channels produced(input.size());
    for (std::size_t i = 0, position = 0; static_cast<int>(position) < length; ++i)
    {
        const int count = std::min(blockSizes[i % blockSizes.size()], length - static_cast<int>(position));
        const Signal32 result = processor.process(toSignal(input, static_cast<int>(position), count));
        for (std::size_t c = 0; c < input.size(); ++c)
        {
            const float* samples = result.getReadPointer(static_cast<int>(c));
            produced[c].insert(produced[c].end(), samples, samples + result.getNumOfSamples());
        }
        position += static_cast<std::size_t>(count);
        // The host hands on everything but the latency after each block.
        if (static_cast<int>(produced[0].size()) < static_cast<int>(position) - latency)
        {
            ADD_FAILURE() << "after " << position << " samples only " << produced[0].size() << " were ready";
            return {};
        }
    }
    Channels output(input.size(), std::vector<float>(static_cast<std::size_t>(std::min(latency, length)), 0.0f));
    for (std::size_t c = 0; c < input.size(); ++c)
        output[c].insert(output[c].end(), produced[c].begin(),
                         produced[c].begin() + static_cast<std::ptrdiff_t>(input[c].size() - output[c].size()));
    return output;
}

// ---- Independent references of the mask shaping and the mix ----

Complex shapeReference(float sensitivity, Complex z, bool shaped = true)
{
    const float e = static_cast<float>(std::pow(2.718281828459045, static_cast<double>(sensitivity * 0.0075f)));
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
    weighted += busses.back().gain * shapeReference(busses.back().sensitivity, Complex(1.0f, 0.0f) - sum);
    return weighted * x;
}

void applySettings(MurelProcessor& processor, const std::vector<BusSetting>& busses)
{
    for (std::size_t b = 0; b < busses.size(); ++b)
    {
        processor.setGain(static_cast<int>(b), busses[b].gain);
        processor.setSensitivity(static_cast<int>(b), busses[b].sensitivity);
    }
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

/** The one frame the processor gives for the spectrum x. */
ComplexSignal32 processFrame(MurelProcessor& processor, const ComplexSignal32& x)
{
    const std::list<ComplexSignal32> outputs = processor.process(x);
    EXPECT_EQ(outputs.size(), 1u);
    return outputs.empty() ? ComplexSignal32() : outputs.front();
}

/** Every bin of actual against expected(channel, bin). */
template <typename Expected>
void expectBins(const ComplexSignal32& actual, int numOfChannels, int numOfBins, Expected expected, float tolerance)
{
    ASSERT_EQ(actual.getNumOfChannels(), numOfChannels);
    ASSERT_EQ(actual.getNumOfSamples(), numOfBins);
    for (int c = 0; c < numOfChannels; ++c)
        for (int k = 0; k < numOfBins; ++k)
        {
            const Complex value = actual.getReadPointer(c)[k];
            const Complex reference = expected(c, k);
            EXPECT_NEAR(value.real(), reference.real(), tolerance) << "channel " << c << " bin " << k;
            EXPECT_NEAR(value.imag(), reference.imag(), tolerance) << "channel " << c << " bin " << k;
        }
}

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

TEST(MurelProcessor, IdentityMasksSeparatorsAndChannelMatchingGiveBackTheInput)
{
    const ModelBlocking squareRootHann;
    const ModelBlocking hann{256, 256, 64, 48000.0};
    const struct
    {
        const char* what;
        std::vector<mw::ModelDescription> models;
        float tolerance;
        bool withResidual = true;
    } cases[] = {
        // The mask is the spectrum itself; bus plus residual still sum to the unity mask.
        {"masks, square-root Hann", {identityModel(2, squareRootHann, 0, 129)}, 2e-4f},
        {"masks, Hann", {identityModel(2, hann, 0, 129)}, 2e-4f},
        // Spectra: sum = 2x, residual = x - 2x, weighted = x + x - x.
        {"two spectra models",
         {identityModel(2, squareRootHann, 1, 129), identityModel(2, squareRootHann, 1, 129)},
         5e-5f},
        // A mono model fed stereo: the bus is the channel average, the residual x minus it.
        {"mono spectra model", {identityModel(1, squareRootHann, 1, 129)}, 2e-5f},
        {"mono spectra model without the residual", {identityModel(1, squareRootHann, 1, 129)}, 2e-5f, false},
    };
    const Channels input = noise(2, 30 * 128, 5u);
    Channels average(2, std::vector<float>(input[0].size()));
    for (std::size_t n = 0; n < input[0].size(); ++n)
        average[0][n] = average[1][n] = (input[0][n] + input[1][n]) * 0.5f;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        MurelProcessor processor;
        prepare(processor, c.models, 2);
        processor.setGain(1, c.withResidual ? 1.0f : 0.0f);
        const int latency = processor.getLatency(100);
        expectDelayedCopy(c.withResidual ? input : average, runAsHost(processor, input, {100, 7, 300}, latency),
                          latency, 1.0f, c.tolerance);
    }
}

TEST(MurelProcessor, HostRatesScaleTheFrameByPowersOfTwoOrAreRefused)
{
    const ModelBlocking blocking{512, 512, 256, 48000.0};
    const std::pair<double, double> cases[] = {{96000.0, 2.0}, {48000.0, 1.0},  {47000.0, 1.0},  {24000.0, 0.5},
                                               {16000.0, 0.5}, {12000.0, 0.25}, {192000.0, 4.0}, {50000.0, 2.0}};
    for (const auto& [rate, scale] : cases)
    {
        MurelProcessor processor;
        prepare(processor, {identityModel(1, blocking, 0, 257)}, 1, rate);
        EXPECT_EQ(processor.getFftSize(), static_cast<int>(512 * scale)) << rate;
        EXPECT_EQ(processor.getWindowSize(), static_cast<int>(512 * scale)) << rate;
        EXPECT_EQ(processor.getHopSize(), static_cast<int>(256 * scale)) << rate;
    }
    // Rates that no frame can run are refused and leave the format as it was.
    MurelProcessor processor;
    prepare(processor, {identityModel(1, blocking, 0, 257)}, 1);
    for (const double rate : {1.0, 1e300})
        EXPECT_FALSE(processor.setFormat(makeFormat(1, rate), makeFormat(1, rate))) << rate;
    EXPECT_EQ(processor.getInputFormat().getSampleRate(), 48000.0);
    EXPECT_EQ(processor.getHopSize(), 256);

    // Without models every format is refused, and the audio is bypassed.
    MurelProcessor empty;
    EXPECT_FALSE(empty.setFormat(makeFormat(2, 48000.0), makeFormat(2, 48000.0)));
    EXPECT_EQ(empty.getNumOfOutputBusses(true), 0);
    const Signal32 block = toSignal(noise(2, 10, 1u), 0, 10);
    EXPECT_EQ(empty.process(block).getData(), block.getData());
}

TEST(MurelProcessor, ModelLatencyIsAddedInHopsAndFramesPairInOrder)
{
    // A convolution that delays by two frames: the model's output for frame n arrives with
    // frame n + 2 and must meet input frame n. Spectra without the residual show the pairing.
    for (const int mode : {0, 1})
    {
        SCOPED_TRACE(mode);
        MurelProcessor processor;
        prepare(processor, {scalingModel(1, ModelBlocking{}, mode, 129, 1.0f, 0.0f, 2)}, 1);
        if (mode == 1)
            processor.setGain(1, 0.0f);
        ASSERT_EQ(processor.getNeuralModels().front().latency, 2);
        EXPECT_EQ(processor.getLatency(128), 128 + 2 * 128);
        EXPECT_EQ(processor.getLatency(100), 256 + 2 * 128);

        const Channels input = noise(1, 30 * 128, 21u);
        const float tolerance = mode == 0 ? 2e-4f : 2e-5f;
        for (const std::vector<int>& blocks : {std::vector<int>{128}, std::vector<int>{100, 3}})
        {
            processor.reset();
            const int latency = processor.getLatency(blocks[0]);
            expectDelayedCopy(input, runAsHost(processor, input, blocks, latency), latency, 1.0f, tolerance);
        }
        EXPECT_LE(processor.getNumOfWaitingFrames(), 2u);
    }
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
        SCOPED_TRACE(s);
        MurelProcessor processor;
        prepare(processor, {identityModel(2, smallBlocking, 0, 33)}, 2);
        applySettings(processor, settings[s]);
        // Magnitudes above 1 reach the periodic part of the raised-cosine map.
        const ComplexSignal32 x = randomSpectrum(2, 33, 100u + static_cast<std::uint32_t>(s), 1.6f);
        const auto expected = [&](int c, int k)
        {
            const Complex xk = x.getReadPointer(c)[k];
            return mixMasksReference({xk}, settings[s], xk);
        };
        expectBins(processFrame(processor, x), 2, 33, expected, 2e-5f);
    }
}

TEST(MurelProcessor, SpectraAreWeightedAndTheResidualIsWhatTheModelLeft)
{
    // The model gives y = 0.25 x + 0.1: output = g0 y + g1 (x - y), and sensitivities do not apply.
    MurelProcessor processor;
    prepare(processor, {scalingModel(1, smallBlocking, 1, 33, 0.25f, 0.1f)}, 1);
    applySettings(processor, {{0.8f, 90.0f}, {0.3f, -90.0f}});
    const ComplexSignal32 x = randomSpectrum(1, 33, 7u, 3.0f);
    const auto expected = [&](int c, int k)
    {
        const Complex xk = x.getReadPointer(c)[k];
        const Complex y(0.25f * xk.real() + 0.1f, 0.25f * xk.imag() + 0.1f);
        return 0.8f * y + 0.3f * (xk - y);
    };
    expectBins(processFrame(processor, x), 1, 33, expected, 1e-5f);
}

TEST(MurelProcessor, SeveralModelsFillTheirBussesInModelOrder)
{
    // Model A has two buses (constant masks a0, a1), model B one (b0). Bus names: A's two, B's
    // one, then A's residual name.
    const int numOfBins = 33;
    std::vector<Complex> a0(numOfBins), a1(numOfBins), b0(numOfBins);
    for (std::size_t k = 0; k < a0.size(); ++k)
    {
        a0[k] = {0.5f, 0.1f * static_cast<float>(k % 3)};
        a1[k] = {0.25f, -0.2f};
        b0[k] = {0.05f * static_cast<float>(k % 7), 0.0f};
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
    prepare(processor, {modelA, modelB}, 1);
    ASSERT_EQ(processor.getNumOfOutputBusses(true), 4);
    EXPECT_EQ(processor.getNumOfOutputBusses(false), 3);
    const std::string names[] = {"Voice", "Drums", "Bass", "Rest of A", "", ""};
    for (int b = -1; b < 5; ++b)
        EXPECT_EQ(processor.getOutputBusName(b), names[b < 0 ? 5 : b]) << b;
    EXPECT_EQ(processor.getNumOfThreads(), 2);

    // Each bus alone, then all of them shaped and weighted.
    std::vector<std::vector<BusSetting>> settings(4, std::vector<BusSetting>(4, {0.0f, 0.0f}));
    for (std::size_t b = 0; b < 4; ++b)
        settings[b][b].gain = 1.0f;
    settings.push_back({{0.5f, 20}, {1.5f, -30}, {0.7f, 60}, {0.9f, 10}});
    std::uint32_t seed = 300;
    for (const auto& setting : settings)
    {
        applySettings(processor, setting);
        const ComplexSignal32 x = randomSpectrum(1, numOfBins, ++seed, 2.0f);
        const auto expected = [&](int c, int k)
        {
            const std::size_t i = static_cast<std::size_t>(k);
            return mixMasksReference({a0[i], a1[i], b0[i]}, setting, x.getReadPointer(c)[k]);
        };
        expectBins(processFrame(processor, x), 1, numOfBins, expected, 2e-5f);
    }
}

TEST(MurelProcessor, MissingMaskChannelsCountAsSilentBusses)
{
    // Two buses declared, but the graph delivers one mask channel: the second bus is zero.
    mw::ModelDescription model = identityModel(1, smallBlocking, 0, 33);
    model.header.numOutputs = 2;
    model.header.outputNames = {"A", "B", "Rest"};
    MurelProcessor processor;
    prepare(processor, {model}, 1);
    const ComplexSignal32 x = randomSpectrum(1, 33, 77u, 1.0f);
    for (const std::vector<BusSetting>& setting :
         {std::vector<BusSetting>{{0, 0}, {1, 0}, {0, 0}}, std::vector<BusSetting>{{1, 0}, {1, 0}, {1, 0}}})
    {
        applySettings(processor, setting);
        const auto expected = [&](int c, int k)
        {
            const Complex xk = x.getReadPointer(c)[k];
            return mixMasksReference({xk, {0.0f, 0.0f}}, setting, xk);
        };
        expectBins(processFrame(processor, x), 1, 33, expected, 2e-5f);
    }
}

// ---- Mask shaping and channel matching ----

TEST(MurelProcessor, SensitivityShapesTheOneSidedBinsOfTheModelsChannelsAndKeepsPhases)
{
    // fftSize 64: bins above 32, and channels the model does not output, only pass the polar
    // conversion.
    for (const int numOfModelChannels : {1, 2})
    {
        SCOPED_TRACE(numOfModelChannels);
        MurelProcessor processor;
        prepare(processor, {identityModel(numOfModelChannels, smallBlocking, 0, 33)}, numOfModelChannels);
        ComplexSignal32 mask = randomSpectrum(2, 40, 5u, 2.5f);
        mask.getWritePointer(0)[0] = {0.5f, 0.0f};
        mask.getWritePointer(0)[1] = {-2.0f, 0.0f};
        mask.getWritePointer(0)[2] = {0.0f, 0.0f};

        // Hand-worked anchors of the reference: e = exp(+-0.75), and the raised-cosine map has period 2.
        EXPECT_NEAR(processor.processSensitivity(100.0f, mask).getReadPointer(0)[0].real(),
                    0.5f * std::pow(0.5f, 1.117f), 2e-3f);
        EXPECT_NEAR(processor.processSensitivity(-100.0f, mask).getReadPointer(0)[0].real(), std::pow(0.5f, 0.472f),
                    2e-3f);
        EXPECT_NEAR(std::abs(processor.processSensitivity(100.0f, mask).getReadPointer(0)[1]), 0.0f, 1e-3f);
        for (const float s : {-100.0f, -37.5f, -0.5f, 0.0f, 0.5f, 12.0f, 80.0f, 100.0f})
        {
            SCOPED_TRACE(s);
            const auto expected = [&](int c, int k)
            { return shapeReference(s, mask.getReadPointer(c)[k], c < numOfModelChannels && k <= 32); };
            expectBins(processor.processSensitivity(s, mask), 2, 40, expected, 2e-6f);
        }
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
    prepare(processor, {identityModel(1, smallBlocking, 0, 33)}, 1);
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

TEST(MurelProcessor, ChannelCountsChangeThroughTheChannelAverage)
{
    MurelProcessor processor;
    const ComplexSignal32 stereo = randomSpectrum(2, 21, 3u, 1.0f);
    EXPECT_EQ(processor.ensureChannelFormat(stereo, 2).getData(), stereo.getData());
    for (const std::pair<int, int>& counts : std::vector<std::pair<int, int>>{{2, 1}, {2, 3}, {1, 2}, {6, 2}})
    {
        const int from = counts.first;
        const int to = counts.second;
        SCOPED_TRACE(std::to_string(from) + " to " + std::to_string(to));
        const ComplexSignal32 x = randomSpectrum(from, 21, 3u + static_cast<std::uint32_t>(from), 1.0f);
        const auto average = [&](int, int k)
        {
            Complex sum = x.getReadPointer(0)[k];
            for (int c = 1; c < from; ++c)
                sum += x.getReadPointer(c)[k];
            return sum * (1.0f / static_cast<float>(from));
        };
        expectBins(processor.ensureChannelFormat(x, to), to, 21, average, 0.0f);
    }
    // A spectrum without channels gives silence instead of reading rows it does not have.
    EXPECT_EQ(processor.ensureChannelFormat(ComplexSignal32(), 2).getNumOfChannels(), 2);
}

TEST(MurelProcessor, MaskExtrapolationSwitchReachesEveryModel)
{
    // 9 bins of mask 1: with extrapolation the bins above continue at 1 - 0.98^9; without, 0.
    MurelProcessor processor;
    prepare(processor, {constantMaskModel(1, smallBlocking, std::vector<Complex>(9, Complex(1.0f, 0.0f)))}, 1);
    processor.setGain(1, 0.0f);
    ComplexSignal32 x(1, 33);
    for (int k = 0; k < 33; ++k)
        x.getWritePointer(0)[k] = {1.0f, 0.0f};
    EXPECT_NEAR(processFrame(processor, x).getReadPointer(0)[20].real(), 1.0f - std::pow(0.98f, 9.0f), 1e-4f);
    processor.setMaskExtrapolationEnabled(false);
    EXPECT_NEAR(processFrame(processor, x).getReadPointer(0)[20].real(), 0.0f, 1e-6f);
    EXPECT_NEAR(processFrame(processor, x).getReadPointer(0)[3].real(), 1.0f, 1e-6f);
}

// ---- Model sets that cannot run ----

namespace
{

mw::ModelDescription withBusses(mw::ModelDescription model, int numOfBusses)
{
    model.header.numOutputs = numOfBusses;
    model.header.outputNames.assign(static_cast<std::size_t>(numOfBusses + 1), "bus");
    return model;
}

template <typename Change>
mw::ModelDescription changed(mw::ModelDescription model, Change change)
{
    change(model.header);
    return model;
}

} // namespace

TEST(MurelProcessor, RejectsModelSetsThatCannotRun)
{
    const mw::ModelDescription good = identityModel(1, smallBlocking, 0, 33);
    EXPECT_TRUE(loads({good}));
    EXPECT_TRUE(loads({good, good}));
    EXPECT_FALSE(loads({withBusses(good, 0)}));
    EXPECT_FALSE(loads({withBusses(good, 0), withBusses(good, 0)}));
    EXPECT_TRUE(loads({withBusses(good, 0), good}));
    // Sixteen parameter slots hold the model-produced buses and the residual.
    EXPECT_TRUE(loads({withBusses(good, 15)}));
    EXPECT_FALSE(loads({withBusses(good, 16)}));
    EXPECT_TRUE(loads({withBusses(good, 8), withBusses(good, 7)}));
    EXPECT_FALSE(loads({withBusses(good, 8), withBusses(good, 8)}));

    EXPECT_FALSE(loads({good, changed(good, [](auto& h) { h.processingMode = ProcessingMode::spectra; })}));
    EXPECT_FALSE(loads({changed(good, [](auto& h) { h.inputPacking = mw::Packing::history(0, 33, 2); })}));
    EXPECT_FALSE(loads({changed(good, [](auto& h) { h.outputPacking = mw::Packing::history(0, 33, 2); })}));
    EXPECT_FALSE(loads({good, changed(good, [](auto& h) { h.hopSize = 16; })}));
    EXPECT_FALSE(loads({good, changed(good, [](auto& h) { h.windowSize = 32; })}));
    EXPECT_TRUE(loads({good, changed(good, [](auto& h) { h.fftSize = 128; })}));
    EXPECT_FALSE(loads({good, changed(good, [](auto& h) { h.sampleRate = 44100.0; })}));
    EXPECT_FALSE(loads({good, identityModel(2, smallBlocking, 0, 33)}));
    EXPECT_FALSE(loads({changed(good, [](auto& h) { h.sampleRate = 0.0; })}));
    EXPECT_FALSE(loads({changed(good, [](auto& h) { h.sampleRate = std::nan(""); })}));

    // A strided convolution halves the frame rate; its transposed partner restores it.
    mw::ModelDescription strided = good;
    mw::LayerRecord down = scalingConv("down", "input", 1, 1.0f);
    std::get<mw::ConvLayerRecord>(down.body).timeStride = 2;
    strided.layers = {down};
    strided.outputSource = "down";
    EXPECT_FALSE(loads({strided}));
    mw::TransposedConvLayerRecord upRecord{"down", mw::TensorRecord({2, 1, 2, 2}, {1, 0, 0, 1, 1, 0, 0, 1}), {}, 2, 2};
    strided.layers.push_back(mw::LayerRecord{"up", upRecord});
    strided.outputSource = "up";
    EXPECT_TRUE(loads({strided}));
    mw::ModelDescription upOnly = good;
    upRecord.source = "input";
    upOnly.layers = {mw::LayerRecord{"up", upRecord}};
    upOnly.outputSource = "up";
    EXPECT_FALSE(loads({upOnly}));

    MurelProcessor processor;
    EXPECT_FALSE(processor.loadModels({}));
    EXPECT_FALSE(processor.loadModels({nullptr}));
    EXPECT_FALSE(processor.loadModels({std::make_shared<MemoryInputStream>(std::vector<std::uint8_t>{1, 2, 3})}));
    EXPECT_FALSE(processor.loadModelFiles({File("/nonexistent/folder/model.model")}));
}

TEST(MurelProcessor, FailedLoadLeavesTheLoadedModelsInPlace)
{
    MurelProcessor processor;
    prepare(processor, {identityModel(1, smallBlocking, 1, 33)}, 1);
    EXPECT_FALSE(processor.loadModels({toStream(withBusses(identityModel(1, smallBlocking, 1, 33), 0))}));
    EXPECT_EQ(processor.getNeuralModels().size(), 1u);
    EXPECT_EQ(processor.getNumOfOutputBusses(true), 2);
    const Channels input = noise(1, 2016, 3u);
    const int latency = processor.getLatency(32);
    expectDelayedCopy(input, runAsHost(processor, input, {32}, latency), latency);
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

/** Energy of output minus the reference delayed by latency, from sample `from` on, relative to the
    reference's energy there. */
double relativeError(const std::vector<float>& output, const std::vector<float>& reference, int latency,
                     std::size_t from)
{
    double error = 0.0;
    double energy = 0.0;
    for (std::size_t n = from; n < output.size(); ++n)
    {
        const double expected = static_cast<double>(reference[n - static_cast<std::size_t>(latency)]);
        error += (static_cast<double>(output[n]) - expected) * (static_cast<double>(output[n]) - expected);
        energy += expected * expected;
    }
    return error / energy;
}

} // namespace

TEST(MurelProcessor, WorkerThreadsGiveTheSameOutputAsOneModelDoingBothJobs)
{
    // Models A and B on two threads against one model whose graph holds both: the same bus
    // frames in the same order, so the same output bit for bit.
    const ModelBlocking blocking;
    const mw::ModelDescription modelA = scalingModel(2, blocking, 0, 129, 0.6f, 0.05f, 1);
    mw::ModelDescription modelB = constantMaskModel(2, blocking, bandMask(129, 10, 40));
    modelB.layers.push_back(scalingConv("delay", "mask", 2, 1.0f, 0.0f, 1));
    modelB.outputSource = "delay";
    mw::ModelDescription both = withBusses(identityModel(2, blocking, 0, 129), 2);
    both.layers = modelA.layers;
    both.layers.insert(both.layers.end(), modelB.layers.begin(), modelB.layers.end());
    both.layers.push_back(mw::LayerRecord{"both", mw::ConcatLayerRecord{{"scale", "delay"}}});
    both.outputSource = "both";

    MurelProcessor separator;
    prepare(separator, {modelA, modelB}, 2);
    MurelProcessor single;
    prepare(single, {both}, 2);
    ASSERT_EQ(separator.getNumOfThreads(), 2);
    ASSERT_EQ(single.getNumOfThreads(), 0);
    ASSERT_EQ(separator.getLatency(100), single.getLatency(100));
    const std::vector<BusSetting> settings = {{0.7f, 30.0f}, {0.2f, -20.0f}, {0.9f, 5.0f}};
    applySettings(separator, settings);
    applySettings(single, settings);
    const Channels input = noise(2, 20000, 55u);
    const int latency = separator.getLatency(100);
    EXPECT_EQ(runAsHost(separator, input, {100, 33, 512}, latency), runAsHost(single, input, {100, 33, 512}, latency));
}

TEST(MurelProcessor, EachBusIsolatesItsModelsComponent)
{
    // Model A keeps bins 0..39, model B bins 40..128. A tone in each band: bus 0 gives the low
    // tone, bus 1 the high one, the residual nothing.
    MurelProcessor processor;
    prepare(processor,
            {constantMaskModel(2, ModelBlocking{}, bandMask(129, 0, 40)),
             constantMaskModel(2, ModelBlocking{}, bandMask(129, 40, 129))},
            2);
    const double low = 12.0 / 256.0;
    const double high = 90.0 / 256.0;
    const int length = 40 * 256;
    const Channels input = sines(2, length, {low, high});
    const int latency = processor.getLatency(256);
    const std::size_t settle = static_cast<std::size_t>(latency + 512);

    const struct
    {
        std::vector<BusSetting> busses;
        std::vector<double> expected;
    } cases[] = {
        {{{1, 0}, {0, 0}, {0, 0}}, {low}}, {{{0, 0}, {1, 0}, {0, 0}}, {high}}, {{{1, 0}, {1, 0}, {0, 0}}, {low, high}}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.expected.size());
        applySettings(processor, c.busses);
        processor.reset();
        const Channels output = runAsHost(processor, input, {256}, latency);
        const Channels expected = sines(2, length, c.expected);
        for (std::size_t ch = 0; ch < 2; ++ch)
            EXPECT_LT(relativeError(output[ch], expected[ch], latency, settle), 1e-4);
    }
    // The masks sum to one everywhere: the residual alone is silent.
    applySettings(processor, {{0, 0}, {0, 0}, {1, 0}});
    processor.reset();
    for (const auto& channel : runAsHost(processor, input, {256}, latency))
        for (const float sample : channel)
            ASSERT_LT(std::abs(sample), 1e-5f);
}

TEST(MurelProcessor, ParametersChangeFromAnotherThreadWhileAudioRuns)
{
    // Run under ThreadSanitizer: the gains, sensitivities and the extrapolation switch are
    // written on one thread while two models run on the workers of the audio thread.
    const ModelBlocking blocking;
    MurelProcessor processor;
    prepare(processor, {identityModel(2, blocking, 0, 129), constantMaskModel(2, blocking, bandMask(129, 0, 50))}, 2);
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
    const Channels output = runAsHost(processor, noise(2, 30000, 99u), {100, 31}, processor.getLatency(31));
    running.store(false);
    controller.join();
    for (const auto& channel : output)
        for (const float sample : channel)
            ASSERT_TRUE(std::isfinite(sample));
}
