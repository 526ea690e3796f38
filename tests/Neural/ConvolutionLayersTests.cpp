#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "LayerTestSupport.h"
#include "Neural/ConvolutionLayers.h"

using namespace murel;
using namespace murel::test;

namespace
{

struct ConvSetup
{
    int kernelTime = 1;
    int kernelFrequency = 1;
    int weightInputChannels = 1;
    int outputChannels = 1;
    int timeStride = 1;
    int frequencyStride = 1;
    int timeDilation = 1;
    int timeOffset = 0;
    bool hasBias = true;
    int rows = 1;
    int channels = 1;

    std::string describe() const
    {
        std::ostringstream text;
        text << "kernel " << kernelTime << "x" << kernelFrequency << ", channels " << channels << "/"
             << weightInputChannels << " -> " << outputChannels << ", strides " << timeStride << "/" << frequencyStride
             << ", dilation " << timeDilation << ", offset " << timeOffset << ", rows " << rows;
        return text.str();
    }
};

mw::ConvLayerRecord convRecord(const ConvSetup& setup, std::uint32_t seed, const std::string& source = "input")
{
    mw::ConvLayerRecord record;
    record.source = source;
    const std::vector<int> shape{setup.kernelTime, setup.kernelFrequency, setup.weightInputChannels,
                                 setup.outputChannels};
    record.weights =
        tensorRecord(shape, randomValues(static_cast<std::size_t>(setup.kernelTime * setup.kernelFrequency *
                                                                  setup.weightInputChannels * setup.outputChannels),
                                         seed, 1.0f));
    if (setup.hasBias)
        record.bias = tensorRecord({setup.outputChannels},
                                   randomValues(static_cast<std::size_t>(setup.outputChannels), seed + 1));
    record.timeStride = setup.timeStride;
    record.frequencyStride = setup.frequencyStride;
    record.timeDilation = setup.timeDilation;
    record.frequencyDilation = 3;
    record.timeOffset = setup.timeOffset;
    return record;
}

/** Direct convolution over the causal past: every output frame the layer produces for the
    frames x [numOfFrames][rows][channels], in order. */
std::vector<Reference> referenceConv(const ConvSetup& s, const mw::ConvLayerRecord& record, const std::vector<float>& x,
                                     int numOfFrames)
{
    const bool depthwise = s.weightInputChannels == 1 && s.channels != 1;
    const int repeat = depthwise ? s.outputChannels / s.channels : 1;
    const int outputRows = s.rows / s.frequencyStride;
    const int pad = (s.kernelFrequency - s.frequencyStride) / 2;
    auto input = [&](int t, int row, int channel) -> double
    {
        if (t < 0)
            return 0.0;
        return x[(static_cast<std::size_t>(t) * static_cast<std::size_t>(s.rows) + static_cast<std::size_t>(row)) *
                     static_cast<std::size_t>(s.channels) +
                 static_cast<std::size_t>(channel)];
    };
    auto weight = [&](int kt, int kf, int ci, int co) -> double
    {
        return record.weights.values[((static_cast<std::size_t>(kt) * static_cast<std::size_t>(s.kernelFrequency) +
                                       static_cast<std::size_t>(kf)) *
                                          static_cast<std::size_t>(s.weightInputChannels) +
                                      static_cast<std::size_t>(ci)) *
                                         static_cast<std::size_t>(s.outputChannels) +
                                     static_cast<std::size_t>(co)];
    };

    std::vector<Reference> out;
    for (int t = 0; t < numOfFrames; ++t)
    {
        if (t < s.timeOffset || (t - s.timeOffset) % s.timeStride != 0)
            continue;
        for (int o = 0; o < outputRows; ++o)
            for (int co = 0; co < s.outputChannels; ++co)
            {
                Reference sum;
                if (s.hasBias)
                    sum.add(record.bias.values[static_cast<std::size_t>(co)]);
                for (int kt = 0; kt < s.kernelTime; ++kt)
                {
                    const int past = t - (s.kernelTime - 1 - kt) * s.timeDilation;
                    for (int kf = 0; kf < s.kernelFrequency; ++kf)
                    {
                        const int row = o * s.frequencyStride - pad + kf;
                        if (row < 0 || row >= s.rows)
                            continue;
                        if (depthwise)
                            sum.add(input(past, row, co / repeat) * weight(kt, kf, 0, co));
                        else
                            for (int ci = 0; ci < s.channels; ++ci)
                                sum.add(input(past, row, ci) * weight(kt, kf, ci, co));
                    }
                }
                out.push_back(sum);
            }
    }
    return out;
}

struct TransposedSetup
{
    int kernelTime = 1;
    int kernelFrequency = 1;
    int inputChannels = 1;
    int weightOutputChannels = 1;
    int outputChannels = 1;
    int timeStride = 1;
    int frequencyStride = 1;
    int timeOffset = 0;
    bool hasBias = true;
    int rows = 1;
};

mw::TransposedConvLayerRecord transposedRecord(const TransposedSetup& setup, std::uint32_t seed,
                                               const std::string& source = "input")
{
    mw::TransposedConvLayerRecord record;
    record.source = source;
    record.weights =
        tensorRecord({setup.kernelTime, setup.kernelFrequency, setup.weightOutputChannels, setup.inputChannels},
                     randomValues(static_cast<std::size_t>(setup.kernelTime * setup.kernelFrequency *
                                                           setup.weightOutputChannels * setup.inputChannels),
                                  seed, 1.0f));
    if (setup.hasBias)
        record.bias = tensorRecord({setup.outputChannels},
                                   randomValues(static_cast<std::size_t>(setup.outputChannels), seed + 1));
    record.outputChannels = setup.outputChannels;
    record.timeStride = setup.timeStride;
    record.frequencyStride = setup.frequencyStride;
    record.timeDilation = 2;
    record.frequencyDilation = 2;
    record.timeOffset = setup.timeOffset;
    return record;
}

/** The transposed scatter written out: output frame n collects input frame t through time tap
    n - t x timeStride. Returns the frames timeOffset ... numOfFrames x timeStride - 1. */
std::vector<Reference> referenceTransposed(const TransposedSetup& s, const mw::TransposedConvLayerRecord& record,
                                           const std::vector<float>& x, int numOfFrames)
{
    const bool depthwise = s.weightOutputChannels == 1 && s.outputChannels != 1;
    const int outputRows = s.rows * s.frequencyStride;
    const int pad = (s.kernelFrequency - s.frequencyStride) / 2;
    const std::size_t frameSize = static_cast<std::size_t>(outputRows) * static_cast<std::size_t>(s.outputChannels);
    const int numOfOutputFrames = numOfFrames * s.timeStride;
    std::vector<Reference> all(static_cast<std::size_t>(numOfOutputFrames) * frameSize);
    auto weight = [&](int kt, int kf, int co, int ci) -> double
    {
        return record.weights.values[((static_cast<std::size_t>(kt) * static_cast<std::size_t>(s.kernelFrequency) +
                                       static_cast<std::size_t>(kf)) *
                                          static_cast<std::size_t>(s.weightOutputChannels) +
                                      static_cast<std::size_t>(co)) *
                                         static_cast<std::size_t>(s.inputChannels) +
                                     static_cast<std::size_t>(ci)];
    };
    for (int n = 0; n < numOfOutputFrames; ++n)
        for (int o = 0; o < outputRows; ++o)
            for (int co = 0; co < s.outputChannels; ++co)
                if (s.hasBias)
                    all[static_cast<std::size_t>(n) * frameSize + static_cast<std::size_t>(o * s.outputChannels + co)]
                        .add(record.bias.values[static_cast<std::size_t>(co)]);
    for (int t = 0; t < numOfFrames; ++t)
        for (int kt = 0; kt < s.kernelTime; ++kt)
        {
            const int n = t * s.timeStride + kt;
            if (n >= numOfOutputFrames)
                continue;
            for (int f = 0; f < s.rows; ++f)
                for (int kf = 0; kf < s.kernelFrequency; ++kf)
                {
                    const int o = f * s.frequencyStride - pad + kf;
                    if (o < 0 || o >= outputRows)
                        continue;
                    const float* in = x.data() + (static_cast<std::size_t>(t) * static_cast<std::size_t>(s.rows) +
                                                  static_cast<std::size_t>(f)) *
                                                     static_cast<std::size_t>(s.inputChannels);
                    Reference* target = all.data() + static_cast<std::size_t>(n) * frameSize +
                                        static_cast<std::size_t>(o) * static_cast<std::size_t>(s.outputChannels);
                    for (int co = 0; co < s.outputChannels; ++co)
                    {
                        if (depthwise)
                        {
                            target[co].add(weight(kt, kf, 0, co) * static_cast<double>(in[co]));
                            continue;
                        }
                        Reference sum;
                        for (int ci = 0; ci < s.inputChannels; ++ci)
                            sum.add(weight(kt, kf, co, ci) * static_cast<double>(in[ci]));
                        target[co].value += sum.value;
                        target[co].magnitude += sum.magnitude;
                    }
                }
        }
    return std::vector<Reference>(
        all.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(std::max(s.timeOffset, 0)) * frameSize),
        all.end());
}

/** Pushes frames one at a time and drains the layer's queue after each with triggerForward, so
    that every finished frame reaches the output. */
std::vector<float> runTransposed(NeuralModel<float>& model, TransposedConvLayer& layer, const std::vector<float>& x,
                                 int rows, int channels)
{
    const std::size_t frameSize = static_cast<std::size_t>(rows) * static_cast<std::size_t>(channels);
    std::vector<float> joined;
    for (std::size_t t = 0; t * frameSize < x.size(); ++t)
    {
        const std::vector<float> frame(x.begin() + static_cast<std::ptrdiff_t>(t * frameSize),
                                       x.begin() + static_cast<std::ptrdiff_t>((t + 1) * frameSize));
        model.inputLayer->push(makeTensor({1, rows, channels}, frame), nullptr);
        while (layer.getNumOfPendingSlices() > 0)
            layer.triggerForward();
        const std::vector<float> out = toVector(model.collectResults());
        joined.insert(joined.end(), out.begin(), out.end());
    }
    return joined;
}

const std::vector<std::vector<int>> runPatterns{{1}, {100}, {2, 3, 1}, {4, 1}};

} // namespace

// ---------------------------------------------------------------------------------------------
// ConvLayer

TEST(ConvLayer, MatchesDirectConvolutionOverTheCausalPast)
{
    std::vector<ConvSetup> setups;
    // kernelTime, kernelFrequency, weight input channels, output channels, strides, dilation,
    // offset, bias, rows, input channels.
    setups.push_back({3, 3, 5, 7, 1, 1, 1, 0, true, 11, 5});
    setups.push_back({2, 5, 3, 13, 2, 2, 2, 1, false, 17, 3});
    setups.push_back({3, 1, 2, 9, 1, 4, 1, 0, true, 13, 2});
    setups.push_back({1, 4, 16, 16, 1, 1, 1, 0, true, 10, 16});
    setups.push_back({3, 3, 8, 20, 3, 1, 3, 2, true, 9, 8});
    setups.push_back({2, 7, 3, 5, 1, 1, 1, 0, true, 3, 3});
    setups.push_back({3, 3, 1, 1, 1, 2, 1, 0, true, 8, 1});
    setups.push_back({4, 3, 12, 33, 1, 1, 2, 0, true, 9, 12});
    // Depthwise: one weight input channel, several input channels.
    setups.push_back({2, 3, 1, 6, 1, 1, 1, 0, true, 7, 3});
    setups.push_back({3, 3, 1, 5, 1, 1, 1, 0, false, 6, 5});
    setups.push_back({2, 3, 1, 24, 2, 2, 1, 1, true, 9, 4});

    std::uint32_t seed = 10;
    for (const ConvSetup& setup : setups)
    {
        seed += 10;
        const mw::ConvLayerRecord record = convRecord(setup, seed);
        NeuralModel<float> model;
        ASSERT_TRUE(loadDescription(model, frameGraph(setup.rows, setup.channels, {layer("conv", record)}, "conv")))
            << setup.describe();
        const int numOfFrames = 12;
        const std::vector<float> x =
            randomValues(static_cast<std::size_t>(numOfFrames * setup.rows * setup.channels), seed + 5);
        const std::vector<Reference> expected = referenceConv(setup, record, x, numOfFrames);
        std::vector<float> first;
        for (const std::vector<int>& runs : runPatterns)
        {
            model.reset();
            const std::vector<float> actual = pushInRuns(model, x, setup.rows, setup.channels, runs);
            expectMatches(actual, expected, setup.describe());
            if (first.empty())
                first = actual;
            else
                EXPECT_EQ(actual, first) << "runs of " << runs.front() << ": " << setup.describe();
        }
    }
}

TEST(ConvLayer, StridedLayerOutputsOnOddFramesAndTriggersOnEvenOnes)
{
    ConvSetup setup;
    setup.timeStride = 2;
    setup.timeOffset = 1;
    setup.rows = 4;
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(4, 1, {layer("conv", convRecord(setup, 1))}, "conv")));
    ProbeLayer probe(&findLayer<ConvLayer>(model, "conv"));
    for (int t = 0; t < 6; ++t)
    {
        const Tensor<float> result = model.pushTensor(makeTensor({1, 4, 1}, randomValues(4, 7)));
        EXPECT_EQ(result.isEmpty(), t % 2 == 0) << "frame " << t;
    }
    EXPECT_EQ(probe.events, "tptptp");
    EXPECT_EQ(model.latency, 1);
}

TEST(ConvLayer, DilatedTapsSeeFramesFourAndTwoBack)
{
    // Kernel of three time taps with weights 1, 10, 100 on one row and channel.
    mw::ConvLayerRecord record;
    record.source = "input";
    record.weights = tensorRecord({3, 1, 1, 1}, {1.0f, 10.0f, 100.0f});
    record.timeDilation = 2;
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(1, 1, {layer("conv", record)}, "conv")));
    EXPECT_EQ(findLayer<ConvLayer>(model, "conv").getHistoryLength(), 5);
    std::vector<float> x;
    for (int t = 0; t < 8; ++t)
        x.push_back(static_cast<float>(t + 1) / 8.0f);
    const std::vector<float> y = pushInRuns(model, x, 1, 1, {1});
    ASSERT_EQ(y.size(), x.size());
    for (std::size_t t = 0; t < x.size(); ++t)
    {
        const float back4 = t >= 4 ? x[t - 4] : 0.0f;
        const float back2 = t >= 2 ? x[t - 2] : 0.0f;
        EXPECT_FLOAT_EQ(y[t], back4 + 10.0f * back2 + 100.0f * x[t]) << t;
    }
}

TEST(ConvLayer, DepthwiseRepeatsEachInputChannel)
{
    // One input channel in the weights, a four-channel input and eight outputs: output c reads
    // input channel c / 2 with its own weight.
    mw::ConvLayerRecord record;
    record.source = "input";
    std::vector<float> w{1, 2, 3, 4, 5, 6, 7, 8};
    record.weights = tensorRecord({1, 1, 1, 8}, w);
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(2, 4, {layer("conv", record)}, "conv")));
    const std::vector<float> x{1, 10, 100, 1000, -1, -10, -100, -1000};
    const std::vector<float> y = toVector(model.pushTensor(makeTensor({1, 2, 4}, x)));
    ASSERT_EQ(y.size(), 16u);
    for (int row = 0; row < 2; ++row)
        for (int c = 0; c < 8; ++c)
            EXPECT_EQ(y[static_cast<std::size_t>(row * 8 + c)],
                      x[static_cast<std::size_t>(row * 4 + c / 2)] * w[static_cast<std::size_t>(c)]);
}

TEST(ConvLayer, FrequencyPaddingAndStride)
{
    // kernelFrequency 1 with frequencyStride 2 keeps the even rows.
    mw::ConvLayerRecord keep;
    keep.source = "input";
    keep.weights = tensorRecord({1, 1, 1, 1}, {1.0f});
    keep.frequencyStride = 2;
    // kernelFrequency 3 with stride 1 pads one row at each edge.
    mw::ConvLayerRecord sum;
    sum.source = "input";
    sum.weights = tensorRecord({1, 3, 1, 1}, {1.0f, 1.0f, 1.0f});
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(5, 1, {layer("keep", keep)}, "keep")));
    EXPECT_EQ(toVector(model.pushTensor(makeTensor({1, 5, 1}, {1, 2, 3, 4, 5}))), (std::vector<float>{1, 3}));
    NeuralModel<float> padded;
    ASSERT_TRUE(loadDescription(padded, frameGraph(5, 1, {layer("sum", sum)}, "sum")));
    EXPECT_EQ(toVector(padded.pushTensor(makeTensor({1, 5, 1}, {1, 2, 3, 4, 5}))),
              (std::vector<float>{3, 6, 9, 12, 9}));
}

TEST(ConvLayer, ResetReproducesAFreshLayer)
{
    const ConvSetup setup{3, 3, 3, 5, 2, 1, 2, 1, true, 6, 3};
    const mw::ModelDescription description = frameGraph(6, 3, {layer("conv", convRecord(setup, 4))}, "conv");
    NeuralModel<float> used;
    NeuralModel<float> fresh;
    ASSERT_TRUE(loadDescription(used, description));
    ASSERT_TRUE(loadDescription(fresh, description));
    pushInRuns(used, randomValues(7 * 18, 3), 6, 3, {2});
    used.reset();
    const std::vector<float> x = randomValues(9 * 18, 5);
    EXPECT_EQ(pushInRuns(used, x, 6, 3, {1}), pushInRuns(fresh, x, 6, 3, {1}));
}

TEST(ConvLayer, MalformedRecordsAreRejected)
{
    const ConvSetup good{3, 3, 2, 4, 1, 1, 1, 0, true, 6, 2};
    auto loads = [](const mw::ConvLayerRecord& record, int channels = 2, int rows = 6)
    {
        NeuralModel<float> model;
        return loadDescription(model, frameGraph(rows, channels, {layer("conv", record)}, "conv"));
    };
    ASSERT_TRUE(loads(convRecord(good, 1)));

    mw::ConvLayerRecord record = convRecord(good, 1);
    record.timeStride = 0;
    EXPECT_FALSE(loads(record));
    record = convRecord(good, 1);
    record.frequencyStride = -1;
    EXPECT_FALSE(loads(record));
    record = convRecord(good, 1);
    record.timeDilation = 0;
    EXPECT_FALSE(loads(record));
    record = convRecord(good, 1);
    record.timeOffset = -1;
    EXPECT_FALSE(loads(record));
    record = convRecord(good, 1);
    record.frequencyStride = 7;
    EXPECT_FALSE(loads(record)) << "no output row";
    record = convRecord(good, 1);
    record.bias = tensorRecord({3}, {1, 2, 3});
    EXPECT_FALSE(loads(record)) << "bias of another length";
    record = convRecord(good, 1);
    record.weights = tensorRecord({3, 3, 8}, std::vector<float>(72, 1.0f));
    EXPECT_FALSE(loads(record)) << "weights of three axes";
    record = convRecord(good, 1);
    record.weights = tensorRecord({0, 3, 2, 4}, {});
    EXPECT_FALSE(loads(record)) << "no time taps";
    EXPECT_FALSE(loads(convRecord(good, 1), 3)) << "input channels do not match the weights";
    // Depthwise needs the output channels to be a multiple of the input channels.
    const ConvSetup depthwise{1, 3, 1, 6, 1, 1, 1, 0, true, 6, 4};
    EXPECT_FALSE(loads(convRecord(depthwise, 1), 4));
    EXPECT_TRUE(loads(convRecord(depthwise, 1), 3));
}

TEST(ConvLayer, StridedLayerHalvesTheFrameRate)
{
    ConvSetup setup;
    setup.timeStride = 2;
    setup.rows = 4;
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(4, 1, {layer("conv", convRecord(setup, 1))}, "conv")));
    const FrameShape& shape = findLayer<ConvLayer>(model, "conv").getFrameShape();
    EXPECT_EQ(shape.rateNumerator, 1);
    EXPECT_EQ(shape.rateDenominator, 2);
}

// ---------------------------------------------------------------------------------------------
// TransposedConvLayer

TEST(TransposedConvLayer, MatchesTheTransposedScatter)
{
    std::vector<TransposedSetup> setups;
    // kernelTime, kernelFrequency, input channels, weight output channels, output channels,
    // strides, offset, bias, rows.
    setups.push_back({3, 3, 5, 7, 7, 1, 1, 0, true, 6});
    setups.push_back({3, 4, 3, 9, 9, 2, 2, 1, false, 5});
    setups.push_back({1, 2, 8, 16, 16, 3, 2, 2, true, 4});
    setups.push_back({4, 3, 6, 5, 5, 2, 1, 0, true, 7});
    setups.push_back({2, 1, 12, 21, 21, 1, 4, 3, true, 3});
    // Depthwise: one weight output channel, as many output channels as input channels.
    setups.push_back({3, 3, 6, 1, 6, 2, 2, 1, true, 5});
    setups.push_back({2, 3, 5, 1, 5, 1, 1, 0, false, 4});

    std::uint32_t seed = 100;
    for (const TransposedSetup& setup : setups)
    {
        seed += 10;
        const mw::TransposedConvLayerRecord record = transposedRecord(setup, seed);
        NeuralModel<float> model;
        ASSERT_TRUE(loadDescription(model, frameGraph(setup.rows, setup.inputChannels, {layer("up", record)}, "up")))
            << "setup " << seed;
        TransposedConvLayer* up = &findLayer<TransposedConvLayer>(model, "up");
        const int numOfFrames = 7;
        const std::vector<float> x =
            randomValues(static_cast<std::size_t>(numOfFrames * setup.rows * setup.inputChannels), seed + 3);
        const std::vector<float> actual = runTransposed(model, *up, x, setup.rows, setup.inputChannels);
        expectMatches(actual, referenceTransposed(setup, record, x, numOfFrames), "setup " + std::to_string(seed));

        model.reset();
        EXPECT_EQ(up->getNumOfPendingSlices(), 0u);
        EXPECT_EQ(runTransposed(model, *up, x, setup.rows, setup.inputChannels), actual) << "after reset";
    }
}

TEST(TransposedConvLayer, VersionsBefore4104TakeTheOutputChannelsFromTheWeights)
{
    TransposedSetup setup{2, 3, 3, 4, 4, 1, 1, 0, true, 5};
    mw::TransposedConvLayerRecord record = transposedRecord(setup, 9);
    record.outputChannels = 99; // not written before 4104
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(5, 3, {layer("up", record)}, "up", 4103)));
    EXPECT_EQ(findLayer<TransposedConvLayer>(model, "up").getOutputChannels(), 4);
    const std::vector<float> x = randomValues(4 * 15, 2);
    expectMatches(runTransposed(model, findLayer<TransposedConvLayer>(model, "up"), x, 5, 3),
                  referenceTransposed(setup, record, x, 4));
}

TEST(TransposedConvLayer, QueuedFramesLeaveOnePerPushOrTrigger)
{
    TransposedSetup setup;
    setup.timeStride = 2;
    setup.rows = 2;
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(2, 1, {layer("up", transposedRecord(setup, 3))}, "up")));
    TransposedConvLayer* up = &findLayer<TransposedConvLayer>(model, "up");
    // Stride 2, offset 0: two frames per input; the push stops after the first that reached
    // the output, the next trigger delivers the second.
    EXPECT_EQ(model.pushTensor(makeTensor({1, 2, 1}, {1, 2})).shape, (std::vector<int>{1, 2, 1}));
    EXPECT_EQ(up->getNumOfPendingSlices(), 1u);
    up->triggerForward();
    EXPECT_EQ(up->getNumOfPendingSlices(), 0u);
    EXPECT_EQ(model.collectResults().shape, (std::vector<int>{1, 2, 1}));

    // With a receiver that never reaches the output, everything is delivered at once.
    NeuralModel<float> side;
    ASSERT_TRUE(loadDescription(side, frameGraph(2, 1, {layer("up", transposedRecord(setup, 3))}, "input")));
    TransposedConvLayer* sideUp = &findLayer<TransposedConvLayer>(side, "up");
    ProbeLayer probe(sideUp, false);
    side.inputLayer->push(makeTensor({1, 2, 1}, {1, 2}), nullptr);
    EXPECT_EQ(probe.events, "pp");
    EXPECT_EQ(sideUp->getNumOfPendingSlices(), 0u);
}

TEST(TransposedConvLayer, OffsetDropsTheLeadingOutputFrames)
{
    TransposedSetup setup;
    setup.timeStride = 2;
    setup.timeOffset = 1;
    setup.rows = 1;
    mw::TransposedConvLayerRecord record = transposedRecord(setup, 3);
    record.weights = tensorRecord({1, 1, 1, 1}, {1.0f});
    record.bias = tensorRecord({1}, {0.5f});
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(1, 1, {layer("up", record)}, "up")));
    TransposedConvLayer* up = &findLayer<TransposedConvLayer>(model, "up");
    ProbeLayer probe(up);
    model.inputLayer->push(makeTensor({1, 1, 1}, {3.0f}), nullptr);
    EXPECT_EQ(probe.events, "p") << "only the second frame of the first input";
    EXPECT_EQ(up->getNumOfPendingSlices(), 0u);
    ASSERT_EQ(probe.frames.size(), 1u);
    EXPECT_EQ(toVector(probe.frames[0]), std::vector<float>{0.5f}) << "frame 1 holds only the bias";
    model.inputLayer->push(makeTensor({1, 1, 1}, {4.0f}), nullptr);
    EXPECT_EQ(up->getNumOfPendingSlices(), 1u);
    up->triggerForward();
    EXPECT_EQ(probe.events, "pppt");
    EXPECT_EQ(toVector(probe.frames[1]), std::vector<float>{4.5f});
    EXPECT_EQ(toVector(probe.frames[2]), std::vector<float>{0.5f});
}

TEST(TransposedConvLayer, TriggerIsPassedOnAfterDelivering)
{
    TransposedSetup setup;
    setup.timeStride = 3;
    setup.rows = 2;
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(2, 1, {layer("up", transposedRecord(setup, 3))}, "up")));
    TransposedConvLayer* up = &findLayer<TransposedConvLayer>(model, "up");
    ProbeLayer probe(up);
    model.inputLayer->push(makeTensor({1, 2, 1}, {1, 2}), nullptr);
    // The output layer comes first and reports true: one frame per call, then the trigger is
    // passed on.
    EXPECT_EQ(probe.events, "p");
    up->triggerForward();
    up->triggerForward();
    up->triggerForward();
    EXPECT_EQ(probe.events, "pptptt");
}

TEST(TransposedConvLayer, StridedConvThenTransposedConvKeepsTheFrameRate)
{
    // Latency: 1 (the strided layer's offset) + 2 x 1 (the transposed layer sees k = 2).
    ConvSetup down;
    down.timeStride = 2;
    down.timeOffset = 1;
    down.rows = 4;
    down.kernelTime = 2;
    TransposedSetup up;
    up.timeStride = 2;
    up.timeOffset = 1;
    up.rows = 4;
    up.kernelTime = 2;
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(
        model,
        frameGraph(4, 1, {layer("down", convRecord(down, 1)), layer("up", transposedRecord(up, 2, "down"))}, "up")));
    EXPECT_EQ(model.latency, 3);
    const FrameShape& shape = findLayer<TransposedConvLayer>(model, "up").getFrameShape();
    EXPECT_EQ(shape.rateNumerator, 1);
    EXPECT_EQ(shape.rateDenominator, 1);

    // After the start-up, every input frame yields exactly one output frame.
    int produced = 0;
    for (int t = 0; t < 20; ++t)
    {
        const Tensor<float> result =
            model.pushTensor(makeTensor({1, 4, 1}, randomValues(4, static_cast<std::uint32_t>(t))));
        const int frames = result.shape.empty() ? 0 : result.shape[0];
        if (t >= 3)
        {
            EXPECT_EQ(frames, 1) << "frame " << t;
        }
        produced += frames;
    }
    // The queue never holds more than the second frame of the last input.
    EXPECT_EQ(findLayer<TransposedConvLayer>(model, "up").getNumOfPendingSlices(), 1u);
    EXPECT_EQ(produced, 18);
}

TEST(TransposedConvLayer, MalformedRecordsAreRejected)
{
    const TransposedSetup good{2, 3, 3, 4, 4, 2, 1, 0, true, 5};
    auto loads = [](const mw::TransposedConvLayerRecord& record, int channels = 3)
    {
        NeuralModel<float> model;
        return loadDescription(model, frameGraph(5, channels, {layer("up", record)}, "up"));
    };
    ASSERT_TRUE(loads(transposedRecord(good, 1)));
    mw::TransposedConvLayerRecord record = transposedRecord(good, 1);
    record.timeStride = 0;
    EXPECT_FALSE(loads(record));
    record = transposedRecord(good, 1);
    record.frequencyStride = 0;
    EXPECT_FALSE(loads(record));
    record = transposedRecord(good, 1);
    record.timeOffset = -2;
    EXPECT_FALSE(loads(record));
    record = transposedRecord(good, 1);
    record.outputChannels = 5;
    EXPECT_FALSE(loads(record)) << "output channels disagree with the weights";
    record = transposedRecord(good, 1);
    record.bias = tensorRecord({2}, {1, 2});
    EXPECT_FALSE(loads(record));
    EXPECT_FALSE(loads(transposedRecord(good, 1), 2)) << "input channels do not match";
    record = transposedRecord(good, 1);
    record.weights = tensorRecord({2, 3, 4}, std::vector<float>(24, 1.0f));
    EXPECT_FALSE(loads(record));
    // Depthwise needs as many output channels as input channels.
    TransposedSetup depthwise{2, 3, 3, 1, 4, 1, 1, 0, false, 5};
    EXPECT_FALSE(loads(transposedRecord(depthwise, 1)));
    depthwise.outputChannels = 3;
    EXPECT_TRUE(loads(transposedRecord(depthwise, 1)));
}

// ---------------------------------------------------------------------------------------------
// SeparableChannelConvLayer

namespace
{

mw::SeparableChannelConvLayerRecord separableRecord(std::vector<float> timeTaps, std::vector<float> frequencyTaps,
                                                    const std::string& source = "input")
{
    mw::SeparableChannelConvLayerRecord record;
    record.source = source;
    const int k = static_cast<int>(timeTaps.size());
    const int l = static_cast<int>(frequencyTaps.size());
    record.timeKernel = tensorRecord({k}, std::move(timeTaps));
    record.frequencyKernel = tensorRecord({l}, std::move(frequencyTaps));
    return record;
}

/** Every frame the layer pushes for x [numOfFrames][rows][channels]. */
std::vector<Reference> referenceSeparable(const std::vector<float>& timeTaps, const std::vector<float>& frequencyTaps,
                                          const std::vector<float>& x, int numOfFrames, int rows, int channels)
{
    const int k = static_cast<int>(timeTaps.size());
    const int l = static_cast<int>(frequencyTaps.size());
    const int centre = (l - 1) / 2;
    const int delay = (k + 1) / 2 - 1;
    auto input = [&](int t, int f, int c) -> double
    {
        if (t < 0)
            return 0.0;
        return x[(static_cast<std::size_t>(t) * static_cast<std::size_t>(rows) + static_cast<std::size_t>(f)) *
                     static_cast<std::size_t>(channels) +
                 static_cast<std::size_t>(c)];
    };
    std::vector<Reference> out;
    for (int t = delay; t < numOfFrames; ++t)
        for (int f = 0; f < rows; ++f)
            for (int c = 0; c < channels; ++c)
            {
                Reference sum;
                for (int j = 0; j < l; ++j)
                {
                    const int row = f - (j - centre);
                    if (row < 0 || row >= rows)
                        continue;
                    // Tap K-1 sees the current frame, tap k < K-1 the frame k + 1 back.
                    for (int tap = 0; tap < k; ++tap)
                    {
                        const int past = tap == k - 1 ? t : t - (tap + 1);
                        sum.add(static_cast<double>(frequencyTaps[static_cast<std::size_t>(j)]) *
                                static_cast<double>(timeTaps[static_cast<std::size_t>(tap)]) * input(past, row, c));
                    }
                }
                out.push_back(sum);
            }
    return out;
}

} // namespace

TEST(SeparableChannelConvLayer, MatchesTheSeparableFilter)
{
    struct Case
    {
        std::vector<float> timeTaps;
        std::vector<float> frequencyTaps;
        int rows;
        int channels;
    };
    const std::vector<Case> cases{{{0.5f, -0.25f, 1.0f}, {0.2f, 0.6f, 0.2f}, 9, 5},
                                  {{1.0f, 2.0f, 3.0f, 4.0f}, {1.0f, -1.0f}, 6, 3},
                                  {{0.75f}, {0.1f, 0.2f, 0.3f, 0.4f, 0.5f}, 4, 8},
                                  {{0.3f, 0.3f, 0.3f, 0.3f, 0.3f}, {1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 2.0f}, 3, 2}};
    for (const Case& test : cases)
    {
        NeuralModel<float> model;
        ASSERT_TRUE(loadDescription(
            model, frameGraph(test.rows, test.channels,
                              {layer("sep", separableRecord(test.timeTaps, test.frequencyTaps))}, "sep")));
        const int numOfFrames = 9;
        const std::vector<float> x = randomValues(static_cast<std::size_t>(numOfFrames * test.rows * test.channels), 6);
        const std::vector<Reference> expected =
            referenceSeparable(test.timeTaps, test.frequencyTaps, x, numOfFrames, test.rows, test.channels);
        for (const std::vector<int>& runs : runPatterns)
        {
            model.reset();
            expectMatches(pushInRuns(model, x, test.rows, test.channels, runs), expected,
                          "taps " + std::to_string(test.timeTaps.size()) + " runs " + std::to_string(runs.front()));
        }
    }
}

TEST(SeparableChannelConvLayer, StartUpDelayAndTapOrder)
{
    // K = 3: nothing for the first frame, then one per frame; taps 0, 1, 2 weight t-1, t-2, t.
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(1, 1, {layer("sep", separableRecord({1, 10, 100}, {1}))}, "sep")));
    EXPECT_EQ(findLayer<SeparableChannelConvLayer>(model, "sep").getType(), LayerType::dense);
    EXPECT_TRUE(model.pushTensor(makeTensor({1, 1, 1}, {1})).isEmpty());
    EXPECT_EQ(toVector(model.pushTensor(makeTensor({1, 1, 1}, {2}))), std::vector<float>{201});
    EXPECT_EQ(toVector(model.pushTensor(makeTensor({1, 1, 1}, {3}))), std::vector<float>{300 + 2 + 10});
    EXPECT_EQ(toVector(model.pushTensor(makeTensor({1, 1, 1}, {4}))), std::vector<float>{400 + 3 + 20});
    EXPECT_EQ(model.latency, 0) << "the start-up delay is not reported";
}

TEST(SeparableChannelConvLayer, FramesOfOnePushKeepTheirOwnValues)
{
    // Four frames in one push reach the output layer, which keeps each of them.
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(2, 1, {layer("sep", separableRecord({2}, {1}))}, "sep")));
    ProbeLayer probe(&findLayer<SeparableChannelConvLayer>(model, "sep"));
    const std::vector<float> x{1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(toVector(model.pushTensor(makeTensor({4, 2, 1}, x))), (std::vector<float>{2, 4, 6, 8, 10, 12, 14, 16}));
    ASSERT_EQ(probe.frames.size(), 4u);
    EXPECT_EQ(toVector(probe.frames[0]), (std::vector<float>{2, 4}));
    EXPECT_EQ(toVector(probe.frames[3]), (std::vector<float>{14, 16}));
}

TEST(SeparableChannelConvLayer, ResetReproducesAFreshLayer)
{
    const mw::ModelDescription description =
        frameGraph(5, 3, {layer("sep", separableRecord({0.5f, 0.25f, 1.0f, -1.0f}, {0.3f, 0.4f, 0.3f}))}, "sep");
    NeuralModel<float> used;
    NeuralModel<float> fresh;
    ASSERT_TRUE(loadDescription(used, description));
    ASSERT_TRUE(loadDescription(fresh, description));
    pushInRuns(used, randomValues(5 * 15, 1), 5, 3, {2});
    used.reset();
    const std::vector<float> x = randomValues(7 * 15, 2);
    EXPECT_EQ(pushInRuns(used, x, 5, 3, {1}), pushInRuns(fresh, x, 5, 3, {1}));
}

TEST(SeparableChannelConvLayer, KernelsWithoutTapsAreRejected)
{
    auto loads = [](const mw::SeparableChannelConvLayerRecord& record)
    {
        NeuralModel<float> model;
        return loadDescription(model, frameGraph(4, 2, {layer("sep", record)}, "sep"));
    };
    EXPECT_TRUE(loads(separableRecord({1}, {1})));
    mw::SeparableChannelConvLayerRecord record = separableRecord({1}, {1});
    record.timeKernel = tensorRecord({}, {});
    EXPECT_FALSE(loads(record));
    record = separableRecord({1}, {1});
    record.frequencyKernel = tensorRecord({0}, {});
    EXPECT_FALSE(loads(record));
}
