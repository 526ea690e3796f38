#include <gtest/gtest.h>

#include "LayerTestSupport.h"
#include "Neural/SelfAttentionLayer.h"

using namespace murel;
using namespace murel::test;

namespace
{

struct AttentionSetup
{
    int rows = 1;
    int channels = 1;
    int contextLength = 0;
    int outputDelay = 0;
};

mw::SelfAttentionLayerRecord attentionRecord(const AttentionSetup& setup, std::uint32_t seed)
{
    mw::SelfAttentionLayerRecord record;
    record.source = "input";
    const std::size_t channels = static_cast<std::size_t>(setup.channels);
    record.weights = tensorRecord({setup.channels, setup.channels}, randomValues(channels * channels, seed, 1.0f));
    record.bias = tensorRecord({setup.rows, setup.channels},
                               randomValues(static_cast<std::size_t>(setup.rows) * channels, seed + 1));
    record.outputDelay = setup.outputDelay;
    if (setup.contextLength > 0)
        record.contextKernel =
            tensorRecord({setup.contextLength, setup.channels},
                         randomValues(static_cast<std::size_t>(setup.contextLength) * channels, seed + 2, 1.0f));
    return record;
}

/** The pushed frames for x [numOfFrames][rows][channels]: context filter over the causal past,
    then the channel mix and the bias. */
std::vector<Reference> referenceAttention(const AttentionSetup& s, const mw::SelfAttentionLayerRecord& record,
                                          const std::vector<float>& x, int numOfFrames)
{
    const std::size_t rows = static_cast<std::size_t>(s.rows);
    const std::size_t channels = static_cast<std::size_t>(s.channels);
    const std::size_t frameSize = rows * channels;
    std::vector<Reference> out;
    for (int t = 0; t < numOfFrames; ++t)
    {
        std::vector<Reference> z(frameSize);
        for (std::size_t i = 0; i < frameSize; ++i)
        {
            if (s.contextLength == 0)
            {
                z[i].add(x[static_cast<std::size_t>(t) * frameSize + i]);
                continue;
            }
            const std::size_t c = i % channels;
            for (int k = 0; k < s.contextLength; ++k)
            {
                // Tap 0 weights the oldest frame kept, the last tap the current one.
                const int past = t - (s.contextLength - 1 - k);
                if (past >= 0)
                    z[i].add(
                        static_cast<double>(record.contextKernel.values[static_cast<std::size_t>(k) * channels + c]) *
                        static_cast<double>(x[static_cast<std::size_t>(past) * frameSize + i]));
            }
        }
        if (t < s.outputDelay)
            continue;
        for (std::size_t f = 0; f < rows; ++f)
            for (std::size_t j = 0; j < channels; ++j)
            {
                Reference sum;
                sum.add(record.bias.values[f * channels + j]);
                for (std::size_t i = 0; i < channels; ++i)
                {
                    const double w = record.weights.values[i * channels + j];
                    sum.value += z[f * channels + i].value * w;
                    sum.magnitude += z[f * channels + i].magnitude * std::fabs(w);
                }
                out.push_back(sum);
            }
    }
    return out;
}

} // namespace

TEST(SelfAttentionLayer, MatchesContextFilterAndChannelMix)
{
    const std::vector<AttentionSetup> setups{{5, 3, 0, 0},  {4, 8, 3, 0}, {3, 5, 2, 1}, {6, 12, 4, 2},
                                             {2, 33, 1, 0}, {7, 1, 3, 3}, {9, 17, 5, 0}};
    std::uint32_t seed = 40;
    for (const AttentionSetup& setup : setups)
    {
        seed += 10;
        const mw::SelfAttentionLayerRecord record = attentionRecord(setup, seed);
        NeuralModel<float> model;
        ASSERT_TRUE(loadDescription(model, frameGraph(setup.rows, setup.channels, {layer("att", record)}, "att")));
        EXPECT_EQ(model.latency, setup.outputDelay);
        const int numOfFrames = 10;
        const std::vector<float> x =
            randomValues(static_cast<std::size_t>(numOfFrames * setup.rows * setup.channels), seed + 5);
        const std::vector<Reference> expected = referenceAttention(setup, record, x, numOfFrames);
        std::vector<float> first;
        for (const std::vector<int>& runs : {std::vector<int>{1}, std::vector<int>{10}, std::vector<int>{3, 1, 2}})
        {
            model.reset();
            const std::vector<float> actual = pushInRuns(model, x, setup.rows, setup.channels, runs);
            expectMatches(actual, expected, "setup " + std::to_string(seed) + " runs " + std::to_string(runs.front()));
            if (first.empty())
                first = actual;
            else
                EXPECT_EQ(actual, first);
        }
    }
}

TEST(SelfAttentionLayer, IdentityWithoutContextPassesTheInput)
{
    const int channels = 6;
    mw::SelfAttentionLayerRecord record;
    record.source = "input";
    std::vector<float> identity(static_cast<std::size_t>(channels * channels), 0.0f);
    for (int c = 0; c < channels; ++c)
        identity[static_cast<std::size_t>(c * channels + c)] = 1.0f;
    record.weights = tensorRecord({channels, channels}, identity);
    record.bias = tensorRecord({3, channels}, std::vector<float>(3 * channels, 0.0f));
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(3, channels, {layer("att", record)}, "att")));
    const std::vector<float> x = randomValues(2 * 3 * channels, 2);
    EXPECT_EQ(toVector(model.pushTensor(makeTensor({2, 3, channels}, x))), x);
}

TEST(SelfAttentionLayer, ContextOfTwoAveragesWithThePreviousFrame)
{
    mw::SelfAttentionLayerRecord record;
    record.source = "input";
    record.weights = tensorRecord({2, 2}, {1, 0, 0, 1});
    record.bias = tensorRecord({1, 2}, {0, 0});
    record.contextKernel = tensorRecord({2, 2}, {0.5f, 0.5f, 0.5f, 0.5f});
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(1, 2, {layer("att", record)}, "att")));
    EXPECT_EQ(toVector(model.pushTensor(makeTensor({1, 1, 2}, {2, 4}))), (std::vector<float>{1, 2}));
    EXPECT_EQ(toVector(model.pushTensor(makeTensor({1, 1, 2}, {6, 8}))), (std::vector<float>{4, 6}));
    model.reset();
    EXPECT_EQ(toVector(model.pushTensor(makeTensor({1, 1, 2}, {6, 8}))), (std::vector<float>{3, 4}));
}

TEST(SelfAttentionLayer, OutputDelayWithholdsFramesAndAddsUnscaledLatency)
{
    AttentionSetup setup{2, 3, 0, 2};
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(2, 3, {layer("att", attentionRecord(setup, 3))}, "att")));
    SelfAttentionLayer& attention = findLayer<SelfAttentionLayer>(model, "att");
    EXPECT_EQ(model.latency, 2);
    EXPECT_EQ(attention.measureLatency(1), 2);
    EXPECT_EQ(attention.measureLatency(4), 2);
    for (int t = 0; t < 5; ++t)
    {
        const Tensor<float> result = model.pushTensor(makeTensor({1, 2, 3}, randomValues(6, 9)));
        EXPECT_EQ(result.isEmpty(), t < 2) << "frame " << t;
    }
    model.reset();
    EXPECT_TRUE(model.pushTensor(makeTensor({1, 2, 3}, randomValues(6, 9))).isEmpty());
}

TEST(SelfAttentionLayer, DelayedFramesOfOnePushKeepTheirOwnValues)
{
    // Four frames in one push with a delay of one: the output layer keeps three separate frames.
    AttentionSetup setup{2, 5, 2, 1};
    const mw::SelfAttentionLayerRecord record = attentionRecord(setup, 8);
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(2, 5, {layer("att", record)}, "att")));
    ProbeLayer probe(&findLayer<SelfAttentionLayer>(model, "att"));
    const std::vector<float> x = randomValues(4 * 10, 12);
    expectMatches(toVector(model.pushTensor(makeTensor({4, 2, 5}, x))), referenceAttention(setup, record, x, 4));
    ASSERT_EQ(probe.frames.size(), 3u);
    EXPECT_NE(toVector(probe.frames[0]), toVector(probe.frames[1]));
    EXPECT_NE(probe.frames[0].getReadPointer(), probe.frames[2].getReadPointer());
}

TEST(SelfAttentionLayer, OlderVersionsHaveNoDelayOrContext)
{
    AttentionSetup setup{3, 4, 3, 2};
    const mw::SelfAttentionLayerRecord record = attentionRecord(setup, 5);
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(3, 4, {layer("att", record)}, "att", 4102)));
    EXPECT_EQ(findLayer<SelfAttentionLayer>(model, "att").getOutputDelay(), 0);
    EXPECT_EQ(findLayer<SelfAttentionLayer>(model, "att").getContextLength(), 0);
    const std::vector<float> x = randomValues(2 * 12, 6);
    expectMatches(toVector(model.pushTensor(makeTensor({2, 3, 4}, x))),
                  referenceAttention(AttentionSetup{3, 4, 0, 0}, record, x, 2));
}

TEST(SelfAttentionLayer, MalformedRecordsAreRejected)
{
    const AttentionSetup good{3, 4, 2, 1};
    auto loads = [](const mw::SelfAttentionLayerRecord& record)
    {
        NeuralModel<float> model;
        return loadDescription(model, frameGraph(3, 4, {layer("att", record)}, "att"));
    };
    ASSERT_TRUE(loads(attentionRecord(good, 1)));
    mw::SelfAttentionLayerRecord record = attentionRecord(good, 1);
    record.weights = tensorRecord({3, 3}, std::vector<float>(9, 1.0f));
    EXPECT_FALSE(loads(record)) << "weights for three channels";
    record = attentionRecord(good, 1);
    record.bias = tensorRecord({2, 4}, std::vector<float>(8, 1.0f));
    EXPECT_FALSE(loads(record)) << "bias for two rows";
    record = attentionRecord(good, 1);
    record.bias = tensorRecord({}, {});
    EXPECT_FALSE(loads(record)) << "no bias";
    record = attentionRecord(good, 1);
    record.contextKernel = tensorRecord({2, 3}, std::vector<float>(6, 1.0f));
    EXPECT_FALSE(loads(record)) << "context kernel for three channels";
    record = attentionRecord(good, 1);
    record.outputDelay = -1;
    EXPECT_FALSE(loads(record)) << "negative delay";
}
