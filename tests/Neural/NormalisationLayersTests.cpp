#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "LayerTestSupport.h"
#include "Neural/NormalisationLayers.h"

using namespace murel;
using namespace murel::test;

namespace
{

double rmsOf(const float* x, int n)
{
    double sum = 0.0;
    for (int i = 0; i < n; ++i)
        sum += static_cast<double>(x[i]) * static_cast<double>(x[i]);
    return std::sqrt(sum / n);
}

mw::NormLayerRecord normRecord(int mode, std::vector<float> scale, std::vector<float> offset)
{
    mw::NormLayerRecord record;
    record.source = "input";
    record.mode = mode;
    const int channels = static_cast<int>(scale.size());
    record.scale = tensorRecord({channels}, std::move(scale));
    const int offsets = static_cast<int>(offset.size());
    if (offsets > 0)
        record.offset = tensorRecord({offsets}, std::move(offset));
    return record;
}

/** Relative closeness for values computed through a division and a square root. */
void expectRelativelyClose(const std::vector<float>& actual, const std::vector<double>& expected)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i)
        ASSERT_NEAR(actual[i], expected[i], 1e-5 * std::fabs(expected[i]) + 1e-6) << "element " << i;
}

} // namespace

TEST(NormLayer, AffineAndRootMeanSquareModes)
{
    for (const int channels : {1, 4, 7, 13})
        for (const int mode : {0, 1})
            for (const bool withOffset : {false, true})
            {
                const std::vector<float> scale = randomValues(static_cast<std::size_t>(channels), 3);
                const std::vector<float> offset =
                    withOffset ? randomValues(static_cast<std::size_t>(channels), 4) : std::vector<float>();
                NeuralModel<float> model;
                ASSERT_TRUE(loadDescription(
                    model, frameGraph(5, channels, {layer("norm", normRecord(mode, scale, offset))}, "norm")));
                EXPECT_EQ(findLayer<NormLayer>(model, "norm").getMode(), mode);
                const std::vector<float> x = randomValues(static_cast<std::size_t>(3 * 5 * channels), 5);
                std::vector<double> expected;
                for (std::size_t row = 0; row < 15; ++row)
                {
                    const float* v = x.data() + row * static_cast<std::size_t>(channels);
                    const double gain = mode == 1 ? 1.0 / (rmsOf(v, channels) + 1e-12) : 1.0;
                    for (std::size_t c = 0; c < static_cast<std::size_t>(channels); ++c)
                        expected.push_back(static_cast<double>(v[c]) * gain * static_cast<double>(scale[c]) +
                                           (withOffset ? static_cast<double>(offset[c]) : 0.0));
                }
                expectRelativelyClose(toVector(model.pushTensor(makeTensor({3, 5, channels}, x))), expected);
            }
}

TEST(NormLayer, RowOfTwosNormalisesToOne)
{
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(
        model,
        frameGraph(1, 4, {layer("norm", normRecord(1, {1.0f, 2.0f, 3.0f, 4.0f}, {0.5f, 0.5f, 0.5f, 0.5f}))}, "norm")));
    const std::vector<float> y = toVector(model.pushTensor(makeTensor({1, 1, 4}, {2, 2, 2, 2})));
    ASSERT_EQ(y.size(), 4u);
    for (std::size_t c = 0; c < 4; ++c)
        EXPECT_FLOAT_EQ(y[c], static_cast<float>(c + 1) + 0.5f);
}

TEST(NormLayer, OlderFilesStoreOffsetFirstAndHaveNoMode)
{
    // The writer stores offset before scale and no mode byte for version 4105.
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(
        model, frameGraph(1, 3, {layer("norm", normRecord(1, {2, 3, 4}, {10, 20, 30}))}, "norm", 4105)));
    EXPECT_EQ(findLayer<NormLayer>(model, "norm").getMode(), 0);
    EXPECT_EQ(toVector(model.pushTensor(makeTensor({1, 1, 3}, {1, 1, 1}))), (std::vector<float>{12, 23, 34}));
}

TEST(NormLayer, MalformedRecordsAreRejected)
{
    auto loads = [](const mw::NormLayerRecord& record)
    {
        NeuralModel<float> model;
        return loadDescription(model, frameGraph(2, 3, {layer("norm", record)}, "norm"));
    };
    EXPECT_TRUE(loads(normRecord(1, {1, 2, 3}, {})));
    EXPECT_FALSE(loads(normRecord(2, {1, 2, 3}, {}))) << "unknown mode";
    EXPECT_FALSE(loads(normRecord(-1, {1, 2, 3}, {})));
    EXPECT_FALSE(loads(normRecord(0, {1, 2}, {}))) << "scale shorter than the channels";
    EXPECT_FALSE(loads(normRecord(0, {1, 2, 3}, {1, 2, 3, 4}))) << "offset of another length";
    mw::NormLayerRecord noScale = normRecord(0, {1, 2, 3}, {});
    noScale.scale = tensorRecord({}, {});
    EXPECT_FALSE(loads(noScale));
}

// ---------------------------------------------------------------------------------------------
// PreNormLayer

namespace
{

mw::PreNormLayerRecord preNormRecord(std::vector<float> kernel)
{
    mw::PreNormLayerRecord record;
    record.source = "input";
    const int length = static_cast<int>(kernel.size());
    record.kernel = tensorRecord({length}, std::move(kernel));
    return record;
}

/** Frame t divided by the kernel-weighted levels of the ring after frame t. */
std::vector<double> referencePreNorm(const std::vector<float>& kernel, const std::vector<float>& x, int frameSize)
{
    const std::size_t length = kernel.size();
    std::vector<double> levels(length, 0.0);
    std::vector<double> out;
    const std::size_t numOfFrames = x.size() / static_cast<std::size_t>(frameSize);
    for (std::size_t t = 0; t < numOfFrames; ++t)
    {
        const float* frame = x.data() + t * static_cast<std::size_t>(frameSize);
        const double level = rmsOf(frame, frameSize);
        const std::size_t i = t % length;
        if (t == 0)
            levels.assign(length, level);
        else
            levels[i] = level;
        double sum = 0.0;
        for (std::size_t k = 0; k < length; ++k)
            sum += static_cast<double>(kernel[k]) * levels[(i + k) % length];
        for (int j = 0; j < frameSize; ++j)
            out.push_back(static_cast<double>(frame[j]) / (sum + 1e-12));
    }
    return out;
}

} // namespace

TEST(PreNormLayer, DividesByTheWeightedLevelsOfPastFrames)
{
    const std::vector<float> kernel{0.5f, 0.1f, 0.15f, 0.25f};
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(3, 5, {layer("pre", preNormRecord(kernel))}, "pre")));
    std::vector<float> x = randomValues(11 * 15, 8);
    // Frames of very different levels make every kernel tap count.
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] *= static_cast<float>(1 + (i / 15) % 4);
    const std::vector<double> expected = referencePreNorm(kernel, x, 15);
    for (const std::vector<int>& runs : {std::vector<int>{1}, std::vector<int>{11}, std::vector<int>{3, 2}})
    {
        model.reset();
        expectRelativelyClose(pushInRuns(model, x, 3, 5, runs), expected);
    }
}

TEST(PreNormLayer, FirstFrameFillsTheRing)
{
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(1, 2, {layer("pre", preNormRecord({0.5f, 0.25f, 0.25f}))}, "pre")));
    // Level 1: s = 1.
    const std::vector<float> y = toVector(model.pushTensor(makeTensor({1, 1, 2}, {1.0f, -1.0f})));
    EXPECT_EQ(y, (std::vector<float>{1.0f / (1.0f + 1e-12f), -1.0f / (1.0f + 1e-12f)}));
    const std::vector<float> again = toVector(model.pushTensor(makeTensor({1, 1, 2}, {3.0f, 3.0f})));
    // Levels now 1, 3, 1 with the new frame in slot 1: s = 0.5 x 3 + 0.25 x 1 + 0.25 x 1.
    EXPECT_FLOAT_EQ(again[0], 3.0f / 2.0f);
    model.reset();
    EXPECT_EQ(toVector(model.pushTensor(makeTensor({1, 1, 2}, {1.0f, -1.0f}))), y);
}

TEST(PreNormLayer, EmptyKernelIsRejected)
{
    mw::PreNormLayerRecord record = preNormRecord({1.0f});
    record.kernel = tensorRecord({0}, {});
    NeuralModel<float> model;
    EXPECT_FALSE(loadDescription(model, frameGraph(2, 2, {layer("pre", record)}, "pre")));
}

// ---------------------------------------------------------------------------------------------
// ARPreNormLayer

namespace
{

mw::ARPreNormLayerRecord arRecord(float attack, float release, float epsilon)
{
    mw::ARPreNormLayerRecord record;
    record.source = "input";
    record.attackCoefficient = attack;
    record.releaseCoefficient = release;
    record.epsilon = epsilon;
    return record;
}

} // namespace

TEST(ARPreNormLayer, FollowsTheLevelWithAttackAndRelease)
{
    const float attack = 0.9f;
    const float release = 0.5f;
    const float epsilon = 0.01f;
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(2, 3, {layer("ar", arRecord(attack, release, epsilon))}, "ar")));
    std::vector<float> x = randomValues(8 * 6, 9);
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] *= (i / 6) % 3 == 0 ? 4.0f : 0.5f;
    double level = 0.0;
    std::vector<double> expected;
    for (std::size_t t = 0; t < 8; ++t)
    {
        const double a = rmsOf(x.data() + t * 6, 6);
        const double coefficient = level < a ? attack : release;
        level = level * coefficient + a * (1.0 - coefficient);
        for (std::size_t j = 0; j < 6; ++j)
            expected.push_back(static_cast<double>(x[t * 6 + j]) / (level + static_cast<double>(epsilon)));
    }
    expectRelativelyClose(pushInRuns(model, x, 2, 3, {1}), expected);
    model.reset();
    EXPECT_EQ(findLayer<ARPreNormLayer>(model, "ar").getLevel(), 0.0f);
    expectRelativelyClose(pushInRuns(model, x, 2, 3, {8}), expected);
}

TEST(ARPreNormLayer, FirstFrameRisesFromZero)
{
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(1, 1, {layer("ar", arRecord(0.9f, 0.5f, 0.001f))}, "ar")));
    const std::vector<float> y = toVector(model.pushTensor(makeTensor({1, 1, 1}, {1.0f})));
    EXPECT_FLOAT_EQ(findLayer<ARPreNormLayer>(model, "ar").getLevel(), 0.1f);
    EXPECT_FLOAT_EQ(y.at(0), 1.0f / (0.1f + 0.001f));
}

TEST(ARPreNormLayer, EpsilonMustBePositive)
{
    for (const float epsilon : {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN()})
    {
        NeuralModel<float> model;
        EXPECT_FALSE(loadDescription(model, frameGraph(1, 1, {layer("ar", arRecord(0.9f, 0.5f, epsilon))}, "ar")))
            << epsilon;
    }
}

// ---------------------------------------------------------------------------------------------
// DenseLayer

namespace
{

mw::DenseLayerRecord denseRecord(int rows, int channels, std::uint32_t seed, bool withBias)
{
    mw::DenseLayerRecord record;
    record.source = "input";
    record.weights = tensorRecord({rows, rows, channels},
                                  randomValues(static_cast<std::size_t>(rows * rows * channels), seed, 1.0f));
    if (withBias)
        record.bias = tensorRecord({rows, channels}, randomValues(static_cast<std::size_t>(rows * channels), seed + 1));
    return record;
}

} // namespace

TEST(DenseLayer, MixesRowsWithinEachChannel)
{
    struct Case
    {
        int rows;
        int channels;
        bool withBias;
    };
    for (const Case& test : {Case{11, 5, true}, Case{8, 4, false}, Case{17, 9, true}, Case{3, 1, true},
                             Case{1, 6, true}, Case{20, 16, true}})
    {
        const mw::DenseLayerRecord record = denseRecord(test.rows, test.channels, 21, test.withBias);
        NeuralModel<float> model;
        ASSERT_TRUE(loadDescription(model, frameGraph(test.rows, test.channels, {layer("dense", record)}, "dense")));
        const int numOfFrames = 3;
        const std::vector<float> x =
            randomValues(static_cast<std::size_t>(numOfFrames * test.rows * test.channels), 22);
        std::vector<Reference> expected;
        const std::size_t rows = static_cast<std::size_t>(test.rows);
        const std::size_t channels = static_cast<std::size_t>(test.channels);
        for (std::size_t t = 0; t < static_cast<std::size_t>(numOfFrames); ++t)
            for (std::size_t o = 0; o < rows; ++o)
                for (std::size_t c = 0; c < channels; ++c)
                {
                    Reference sum;
                    for (std::size_t r = 0; r < rows; ++r)
                        sum.add(static_cast<double>(record.weights.values[(o * rows + r) * channels + c]) *
                                static_cast<double>(x[(t * rows + r) * channels + c]));
                    if (test.withBias)
                        sum.add(record.bias.values[o * channels + c]);
                    expected.push_back(sum);
                }
        expectMatches(toVector(model.pushTensor(makeTensor({numOfFrames, test.rows, test.channels}, x))), expected,
                      "rows " + std::to_string(test.rows) + " channels " + std::to_string(test.channels));
    }
}

TEST(DenseLayer, IdentityWeightsReproduceTheInput)
{
    const int rows = 9;
    const int channels = 3;
    mw::DenseLayerRecord record;
    record.source = "input";
    std::vector<float> identity(static_cast<std::size_t>(rows * rows * channels), 0.0f);
    for (int o = 0; o < rows; ++o)
        for (int c = 0; c < channels; ++c)
            identity[static_cast<std::size_t>((o * rows + o) * channels + c)] = 1.0f;
    record.weights = tensorRecord({rows, rows, channels}, identity);
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(rows, channels, {layer("dense", record)}, "dense")));
    const std::vector<float> x = randomValues(2 * rows * channels, 4);
    EXPECT_EQ(toVector(model.pushTensor(makeTensor({2, rows, channels}, x))), x);
}

TEST(DenseLayer, WeightsAndBiasMustFitTheFrame)
{
    auto loads = [](const mw::DenseLayerRecord& record)
    {
        NeuralModel<float> model;
        return loadDescription(model, frameGraph(4, 3, {layer("dense", record)}, "dense"));
    };
    EXPECT_TRUE(loads(denseRecord(4, 3, 1, true)));
    EXPECT_FALSE(loads(denseRecord(5, 3, 1, false))) << "weights for five rows";
    EXPECT_FALSE(loads(denseRecord(4, 2, 1, false))) << "weights for two channels";
    mw::DenseLayerRecord record = denseRecord(4, 3, 1, true);
    record.bias = tensorRecord({4, 2}, std::vector<float>(8, 0.0f));
    EXPECT_FALSE(loads(record)) << "bias of another size";
}
