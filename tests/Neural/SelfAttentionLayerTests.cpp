#include <gtest/gtest.h>

#include "LayerTestSupport.h"
#include "Neural/SelfAttentionLayer.h"

using namespace murel;
using namespace murel::test;

namespace
{

struct AttentionSetup
{
    int rows = 1, channels = 1, contextLength = 0, outputDelay = 0;
};

mw::SelfAttentionLayerRecord attentionRecord(const AttentionSetup& s, std::uint32_t seed)
{
    return {"input", randomRecord({s.channels, s.channels}, seed), randomRecord({s.rows, s.channels}, seed + 1, 4.0f),
            s.outputDelay,
            s.contextLength > 0 ? randomRecord({s.contextLength, s.channels}, seed + 2) : mw::TensorRecord()};
}

} // namespace

TEST(SelfAttentionLayer, MatchesContextFilterAndChannelMix)
{
    // rows, channels, context length, output delay.
    const std::vector<AttentionSetup> setups{{5, 3, 0, 0},  {4, 8, 3, 0}, {3, 5, 2, 1}, {6, 12, 4, 2},
                                             {2, 33, 1, 0}, {7, 1, 3, 3}, {9, 17, 5, 0}};
    std::uint32_t seed = 40;
    for (const AttentionSetup& setup : setups)
    {
        seed += 10;
        SCOPED_TRACE("setup with seed " + std::to_string(seed));
        const mw::SelfAttentionLayerRecord record = attentionRecord(setup, seed);
        NeuralModel<float> model;
        ASSERT_TRUE(loadDescription(model, frameGraph(setup.rows, setup.channels, {layer("att", record)}, "att")));
        EXPECT_EQ(model.latency, setup.outputDelay) << "the context adds no latency";
        const std::vector<float> x = randomValues(static_cast<std::size_t>(10 * setup.rows * setup.channels), seed + 5);
        expectStreamMatches(record, setup.rows, setup.channels, x,
                            referenceAttention(record, Frames(setup.rows, setup.channels, x)));
    }
}

TEST(SelfAttentionLayer, OutputDelayWithholdsFramesAndAddsUnscaledLatency)
{
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(2, 3, {layer("att", attentionRecord({2, 3, 0, 2}, 3))}, "att")));
    SelfAttentionLayer& attention = findLayer<SelfAttentionLayer>(model, "att");
    EXPECT_EQ(model.latency, 2);
    EXPECT_EQ(attention.measureLatency(1), 2);
    EXPECT_EQ(attention.measureLatency(4), 2);
    for (int t = 0; t < 5; ++t)
        EXPECT_EQ(model.pushTensor(makeTensor({1, 2, 3}, randomValues(6, 9))).isEmpty(), t < 2) << "frame " << t;
    model.reset();
    EXPECT_TRUE(model.pushTensor(makeTensor({1, 2, 3}, randomValues(6, 9))).isEmpty());
}

TEST(SelfAttentionLayer, DelayedFramesOfOnePushKeepTheirOwnValues)
{
    // Four frames in one push with a delay of one: the output layer keeps three separate frames.
    const mw::SelfAttentionLayerRecord record = attentionRecord({2, 5, 2, 1}, 8);
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(2, 5, {layer("att", record)}, "att")));
    ProbeLayer probe(&findLayer<SelfAttentionLayer>(model, "att"));
    const std::vector<float> x = randomValues(4 * 10, 12);
    expectMatches(toVector(model.pushTensor(makeTensor({4, 2, 5}, x))),
                  referenceAttention(record, Frames(2, 5, x)).values);
    ASSERT_EQ(probe.frames.size(), 3u);
    EXPECT_NE(toVector(probe.frames[0]), toVector(probe.frames[1]));
    EXPECT_NE(probe.frames[0].getReadPointer(), probe.frames[2].getReadPointer());
}

TEST(SelfAttentionLayer, OlderVersionsHaveNoDelayOrContext)
{
    mw::SelfAttentionLayerRecord record = attentionRecord({3, 4, 3, 2}, 5);
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(3, 4, {layer("att", record)}, "att", 4102)));
    EXPECT_EQ(findLayer<SelfAttentionLayer>(model, "att").getOutputDelay(), 0);
    EXPECT_EQ(findLayer<SelfAttentionLayer>(model, "att").getContextLength(), 0);
    const std::vector<float> x = randomValues(2 * 12, 6);
    // Neither field is written before 4103.
    record.outputDelay = 0;
    record.contextKernel = tensorRecord({}, {});
    expectMatches(toVector(model.pushTensor(makeTensor({2, 3, 4}, x))),
                  referenceAttention(record, Frames(3, 4, x)).values);
}

TEST(SelfAttentionLayer, MalformedRecordsAreRejected)
{
    using Record = mw::SelfAttentionLayerRecord;
    const Changes<Record> changes{
        {"weights for three channels", [](Record& r) { r.weights = ones(3, 3); }},
        {"bias for two rows", [](Record& r) { r.bias = ones(2, 4); }},
        {"no bias", [](Record& r) { r.bias = ones(); }},
        {"context kernel for three channels", [](Record& r) { r.contextKernel = ones(2, 3); }},
        {"negative delay", [](Record& r) { r.outputDelay = -1; }},
    };
    expectEachRejected(3, 4, attentionRecord({3, 4, 2, 1}, 1), changes);
}
