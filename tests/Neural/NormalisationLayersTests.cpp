#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "LayerTestSupport.h"
#include "Neural/NormalisationLayers.h"

using namespace murel;
using namespace murel::test;

namespace
{

/** The root mean square of each frame of in. */
std::vector<double> frameLevels(const Frames& in)
{
    const std::size_t frameSize = static_cast<std::size_t>(in.rows * in.channels);
    std::vector<double> sums(static_cast<std::size_t>(in.count()), 0.0);
    for (std::size_t i = 0; i < in.values.size(); ++i)
        sums[i / frameSize] += in.values[i].value * in.values[i].value;
    for (double& sum : sums)
        sum = std::sqrt(sum / static_cast<double>(frameSize));
    return sums;
}

/** Each frame of in divided by its divisor. */
Frames divideFrames(const Frames& in, const std::vector<double>& divisors)
{
    Frames out(in.rows, in.channels, in.count());
    for (std::size_t i = 0; i < in.values.size(); ++i)
        out.values[i].add(in.values[i].value / divisors[i / static_cast<std::size_t>(in.rows * in.channels)]);
    return out;
}

mw::NormLayerRecord normRecord(int mode, const std::vector<float>& scale, const std::vector<float>& offset)
{
    return {"input", mode, tensorRecord({static_cast<int>(scale.size())}, scale),
            offset.empty() ? mw::TensorRecord() : tensorRecord({static_cast<int>(offset.size())}, offset)};
}

} // namespace

TEST(NormLayer, AffineAndRootMeanSquareModes)
{
    for (const int channels : {1, 4, 7, 13})
        for (const int mode : {0, 1})
            for (const bool withOffset : {false, true})
            {
                SCOPED_TRACE(std::to_string(channels) + " channels, mode " + std::to_string(mode));
                const std::vector<float> offset =
                    withOffset ? randomValues(static_cast<std::size_t>(channels), 4) : std::vector<float>();
                const mw::NormLayerRecord record =
                    normRecord(mode, randomValues(static_cast<std::size_t>(channels), 3), offset);
                const std::vector<float> x = randomValues(static_cast<std::size_t>(3 * 5 * channels), 5);
                expectStreamMatches(record, 5, channels, x, referenceNorm(record, Frames(5, channels, x)));
            }
}

TEST(NormLayer, OlderFilesStoreOffsetFirstAndHaveNoMode)
{
    // The writer stores offset before scale and no mode byte for version 4105: the layer runs
    // the affine mode (a row of twos would normalise to ones in mode 1).
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(
        model, frameGraph(1, 3, {layer("norm", normRecord(1, {2, 3, 4}, {10, 20, 30}))}, "norm", 4105)));
    EXPECT_EQ(toVector(model.pushTensor(makeTensor({1, 1, 3}, {2, 2, 2}))), (std::vector<float>{14, 26, 38}));
}

TEST(NormLayer, MalformedRecordsAreRejected)
{
    using Record = mw::NormLayerRecord;
    const Record good = normRecord(1, {1, 2, 3}, {});
    const Changes<Record> changes{
        {"unknown mode", [](Record& r) { r.mode = 2; }},
        {"negative mode", [](Record& r) { r.mode = -1; }},
        {"scale shorter than the channels", [](Record& r) { r.scale = ones(2); }},
        {"offset of another length", [](Record& r) { r.offset = ones(4); }},
        {"no scale", [](Record& r) { r.scale = ones(); }},
    };
    expectEachRejected(2, 3, good, changes);
}

// ---------------------------------------------------------------------------------------------
// PreNormLayer

namespace
{

mw::PreNormLayerRecord preNormRecord(const std::vector<float>& kernel)
{
    return {"input", tensorRecord({static_cast<int>(kernel.size())}, kernel)};
}

} // namespace

TEST(PreNormLayer, DividesByTheWeightedLevelsOfPastFrames)
{
    const std::vector<float> kernel{0.5f, 0.1f, 0.15f, 0.25f};
    std::vector<float> x = randomValues(11 * 15, 8);
    // Frames of very different levels make every kernel tap count.
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] *= static_cast<float>(1 + (i / 15) % 4);
    // The first frame fills the ring; frame t goes to slot t mod 4, and tap k weights the level
    // in slot (t + k) mod 4.
    const Frames in(3, 5, x);
    const std::vector<double> levels = frameLevels(in);
    std::vector<double> ring(kernel.size(), levels[0]);
    std::vector<double> divisors;
    for (std::size_t t = 0; t < levels.size(); ++t)
    {
        ring[t % ring.size()] = levels[t];
        double sum = 1e-12;
        for (std::size_t k = 0; k < ring.size(); ++k)
            sum += static_cast<double>(kernel[k]) * ring[(t + k) % ring.size()];
        divisors.push_back(sum);
    }
    // 11 frames leave the ring mid-cycle before each reset.
    expectStreamMatches(preNormRecord(kernel), 3, 5, x, divideFrames(in, divisors));

    // By hand: levels 1, 3, 1 with the second frame in slot 1: s = 0.5 x 3 + 0.25 x 1 + 0.25 x 1.
    NeuralModel<float> small;
    ASSERT_TRUE(loadDescription(small, frameGraph(1, 2, {layer("pre", preNormRecord({0.5f, 0.25f, 0.25f}))}, "pre")));
    EXPECT_FLOAT_EQ(pushInRuns(small, {1, -1, 3, 3}, 1, 2, {1}).at(2), 1.5f);
}

TEST(PreNormLayer, EmptyKernelIsRejected)
{
    mw::PreNormLayerRecord record = preNormRecord({1});
    EXPECT_TRUE(loadsLayer(2, 2, record));
    record.kernel = tensorRecord({0}, {});
    EXPECT_FALSE(loadsLayer(2, 2, record));
}

// ---------------------------------------------------------------------------------------------
// ARPreNormLayer

namespace
{

mw::ARPreNormLayerRecord arRecord(float attack, float release, float epsilon)
{
    return {"input", attack, release, epsilon};
}

} // namespace

TEST(ARPreNormLayer, FollowsTheLevelWithAttackAndRelease)
{
    const float attack = 0.9f;
    const float release = 0.5f;
    const float epsilon = 0.01f;
    std::vector<float> x = randomValues(8 * 6, 9);
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] *= (i / 6) % 3 == 0 ? 4.0f : 0.5f;
    // The level starts at zero and moves towards each frame's level, with the attack coefficient
    // while rising and the release coefficient while falling.
    const Frames in(2, 3, x);
    double level = 0.0;
    std::vector<double> divisors;
    for (const double a : frameLevels(in))
    {
        const double coefficient = level < a ? attack : release;
        level = level * coefficient + a * (1.0 - coefficient);
        divisors.push_back(level + static_cast<double>(epsilon));
    }
    expectStreamMatches(arRecord(attack, release, epsilon), 2, 3, x, divideFrames(in, divisors));
}

TEST(ARPreNormLayer, EpsilonMustBePositive)
{
    for (const float epsilon : {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN()})
        EXPECT_FALSE(loadsLayer(1, 1, arRecord(0.9f, 0.5f, epsilon))) << epsilon;
}

// ---------------------------------------------------------------------------------------------
// DenseLayer

namespace
{

mw::DenseLayerRecord denseRecord(int rows, int channels, std::uint32_t seed, bool withBias)
{
    return {"input", randomRecord({rows, rows, channels}, seed),
            withBias ? randomRecord({rows, channels}, seed + 1, 4.0f) : mw::TensorRecord()};
}

} // namespace

TEST(DenseLayer, MixesRowsWithinEachChannel)
{
    struct Case
    {
        int rows, channels;
        bool withBias;
    };
    for (const Case& test : {Case{11, 5, true}, Case{8, 4, false}, Case{17, 9, true}, Case{3, 1, true},
                             Case{1, 6, true}, Case{20, 16, true}})
    {
        SCOPED_TRACE("rows " + std::to_string(test.rows) + " channels " + std::to_string(test.channels));
        const mw::DenseLayerRecord record = denseRecord(test.rows, test.channels, 21, test.withBias);
        const std::vector<float> x = randomValues(static_cast<std::size_t>(3 * test.rows * test.channels), 22);
        // Output row o of channel c: the sum over rows r of weights [o, r, c] x input [r, c].
        const Frames in(test.rows, test.channels, x);
        Frames expected(test.rows, test.channels, 3);
        for (int t = 0; t < 3; ++t)
            for (int o = 0; o < test.rows; ++o)
                for (int c = 0; c < test.channels; ++c)
                {
                    for (int r = 0; r < test.rows; ++r)
                        expected.cell(t, o, c).add(element(record.weights, {o, r, c}) * in.at(t, r, c));
                    if (test.withBias)
                        expected.cell(t, o, c).add(element(record.bias, {o, c}));
                }
        expectStreamMatches(record, test.rows, test.channels, x, expected);
    }
}

TEST(DenseLayer, WeightsAndBiasMustFitTheFrame)
{
    using Record = mw::DenseLayerRecord;
    const Changes<Record> changes{
        {"weights for five rows", [](Record& r) { r.weights = ones(5, 5, 3); }},
        {"weights for two channels", [](Record& r) { r.weights = ones(4, 4, 2); }},
        {"bias of another size", [](Record& r) { r.bias = ones(4, 2); }},
    };
    expectEachRejected(4, 3, denseRecord(4, 3, 1, true), changes);
}
