// A whole encoder/decoder mask network, written with the model writer and run through the model
// C functions, against a reference that evaluates the same network on whole frame sequences in
// double precision.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "Interface/MurelEngine.h"
#include "LayerTestSupport.h"
#include "Processor/ProcessorTestSupport.h"

using namespace murel;
using namespace murel::test;

namespace
{

/** Every value mapped through function. */
template <typename Function>
Frames map(const Frames& in, Function function)
{
    Frames out(in.rows, in.channels, in.count());
    for (std::size_t i = 0; i < in.values.size(); ++i)
        out.values[i].add(function(in.values[i].value));
    return out;
}

/** The channels of a, then those of b, for the frames both have: queued layers pair the k-th
    frames of their inputs. */
Frames concat(const Frames& a, const Frames& b)
{
    Frames out(a.rows, a.channels + b.channels, std::min(a.count(), b.count()));
    for (int t = 0; t < out.count(); ++t)
        for (int f = 0; f < out.rows; ++f)
            for (int c = 0; c < out.channels; ++c)
                out.cell(t, f, c).add(c < a.channels ? a.at(t, f, c) : b.at(t, f, c - a.channels));
    return out;
}

// ---------------------------------------------------------------------------------------------
// The network: 24 bins of one complex channel (two columns).

constexpr int numOfBins = 24;

struct Network
{
    mw::ConvLayerRecord encoder1;
    mw::ConvLayerRecord encoder2;
    mw::NormLayerRecord bottleneckNorm;
    mw::SelfAttentionLayerRecord attention;
    mw::TransposedConvLayerRecord decoder2;
    mw::ConvLayerRecord decoder1;
    mw::NormLayerRecord outputNorm;
    float slope = 0.1f;

    Network()
    {
        std::uint32_t seed = 1000;
        auto random = [&seed](std::vector<int> shape, float range)
        { return randomRecord(std::move(shape), ++seed, range); };
        // 2 -> 6 channels, full resolution.
        encoder1 = {"input", random({3, 3, 2, 6}, 0.5f), random({6}, 0.1f), 1, 1, 1, 1, 0};
        // 6 -> 10 channels, half the rows and half the frames.
        encoder2 = {"act1", random({2, 3, 6, 10}, 0.3f), random({10}, 0.1f), 2, 2, 1, 1, 1};
        bottleneckNorm = {"enc2", 1, random({10}, 1.0f), random({10}, 0.2f)};
        attention = {"norm2", random({10, 10}, 0.4f), random({12, 10}, 0.2f), 0, random({2, 10}, 0.8f)};
        // 10 -> 6 channels, back to full rows and frames.
        decoder2 = {"att", random({3, 4, 6, 10}, 0.3f), random({6}, 0.1f), 6, 2, 2, 1, 1, 1};
        // 12 -> 2 channels: the mask.
        decoder1 = {"skip", random({2, 3, 12, 2}, 0.3f), random({2}, 0.1f), 1, 1, 2, 1, 0};
        outputNorm = {"dec1", 0, random({2}, 1.0f), random({2}, 0.5f)};
    }

    mw::ModelDescription describe() const
    {
        mw::ModelDescription description =
            complexModel(numOfBins,
                         {layer("enc1", encoder1), layer("act1", mw::LeakyReLULayerRecord{"enc1", slope}),
                          layer("enc2", encoder2), layer("norm2", bottleneckNorm), layer("att", attention),
                          layer("dec2", decoder2), layer("skip", mw::ConcatLayerRecord{{"dec2", "act1"}}),
                          layer("dec1", decoder1), layer("norm1", outputNorm), activation("mask", 6, "norm1")},
                         "mask");
        description.header.fftSize = 46;
        description.header.windowSize = 46;
        description.header.hopSize = 23;
        return description;
    }

    /** The mask for the frames x [T, bins, 2] taken as one whole sequence. */
    Frames reference(const std::vector<float>& x) const
    {
        const Frames act1 = map(referenceConv(encoder1, Frames(numOfBins, 2, x)),
                                [this](double v) { return v < 0 ? static_cast<double>(slope) * v : v; });
        const Frames bottleneck =
            referenceAttention(attention, referenceNorm(bottleneckNorm, referenceConv(encoder2, act1)));
        const Frames skip = concat(referenceTransposed(decoder2, bottleneck), act1);
        return map(referenceNorm(outputNorm, referenceConv(decoder1, skip)),
                   [](double v) { return 1.0 / (1.0 + std::exp(-std::clamp(v, -10.0, 10.0))); });
    }
};

/** Pushes the frames x [T, bins, 2] in blocks of the given lengths; the joined results. */
std::vector<float> run(void* model, const std::vector<float>& x, const std::vector<int>& blocks)
{
    std::vector<float> joined;
    const float* next = x.data();
    for (const int block : blocks)
    {
        const int shape[3] = {block, numOfBins, 2};
        murelAddTensor(model, next, 3, shape);
        next += block * numOfBins * 2;
        int resultShape[3] = {0, 0, 0};
        if (!murelGetResultTensorShape(model, 3, resultShape))
            continue;
        EXPECT_EQ(resultShape[1], numOfBins);
        EXPECT_EQ(resultShape[2], 2);
        std::vector<float> result(static_cast<std::size_t>(resultShape[0] * numOfBins * 2));
        EXPECT_TRUE(murelGetTensor(model, result.data()));
        joined.insert(joined.end(), result.begin(), result.end());
    }
    EXPECT_EQ(next, x.data() + x.size());
    return joined;
}

} // namespace

TEST(EncoderDecoderGraph, MaskMatchesTheReferenceNetwork)
{
    const Network network;
    const TemporaryModelFile file(network.describe());
    void* model = murelCreateModel(file.c_str());
    ASSERT_NE(model, nullptr);
    MurelModelInfo info{};
    murelGetModelInfo(model, &info);
    // The strided encoder's offset (1) plus the transposed decoder's offset at two input frames
    // per frame (2).
    EXPECT_EQ(info.modelLatency, 3);

    const std::vector<float> x = randomValues(40 * numOfBins * 2, 77, 2.0f);
    const std::vector<float> mask = run(model, x, std::vector<int>(40, 1));
    const Frames expected = network.reference(x);
    // One frame out per frame in once the decoder runs; the rest is still inside the graph.
    ASSERT_GE(mask.size(), static_cast<std::size_t>((40 - info.modelLatency) * numOfBins * 2));
    ASSERT_LE(mask.size(), expected.values.size());
    for (std::size_t i = 0; i < mask.size(); ++i)
    {
        ASSERT_GT(mask[i], 0.0f);
        ASSERT_LT(mask[i], 1.0f);
        ASSERT_NEAR(mask[i], expected.values[i].value, 2e-5) << "frame " << i / (numOfBins * 2);
    }

    // After a reset the network runs exactly as after loading, and blocks of frames give the
    // same mask. Blocks release queued decoder frames at other moments, so the counts can
    // differ at the end.
    murelResetModelState(model);
    EXPECT_EQ(run(model, x, std::vector<int>(40, 1)), mask);
    murelResetModelState(model);
    const std::vector<float> blocks = run(model, x, {5, 1, 7, 3, 8, 16});
    const std::size_t common = std::min(blocks.size(), mask.size());
    EXPECT_GE(common, static_cast<std::size_t>((40 - 4) * numOfBins * 2));
    EXPECT_TRUE(std::equal(blocks.begin(), blocks.begin() + static_cast<std::ptrdiff_t>(common), mask.begin()));
    murelDeleteModel(model);
}

TEST(EncoderDecoderGraph, MalformedLayerMakesTheModelUnloadable)
{
    Network broken;
    // A decoder whose weights expect 12 input channels where 10 arrive.
    broken.decoder2.weights = randomRecord({3, 4, 6, 12}, 5);
    const TemporaryModelFile file(broken.describe());
    EXPECT_EQ(murelCreateModel(file.c_str()), nullptr);
}
