// A whole encoder/decoder mask network, written with the model writer and run through the model
// C functions, against a reference that evaluates the same network on whole frame sequences in
// double precision.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "Interface/MurelEngine.h"
#include "ModelTestSupport.h"

using namespace murel::test;

namespace
{

// ---------------------------------------------------------------------------------------------
// Reference: every layer maps the sequence of frames it receives to the sequence it emits.
// Queued layers pair the k-th frames of their inputs, so sequences compose by index.

struct Sequence
{
    int rows = 0;
    int channels = 0;
    std::vector<std::vector<double>> frames;

    double at(std::size_t t, int row, int channel) const
    {
        return frames[t][static_cast<std::size_t>(row * channels + channel)];
    }
    std::vector<double> newFrame() const { return std::vector<double>(static_cast<std::size_t>(rows * channels)); }
};

double valueAt(const mw::TensorRecord& tensor, int index)
{
    return static_cast<double>(tensor.values[static_cast<std::size_t>(index)]);
}

double weightAt(const mw::TensorRecord& tensor, int a, int b, int c, int d)
{
    const std::vector<int>& s = tensor.shape;
    return valueAt(tensor, ((a * s[1] + b) * s[2] + c) * s[3] + d);
}

Sequence conv(const Sequence& in, const mw::ConvLayerRecord& record)
{
    const int kernelTime = record.weights.shape[0];
    const int kernelFrequency = record.weights.shape[1];
    Sequence out;
    out.rows = in.rows / record.frequencyStride;
    out.channels = record.weights.shape[3];
    const int pad = (kernelFrequency - record.frequencyStride) / 2;
    for (int t = record.timeOffset; t < static_cast<int>(in.frames.size()); t += record.timeStride)
    {
        std::vector<double> frame = out.newFrame();
        for (int o = 0; o < out.rows; ++o)
            for (int co = 0; co < out.channels; ++co)
            {
                double sum = record.bias.values.empty() ? 0.0 : valueAt(record.bias, co);
                for (int kt = 0; kt < kernelTime; ++kt)
                {
                    const int past = t - (kernelTime - 1 - kt) * record.timeDilation;
                    for (int kf = 0; kf < kernelFrequency && past >= 0; ++kf)
                    {
                        const int row = o * record.frequencyStride - pad + kf;
                        if (row >= 0 && row < in.rows)
                            for (int ci = 0; ci < in.channels; ++ci)
                                sum += in.at(static_cast<std::size_t>(past), row, ci) *
                                       weightAt(record.weights, kt, kf, ci, co);
                    }
                }
                frame[static_cast<std::size_t>(o * out.channels + co)] = sum;
            }
        out.frames.push_back(frame);
    }
    return out;
}

Sequence transposedConv(const Sequence& in, const mw::TransposedConvLayerRecord& record)
{
    const int kernelTime = record.weights.shape[0];
    const int kernelFrequency = record.weights.shape[1];
    const int stride = record.timeStride;
    Sequence all;
    all.rows = in.rows * record.frequencyStride;
    all.channels = record.weights.shape[2];
    const int pad = (kernelFrequency - record.frequencyStride) / 2;
    const int numOfFrames = static_cast<int>(in.frames.size()) * stride;
    for (int n = 0; n < numOfFrames; ++n)
    {
        std::vector<double> frame = all.newFrame();
        for (int o = 0; o < all.rows; ++o)
            for (int co = 0; co < all.channels; ++co)
            {
                double sum = valueAt(record.bias, co);
                for (int kt = n % stride; kt < kernelTime; kt += stride)
                {
                    const int t = (n - kt) / stride;
                    if (t < 0)
                        continue;
                    for (int f = 0; f < in.rows; ++f)
                    {
                        const int kf = o - (f * record.frequencyStride - pad);
                        if (kf >= 0 && kf < kernelFrequency)
                            for (int ci = 0; ci < in.channels; ++ci)
                                sum += weightAt(record.weights, kt, kf, co, ci) *
                                       in.at(static_cast<std::size_t>(t), f, ci);
                    }
                }
                frame[static_cast<std::size_t>(o * all.channels + co)] = sum;
            }
        all.frames.push_back(frame);
    }
    all.frames.erase(all.frames.begin(), all.frames.begin() + record.timeOffset);
    return all;
}

Sequence norm(const Sequence& in, const mw::NormLayerRecord& record)
{
    Sequence out = in;
    for (std::vector<double>& frame : out.frames)
        for (int row = 0; row < in.rows; ++row)
        {
            double* x = frame.data() + row * in.channels;
            double gain = 1.0;
            if (record.mode == 1)
            {
                double sum = 0.0;
                for (int c = 0; c < in.channels; ++c)
                    sum += x[c] * x[c];
                gain = 1.0 / (std::sqrt(sum / in.channels) + 1e-12);
            }
            for (int c = 0; c < in.channels; ++c)
                x[c] = x[c] * gain * valueAt(record.scale, c) +
                       (record.offset.values.empty() ? 0.0 : valueAt(record.offset, c));
        }
    return out;
}

Sequence selfAttention(const Sequence& in, const mw::SelfAttentionLayerRecord& record)
{
    const int taps = record.contextKernel.shape.empty() ? 0 : record.contextKernel.shape[0];
    const int channels = in.channels;
    Sequence out = in;
    for (std::size_t t = 0; t < in.frames.size(); ++t)
        for (int f = 0; f < in.rows; ++f)
        {
            std::vector<double> z(static_cast<std::size_t>(channels));
            for (int c = 0; c < channels; ++c)
                for (int k = 0; k < taps; ++k)
                {
                    const int past = static_cast<int>(t) - (taps - 1 - k);
                    if (past >= 0)
                        z[static_cast<std::size_t>(c)] += valueAt(record.contextKernel, k * channels + c) *
                                                          in.at(static_cast<std::size_t>(past), f, c);
                }
            for (int j = 0; j < channels; ++j)
            {
                double sum = valueAt(record.bias, f * channels + j);
                for (int i = 0; i < channels; ++i)
                    sum += z[static_cast<std::size_t>(i)] * valueAt(record.weights, i * channels + j);
                out.frames[t][static_cast<std::size_t>(f * channels + j)] = sum;
            }
        }
    return out;
}

Sequence concat(const Sequence& a, const Sequence& b)
{
    Sequence out;
    out.rows = a.rows;
    out.channels = a.channels + b.channels;
    for (std::size_t t = 0; t < std::min(a.frames.size(), b.frames.size()); ++t)
    {
        std::vector<double> frame = out.newFrame();
        for (int f = 0; f < out.rows; ++f)
            for (int c = 0; c < out.channels; ++c)
                frame[static_cast<std::size_t>(f * out.channels + c)] =
                    c < a.channels ? a.at(t, f, c) : b.at(t, f, c - a.channels);
        out.frames.push_back(frame);
    }
    return out;
}

template <typename Function>
Sequence map(Sequence in, Function function)
{
    for (std::vector<double>& frame : in.frames)
        for (double& value : frame)
            value = function(value);
    return in;
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
        {
            std::size_t count = 1;
            for (const int axis : shape)
                count *= static_cast<std::size_t>(axis);
            return tensorRecord(std::move(shape), randomValues(count, ++seed, range));
        };
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

    Sequence reference(const std::vector<float>& x, int numOfFrames) const
    {
        Sequence in;
        in.rows = numOfBins;
        in.channels = 2;
        for (int t = 0; t < numOfFrames; ++t)
            in.frames.emplace_back(x.begin() + t * numOfBins * 2, x.begin() + (t + 1) * numOfBins * 2);
        const Sequence act1 =
            map(conv(in, encoder1), [this](double v) { return v < 0 ? static_cast<double>(slope) * v : v; });
        const Sequence bottleneck = selfAttention(norm(conv(act1, encoder2), bottleneckNorm), attention);
        const Sequence skip = concat(transposedConv(bottleneck, decoder2), act1);
        return map(norm(conv(skip, decoder1), outputNorm),
                   [](double v)
                   {
                       const double e = std::exp(std::clamp(v, -10.0, 10.0));
                       return e / (e + 1.0);
                   });
    }
};

class EncoderDecoderGraph : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/murel-graph-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory = pattern;
        path = directory + "/denoiser.model";
        ASSERT_TRUE(mw::saveModel(network.describe(), path));
    }
    void TearDown() override
    {
        std::remove(path.c_str());
        std::remove(directory.c_str());
    }

    /** Pushes frames [1, bins, 2] one by one; the frames of all results, in order. */
    static std::vector<std::vector<float>> runFrames(void* model, const std::vector<float>& x, int numOfFrames)
    {
        std::vector<std::vector<float>> frames;
        const int frameSize = numOfBins * 2;
        for (int t = 0; t < numOfFrames; ++t)
        {
            const int shape[3] = {1, numOfBins, 2};
            murelAddTensor(model, x.data() + t * frameSize, 3, shape);
            int resultShape[3] = {0, 0, 0};
            if (!murelGetResultTensorShape(model, 3, resultShape))
                continue;
            EXPECT_EQ(resultShape[1], numOfBins);
            EXPECT_EQ(resultShape[2], 2);
            std::vector<float> result(static_cast<std::size_t>(resultShape[0] * frameSize));
            EXPECT_TRUE(murelGetTensor(model, result.data()));
            for (int o = 0; o < resultShape[0]; ++o)
                frames.emplace_back(result.begin() + o * frameSize, result.begin() + (o + 1) * frameSize);
        }
        return frames;
    }

    Network network;
    std::string directory;
    std::string path;
};

} // namespace

TEST_F(EncoderDecoderGraph, MaskMatchesTheReferenceNetwork)
{
    void* model = murelCreateModel(path.c_str());
    ASSERT_NE(model, nullptr);
    MurelModelInfo info{};
    murelGetModelInfo(model, &info);
    // The strided encoder's offset (1) plus the transposed decoder's offset at two input frames
    // per frame (2).
    EXPECT_EQ(info.modelLatency, 3);

    const int numOfFrames = 40;
    const std::vector<float> x = randomValues(static_cast<std::size_t>(numOfFrames * numOfBins * 2), 77, 2.0f);
    const std::vector<std::vector<float>> frames = runFrames(model, x, numOfFrames);
    const Sequence expected = network.reference(x, numOfFrames);
    // One frame out per frame in once the decoder runs; the rest is still inside the graph.
    ASSERT_GE(frames.size(), static_cast<std::size_t>(numOfFrames - info.modelLatency));
    ASSERT_LE(frames.size(), expected.frames.size());
    for (std::size_t t = 0; t < frames.size(); ++t)
        for (std::size_t i = 0; i < frames[t].size(); ++i)
        {
            ASSERT_GT(frames[t][i], 0.0f);
            ASSERT_LT(frames[t][i], 1.0f);
            ASSERT_NEAR(frames[t][i], expected.frames[t][i], 2e-5) << "frame " << t << " element " << i;
        }

    // After a reset the network runs exactly as after loading.
    murelResetModelState(model);
    EXPECT_EQ(runFrames(model, x, numOfFrames), frames);
    murelDeleteModel(model);
}

TEST_F(EncoderDecoderGraph, BlocksOfFramesGiveTheSameMask)
{
    void* model = murelCreateModel(path.c_str());
    ASSERT_NE(model, nullptr);
    const int numOfFrames = 24;
    const std::vector<float> x = randomValues(static_cast<std::size_t>(numOfFrames * numOfBins * 2), 78, 2.0f);
    const std::vector<std::vector<float>> single = runFrames(model, x, numOfFrames);

    murelResetModelState(model);
    std::vector<float> joined;
    const int runs[] = {5, 1, 7, 3, 8};
    int t = 0;
    for (const int run : runs)
    {
        const int shape[3] = {run, numOfBins, 2};
        murelAddTensor(model, x.data() + t * numOfBins * 2, 3, shape);
        t += run;
        int resultShape[3] = {0, 0, 0};
        if (!murelGetResultTensorShape(model, 3, resultShape))
            continue;
        std::vector<float> result(static_cast<std::size_t>(resultShape[0] * resultShape[1] * resultShape[2]));
        ASSERT_TRUE(murelGetTensor(model, result.data()));
        joined.insert(joined.end(), result.begin(), result.end());
    }
    ASSERT_EQ(t, numOfFrames);
    std::vector<float> expected;
    for (const std::vector<float>& frame : single)
        expected.insert(expected.end(), frame.begin(), frame.end());
    // Blocks release queued decoder frames at other moments, so the counts can differ at the end.
    const std::size_t common = std::min(joined.size(), expected.size());
    EXPECT_GE(common, static_cast<std::size_t>((numOfFrames - 4) * numOfBins * 2));
    EXPECT_EQ(std::vector<float>(joined.begin(), joined.begin() + static_cast<std::ptrdiff_t>(common)),
              std::vector<float>(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(common)));
    murelDeleteModel(model);
}

TEST_F(EncoderDecoderGraph, MalformedLayerMakesTheModelUnloadable)
{
    Network broken;
    // A decoder whose weights expect 12 input channels where 10 arrive.
    broken.decoder2.weights = tensorRecord({3, 4, 6, 12}, randomValues(3 * 4 * 6 * 12, 5));
    const std::string brokenPath = directory + "/broken.model";
    ASSERT_TRUE(mw::saveModel(broken.describe(), brokenPath));
    EXPECT_EQ(murelCreateModel(brokenPath.c_str()), nullptr);
    std::remove(brokenPath.c_str());
}
