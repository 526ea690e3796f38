#include <gtest/gtest.h>

#include "LayerTestSupport.h"
#include "Neural/ConvolutionLayers.h"

using namespace murel;
using namespace murel::test;

namespace
{

struct ConvSetup
{
    int kernelTime = 1, kernelFrequency = 1, weightInputChannels = 1, outputChannels = 1;
    int timeStride = 1, frequencyStride = 1, timeDilation = 1, timeOffset = 0;
    bool hasBias = true;
    int rows = 1, channels = 1;
};

mw::ConvLayerRecord convRecord(const ConvSetup& s, std::uint32_t seed, const std::string& source = "input")
{
    // Frequency dilation 3: read and ignored.
    return {source,
            randomRecord({s.kernelTime, s.kernelFrequency, s.weightInputChannels, s.outputChannels}, seed),
            s.hasBias ? randomRecord({s.outputChannels}, seed + 1, 4.0f) : mw::TensorRecord(),
            s.timeStride,
            s.frequencyStride,
            s.timeDilation,
            3,
            s.timeOffset};
}

struct TransposedSetup
{
    int kernelTime = 1, kernelFrequency = 1, inputChannels = 1, weightOutputChannels = 1, outputChannels = 1;
    int timeStride = 1, frequencyStride = 1, timeOffset = 0;
    bool hasBias = true;
    int rows = 1;
};

mw::TransposedConvLayerRecord transposedRecord(const TransposedSetup& s, std::uint32_t seed,
                                               const std::string& source = "input")
{
    // Dilations of 2: read and ignored.
    return {source,
            randomRecord({s.kernelTime, s.kernelFrequency, s.weightOutputChannels, s.inputChannels}, seed),
            s.hasBias ? randomRecord({s.outputChannels}, seed + 1, 4.0f) : mw::TensorRecord(),
            s.outputChannels,
            s.timeStride,
            s.frequencyStride,
            2,
            2,
            s.timeOffset};
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

} // namespace

// ---------------------------------------------------------------------------------------------
// ConvLayer

TEST(ConvLayer, MatchesDirectConvolutionOverTheCausalPast)
{
    // kernelTime, kernelFrequency, weight input channels, output channels, time and frequency
    // stride, dilation, offset, bias, rows, input channels. The last three are depthwise: one
    // weight input channel, several input channels.
    const std::vector<ConvSetup> setups{{3, 3, 5, 7, 1, 1, 1, 0, true, 11, 5}, {2, 5, 3, 13, 2, 2, 2, 1, false, 17, 3},
                                        {3, 1, 2, 9, 1, 4, 1, 0, true, 13, 2}, {1, 4, 16, 16, 1, 1, 1, 0, true, 10, 16},
                                        {3, 3, 8, 20, 3, 1, 3, 2, true, 9, 8}, {2, 7, 3, 5, 1, 1, 1, 0, true, 3, 3},
                                        {3, 3, 1, 1, 1, 2, 1, 0, true, 8, 1},  {4, 3, 12, 33, 1, 1, 2, 0, true, 9, 12},
                                        {2, 3, 1, 6, 1, 1, 1, 0, true, 7, 3},  {3, 3, 1, 5, 1, 1, 1, 0, false, 6, 5},
                                        {2, 3, 1, 24, 2, 2, 1, 1, true, 9, 4}};
    std::uint32_t seed = 10;
    for (const ConvSetup& setup : setups)
    {
        seed += 10;
        SCOPED_TRACE("setup with seed " + std::to_string(seed));
        const mw::ConvLayerRecord record = convRecord(setup, seed);
        // 11 frames leave the history rings and the stride phase mid-cycle.
        const std::vector<float> x = randomValues(static_cast<std::size_t>(11 * setup.rows * setup.channels), seed + 5);
        expectStreamMatches(record, setup.rows, setup.channels, x,
                            referenceConv(record, Frames(setup.rows, setup.channels, x)));
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
    ConvLayer& conv = findLayer<ConvLayer>(model, "conv");
    ProbeLayer probe(&conv);
    for (int t = 0; t < 6; ++t)
        EXPECT_EQ(model.pushTensor(makeTensor({1, 4, 1}, randomValues(4, 7))).isEmpty(), t % 2 == 0) << "frame " << t;
    EXPECT_EQ(probe.events, "tptptp");
    EXPECT_EQ(model.latency, 1);
    EXPECT_EQ(conv.getFrameShape().rateNumerator, 1);
    EXPECT_EQ(conv.getFrameShape().rateDenominator, 2);
}

TEST(ConvLayer, MalformedRecordsAreRejected)
{
    using Record = mw::ConvLayerRecord;
    const Record good = convRecord({3, 3, 2, 4, 1, 1, 1, 0, true, 6, 2}, 1);
    const Changes<Record> changes{
        {"zero time stride", [](Record& r) { r.timeStride = 0; }},
        {"negative frequency stride", [](Record& r) { r.frequencyStride = -1; }},
        {"zero dilation", [](Record& r) { r.timeDilation = 0; }},
        {"negative offset", [](Record& r) { r.timeOffset = -1; }},
        {"no output row", [](Record& r) { r.frequencyStride = 7; }},
        {"bias of another length", [](Record& r) { r.bias = ones(3); }},
        {"weights of three axes", [](Record& r) { r.weights = ones(3, 3, 8); }},
        {"no time taps", [](Record& r) { r.weights = ones(0, 3, 2, 4); }},
    };
    expectEachRejected(6, 2, good, changes);
    EXPECT_FALSE(loadsLayer(6, 3, good)) << "input channels do not match the weights";
    // Depthwise needs the output channels to be a multiple of the input channels.
    const Record depthwise = convRecord({1, 3, 1, 6, 1, 1, 1, 0, true, 6, 4}, 1);
    EXPECT_FALSE(loadsLayer(6, 4, depthwise));
    EXPECT_TRUE(loadsLayer(6, 3, depthwise));
}

// ---------------------------------------------------------------------------------------------
// TransposedConvLayer

TEST(TransposedConvLayer, MatchesTheTransposedScatter)
{
    // kernelTime, kernelFrequency, input channels, weight output channels, output channels,
    // time and frequency stride, offset, bias, rows. The last two are depthwise: one weight
    // output channel, as many output channels as input channels.
    const std::vector<TransposedSetup> setups{{3, 3, 5, 7, 7, 1, 1, 0, true, 6},    {3, 4, 3, 9, 9, 2, 2, 1, false, 5},
                                              {1, 2, 8, 16, 16, 3, 2, 2, true, 4},  {4, 3, 6, 5, 5, 2, 1, 0, true, 7},
                                              {2, 1, 12, 21, 21, 1, 4, 3, true, 3}, {3, 3, 6, 1, 6, 2, 2, 1, true, 5},
                                              {2, 3, 5, 1, 5, 1, 1, 0, false, 4}};
    std::uint32_t seed = 100;
    for (const TransposedSetup& setup : setups)
    {
        seed += 10;
        SCOPED_TRACE("setup with seed " + std::to_string(seed));
        const mw::TransposedConvLayerRecord record = transposedRecord(setup, seed);
        NeuralModel<float> model;
        ASSERT_TRUE(loadDescription(model, frameGraph(setup.rows, setup.inputChannels, {layer("up", record)}, "up")));
        TransposedConvLayer& up = findLayer<TransposedConvLayer>(model, "up");
        const std::vector<float> x = randomValues(static_cast<std::size_t>(7 * setup.rows * setup.inputChannels), seed);
        const std::vector<float> actual = runTransposed(model, up, x, setup.rows, setup.inputChannels);
        expectMatches(actual, referenceTransposed(record, Frames(setup.rows, setup.inputChannels, x)).values);

        model.reset();
        EXPECT_EQ(up.getNumOfPendingSlices(), 0u);
        EXPECT_EQ(runTransposed(model, up, x, setup.rows, setup.inputChannels), actual) << "after reset";
    }
}

TEST(TransposedConvLayer, VersionsBefore4104TakeTheOutputChannelsFromTheWeights)
{
    mw::TransposedConvLayerRecord record = transposedRecord({2, 3, 3, 4, 4, 1, 1, 0, true, 5}, 9);
    NeuralModel<float> model;
    record.outputChannels = 99; // not written before 4104
    ASSERT_TRUE(loadDescription(model, frameGraph(5, 3, {layer("up", record)}, "up", 4103)));
    TransposedConvLayer& up = findLayer<TransposedConvLayer>(model, "up");
    EXPECT_EQ(up.getOutputChannels(), 4);
    const std::vector<float> x = randomValues(4 * 15, 2);
    expectMatches(runTransposed(model, up, x, 5, 3), referenceTransposed(record, Frames(5, 3, x)).values);
}

TEST(TransposedConvLayer, QueuedFramesLeaveOnePerPushOrTrigger)
{
    TransposedSetup setup;
    setup.timeStride = 3;
    setup.rows = 2;
    // Stride 3: three frames per input. The output layer comes first and reports true, so a
    // push stops after the first frame and each trigger delivers one more, then passes on.
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(2, 1, {layer("up", transposedRecord(setup, 3))}, "up")));
    TransposedConvLayer& up = findLayer<TransposedConvLayer>(model, "up");
    ProbeLayer probe(&up);
    EXPECT_EQ(model.pushTensor(makeTensor({1, 2, 1}, {1, 2})).shape, (std::vector<int>{1, 2, 1}));
    EXPECT_EQ(up.getNumOfPendingSlices(), 2u);
    for (int i = 0; i < 3; ++i)
        up.triggerForward();
    EXPECT_EQ(probe.events, "pptptt");
    EXPECT_EQ(up.getNumOfPendingSlices(), 0u);
    EXPECT_EQ(model.collectResults().shape, (std::vector<int>{2, 2, 1}));

    // With a receiver that never reaches the output, everything is delivered at once.
    NeuralModel<float> side;
    ASSERT_TRUE(loadDescription(side, frameGraph(2, 1, {layer("up", transposedRecord(setup, 3))}, "input")));
    TransposedConvLayer& sideUp = findLayer<TransposedConvLayer>(side, "up");
    ProbeLayer never(&sideUp, false);
    side.inputLayer->push(makeTensor({1, 2, 1}, {1, 2}), nullptr);
    EXPECT_EQ(never.events, "ppp");
    EXPECT_EQ(sideUp.getNumOfPendingSlices(), 0u);
}

TEST(TransposedConvLayer, OffsetDropsTheLeadingOutputFrames)
{
    const mw::TransposedConvLayerRecord record{
        "input", tensorRecord({1, 1, 1, 1}, {1.0f}), tensorRecord({1}, {0.5f}), 1, 2, 1, 1, 1, 1};
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(1, 1, {layer("up", record)}, "up")));
    TransposedConvLayer& up = findLayer<TransposedConvLayer>(model, "up");
    ProbeLayer probe(&up);
    model.inputLayer->push(makeTensor({1, 1, 1}, {3.0f}), nullptr);
    EXPECT_EQ(probe.events, "p") << "only the second frame of the first input";
    EXPECT_EQ(up.getNumOfPendingSlices(), 0u);
    model.inputLayer->push(makeTensor({1, 1, 1}, {4.0f}), nullptr);
    EXPECT_EQ(up.getNumOfPendingSlices(), 1u);
    up.triggerForward();
    EXPECT_EQ(probe.events, "pppt");
    ASSERT_EQ(probe.frames.size(), 3u);
    EXPECT_EQ(toVector(probe.frames[0]), std::vector<float>{0.5f}) << "frame 1 holds only the bias";
    EXPECT_EQ(toVector(probe.frames[1]), std::vector<float>{4.5f});
    EXPECT_EQ(toVector(probe.frames[2]), std::vector<float>{0.5f});
}

TEST(TransposedConvLayer, StridedConvThenTransposedConvKeepsTheFrameRate)
{
    // Latency: 1 (the strided layer's offset) + 2 x 1 (the transposed layer sees k = 2).
    const ConvSetup down{2, 1, 1, 1, 2, 1, 1, 1, true, 4, 1};
    const TransposedSetup up{2, 1, 1, 1, 1, 2, 1, 1, true, 4};
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(
        model,
        frameGraph(4, 1, {layer("down", convRecord(down, 1)), layer("up", transposedRecord(up, 2, "down"))}, "up")));
    EXPECT_EQ(model.latency, 3);
    TransposedConvLayer& upLayer = findLayer<TransposedConvLayer>(model, "up");
    EXPECT_EQ(upLayer.getFrameShape().rateNumerator, 1);
    EXPECT_EQ(upLayer.getFrameShape().rateDenominator, 1);

    // After the start-up, every input frame yields exactly one output frame.
    int produced = 0;
    for (int t = 0; t < 20; ++t)
    {
        const Tensor<float> result =
            model.pushTensor(makeTensor({1, 4, 1}, randomValues(4, static_cast<std::uint32_t>(t))));
        const int frames = result.shape.empty() ? 0 : result.shape[0];
        EXPECT_TRUE(t < 3 || frames == 1) << "frame " << t;
        produced += frames;
    }
    // The queue never holds more than the second frame of the last input.
    EXPECT_EQ(upLayer.getNumOfPendingSlices(), 1u);
    EXPECT_EQ(produced, 18);
}

TEST(TransposedConvLayer, MalformedRecordsAreRejected)
{
    using Record = mw::TransposedConvLayerRecord;
    const Record good = transposedRecord({2, 3, 3, 4, 4, 2, 1, 0, true, 5}, 1);
    const Changes<Record> changes{
        {"zero time stride", [](Record& r) { r.timeStride = 0; }},
        {"zero frequency stride", [](Record& r) { r.frequencyStride = 0; }},
        {"negative offset", [](Record& r) { r.timeOffset = -2; }},
        {"output channels disagree with the weights", [](Record& r) { r.outputChannels = 5; }},
        {"bias of another length", [](Record& r) { r.bias = ones(2); }},
        {"weights of three axes", [](Record& r) { r.weights = ones(2, 3, 4); }},
    };
    expectEachRejected(5, 3, good, changes);
    EXPECT_FALSE(loadsLayer(5, 2, good)) << "input channels do not match";
    // Depthwise needs as many output channels as input channels.
    TransposedSetup depthwise{2, 3, 3, 1, 4, 1, 1, 0, false, 5};
    EXPECT_FALSE(loadsLayer(5, 3, transposedRecord(depthwise, 1)));
    depthwise.outputChannels = 3;
    EXPECT_TRUE(loadsLayer(5, 3, transposedRecord(depthwise, 1)));
}

// ---------------------------------------------------------------------------------------------
// SeparableChannelConvLayer

namespace
{

mw::SeparableChannelConvLayerRecord separableRecord(const std::vector<float>& timeTaps,
                                                    const std::vector<float>& frequencyTaps)
{
    return {"input", tensorRecord({static_cast<int>(timeTaps.size())}, timeTaps),
            tensorRecord({static_cast<int>(frequencyTaps.size())}, frequencyTaps)};
}

/** Every frame the layer pushes: frequency taps centred on the row, time tap K-1 on the current
    frame and tap k < K-1 on the frame k + 1 back; nothing for the first (K + 1) / 2 - 1 frames. */
Frames referenceSeparable(const mw::SeparableChannelConvLayerRecord& r, const Frames& in)
{
    const int k = r.timeKernel.values.shape[0];
    const int l = r.frequencyKernel.values.shape[0];
    const int delay = (k + 1) / 2 - 1;
    Frames out(in.rows, in.channels, std::max(in.count() - delay, 0));
    for (int t = delay; t < in.count(); ++t)
        for (int f = 0; f < in.rows; ++f)
            for (int c = 0; c < in.channels; ++c)
                for (int j = 0; j < l; ++j)
                {
                    const int row = f - (j - (l - 1) / 2);
                    if (row < 0 || row >= in.rows)
                        continue;
                    for (int tap = 0; tap < k; ++tap)
                        out.cell(t - delay, f, c)
                            .add(element(r.frequencyKernel, {j}) * element(r.timeKernel, {tap}) *
                                 in.at(tap == k - 1 ? t : t - (tap + 1), row, c));
                }
    return out;
}

} // namespace

TEST(SeparableChannelConvLayer, MatchesTheSeparableFilter)
{
    struct Case
    {
        std::vector<float> timeTaps, frequencyTaps;
        int rows, channels;
    };
    const std::vector<Case> cases{{{0.5f, -0.25f, 1.0f}, {0.2f, 0.6f, 0.2f}, 9, 5},
                                  {{1.0f, 2.0f, 3.0f, 4.0f}, {1.0f, -1.0f}, 6, 3},
                                  {{0.75f}, {0.1f, 0.2f, 0.3f, 0.4f, 0.5f}, 4, 8},
                                  {{0.3f, 0.3f, 0.3f, 0.3f, 0.3f}, {1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 2.0f}, 3, 2}};
    for (const Case& test : cases)
    {
        SCOPED_TRACE(std::to_string(test.timeTaps.size()) + " time taps");
        const mw::SeparableChannelConvLayerRecord record = separableRecord(test.timeTaps, test.frequencyTaps);
        // 9 frames stop the rings mid-cycle: each reset must bring back the start-up delay too.
        const std::vector<float> x = randomValues(static_cast<std::size_t>(9 * test.rows * test.channels), 6);
        expectStreamMatches(record, test.rows, test.channels, x,
                            referenceSeparable(record, Frames(test.rows, test.channels, x)));
    }
}

TEST(SeparableChannelConvLayer, StartUpDelayAndTapOrder)
{
    // K = 3: nothing for the first frame, then one per frame; taps 0, 1, 2 weight t-1, t-2, t.
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(1, 1, {layer("sep", separableRecord({1, 10, 100}, {1}))}, "sep")));
    EXPECT_EQ(findLayer<SeparableChannelConvLayer>(model, "sep").getType(), LayerType::dense) << "recorded type 14";
    EXPECT_EQ(pushInRuns(model, {1, 2, 3, 4}, 1, 1, {1}), (std::vector<float>{201, 300 + 2 + 10, 400 + 3 + 20}));
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

TEST(SeparableChannelConvLayer, KernelsWithoutTapsAreRejected)
{
    using Record = mw::SeparableChannelConvLayerRecord;
    const Changes<Record> changes{
        {"no time kernel", [](Record& r) { r.timeKernel = ones(); }},
        {"no frequency taps", [](Record& r) { r.frequencyKernel = ones(0); }},
    };
    expectEachRejected(4, 2, separableRecord({1}, {1}), changes);
}
