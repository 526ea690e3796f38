#pragma once

// Helpers for the tests of the streaming layers: graphs over plain [rows, channels] frames, a
// probe layer that records what reaches it, and plain references in double for the layers, shared
// by the layer tests and the whole-graph test.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ModelTestSupport.h"

namespace murel::test
{

/** A model whose input tensors are [T, rows, channels] (magnitude packing, one column per input
    channel) running the given layers. The output packing does not constrain the output shape. */
inline mw::ModelDescription frameGraph(int rows, int channels, std::vector<mw::LayerRecord> layers, std::string output,
                                       int version = newestModelVersion)
{
    mw::ModelDescription description =
        packedModel(mw::Packing::plain(PackingCode::magnitudes, rows), mw::Packing::history(rows, 0, 1), channels,
                    std::move(layers), std::move(output));
    description.header.version = version;
    return description;
}

/** Loads a description into model; false when the loader rejects it. */
inline bool loadDescription(NeuralModel<float>& model, const mw::ModelDescription& description)
{
    return loadBytes(model, mw::writeModel(description));
}

/** Whether a graph of the one layer "x" over [rows, channels] frames loads. */
inline bool loadsLayer(int rows, int channels, mw::LayerBody body)
{
    return loads(frameGraph(rows, channels, {layer("x", std::move(body))}, "x"));
}

/** Named changes of a layer record. */
template <typename Record>
using Changes = std::vector<std::pair<const char*, std::function<void(Record&)>>>;

/** good loads as the only layer over [rows, channels] frames, and each change of it does not. */
template <typename Record>
void expectEachRejected(int rows, int channels, const Record& good, const Changes<Record>& changes)
{
    ASSERT_TRUE(loadsLayer(rows, channels, good));
    for (const auto& [what, change] : changes)
    {
        Record record = good;
        change(record);
        EXPECT_FALSE(loadsLayer(rows, channels, record)) << what;
    }
}

/** The layer of that name and class; throws when there is none. */
template <typename LayerClass>
LayerClass& findLayer(NeuralModel<float>& model, const std::string& name)
{
    auto* found = dynamic_cast<LayerClass*>(std::get<std::shared_ptr<BaseLayer<float>>>(model.layers.at(name)).get());
    if (found == nullptr)
        throw std::runtime_error("no layer " + name + " of that class");
    return *found;
}

/** Records every push (keeping a copy of the tensor, as an output layer does) and every triggerForward
    that reaches it. */
class ProbeLayer : public BaseLayer<float>
{
public:
    explicit ProbeLayer(BaseLayer<float>* source, bool result = true) : pushResult(result) { connectTo(source); }

    bool push(const TensorView<const float>& input, BaseLayer<float>*) override
    {
        events.push_back('p');
        frames.emplace_back().assign(input);
        return pushResult;
    }
    void triggerForward() override { events.push_back('t'); }

    bool pushResult;
    std::string events;
    std::vector<Tensor<float>> frames;
};

/** Frames [T, rows, channels] out of values, pushed in runs of the given lengths (cycled until
    every frame went in); the joined results of all pushes, frame after frame. */
inline std::vector<float> pushInRuns(NeuralModel<float>& model, const std::vector<float>& values, int rows,
                                     int channels, const std::vector<int>& runs)
{
    const std::size_t frameSize = static_cast<std::size_t>(rows) * static_cast<std::size_t>(channels);
    const int numOfFrames = static_cast<int>(values.size() / frameSize);
    std::vector<float> joined;
    std::size_t run = 0;
    for (int t = 0; t < numOfFrames;)
    {
        const int length = std::min(runs[run++ % runs.size()], numOfFrames - t);
        const std::vector<float> part(
            values.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(t) * frameSize),
            values.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(t + length) * frameSize));
        const std::vector<float> out = toVector(model.pushTensor(makeTensor({length, rows, channels}, part)));
        joined.insert(joined.end(), out.begin(), out.end());
        t += length;
    }
    return joined;
}

/** Push patterns for the reference comparisons: single frames, one block, irregular blocks. */
const std::vector<std::vector<int>> runPatterns{{1}, {100}, {2, 3, 1}, {4, 1}};

/** A reference value with the sum of the magnitudes of its terms, which bounds the rounding
    error of any summation order. */
struct Reference
{
    double value = 0.0;
    double magnitude = 0.0;

    void add(double term)
    {
        value += term;
        magnitude += std::fabs(term);
    }
};

inline void expectMatches(const std::vector<float>& actual, const std::vector<Reference>& expected,
                          const std::string& context = "")
{
    ASSERT_EQ(actual.size(), expected.size()) << context;
    for (std::size_t i = 0; i < actual.size(); ++i)
    {
        const double tolerance = 1e-5 * expected[i].magnitude + 1e-6;
        ASSERT_NEAR(actual[i], expected[i].value, tolerance) << context << " element " << i;
    }
}

/** The element of a record at the given index, row-major over its shape. */
inline double element(const mw::TensorRecord& tensor, std::initializer_list<int> index)
{
    std::size_t flat = 0;
    std::size_t axis = 0;
    for (const int i : index)
        flat = flat * static_cast<std::size_t>(tensor.values.shape.at(axis++)) + static_cast<std::size_t>(i);
    if (flat >= static_cast<std::size_t>(tensor.values.getNumOfElements()))
        throw std::out_of_range("element: index outside the tensor");
    return static_cast<double>(tensor.values.getReadPointer()[flat]);
}

/** Reference frames [T, rows, channels]. */
struct Frames
{
    int rows = 0;
    int channels = 0;
    std::vector<Reference> values;

    Frames(int numOfRows, int numOfChannels, int numOfFrames = 0)
        : rows(numOfRows), channels(numOfChannels), values(static_cast<std::size_t>(numOfFrames * rows * channels))
    {
    }
    Frames(int numOfRows, int numOfChannels, const std::vector<float>& x) : Frames(numOfRows, numOfChannels)
    {
        for (const float v : x)
            values.push_back({v, std::fabs(v)});
    }

    int count() const { return static_cast<int>(values.size()) / (rows * channels); }
    std::size_t index(int t, int row, int channel) const
    {
        return static_cast<std::size_t>((t * rows + row) * channels + channel);
    }
    /** The value at t; frames before the first are silence. */
    double at(int t, int row, int channel) const { return t < 0 ? 0.0 : values[index(t, row, channel)].value; }
    Reference& cell(int t, int row, int channel) { return values[index(t, row, channel)]; }
};

/** Runs the one layer over the frames x [T, rows, channels], pushed in each run pattern with a
    reset before each, and expects the reference every time, to the same floats. The patterns
    end with rings and phases mid-cycle, so each reset must bring back a fresh layer. */
inline void expectStreamMatches(const mw::LayerBody& body, int rows, int channels, const std::vector<float>& x,
                                const Frames& expected, int version = newestModelVersion)
{
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(rows, channels, {layer("x", body)}, "x", version)));
    std::vector<float> first;
    for (const std::vector<int>& runs : runPatterns)
    {
        model.reset();
        const std::vector<float> actual = pushInRuns(model, x, rows, channels, runs);
        expectMatches(actual, expected.values, "runs of " + std::to_string(runs.front()));
        if (first.empty())
            first = actual;
        else
            EXPECT_EQ(actual, first) << "runs of " << runs.front();
    }
}

/** Direct convolution over the causal past: the frames a ConvLayer emits. Weights are [time taps,
    frequency taps, input channels, output channels]; depthwise with one weight input channel. */
inline Frames referenceConv(const mw::ConvLayerRecord& r, const Frames& in)
{
    const std::vector<int>& k = r.weights.values.shape;
    const bool depthwise = k[2] == 1 && in.channels != 1;
    const int pad = (k[1] - r.frequencyStride) / 2;
    Frames out(in.rows / r.frequencyStride, k[3]);
    for (int t = r.timeOffset; t < in.count(); t += r.timeStride)
    {
        const int n = out.count();
        out.values.resize(out.values.size() + static_cast<std::size_t>(out.rows * out.channels));
        for (int o = 0; o < out.rows; ++o)
            for (int co = 0; co < out.channels; ++co)
            {
                Reference& sum = out.cell(n, o, co);
                if (!r.bias.values.isEmpty())
                    sum.add(element(r.bias, {co}));
                for (int kt = 0; kt < k[0]; ++kt)
                    for (int kf = 0; kf < k[1]; ++kf)
                    {
                        const int past = t - (k[0] - 1 - kt) * r.timeDilation;
                        const int row = o * r.frequencyStride - pad + kf;
                        if (row < 0 || row >= in.rows)
                            continue;
                        if (depthwise)
                            sum.add(in.at(past, row, co / (out.channels / in.channels)) *
                                    element(r.weights, {kt, kf, 0, co}));
                        else
                            for (int ci = 0; ci < in.channels; ++ci)
                                sum.add(in.at(past, row, ci) * element(r.weights, {kt, kf, ci, co}));
                    }
            }
    }
    return out;
}

/** The transposed scatter written out: input frame t reaches output frame t x timeStride + kt
    through time tap kt; every frame from timeOffset to the last one any input reaches. Weights
    are [time taps, frequency taps, output channels, input channels]; depthwise with one weight
    output channel and more output channels. */
inline Frames referenceTransposed(const mw::TransposedConvLayerRecord& r, const Frames& in)
{
    const std::vector<int>& k = r.weights.values.shape;
    const bool depthwise = k[2] == 1 && r.outputChannels > 1;
    const int pad = (k[1] - r.frequencyStride) / 2;
    Frames out(in.rows * r.frequencyStride, depthwise ? in.channels : k[2], in.count() * r.timeStride);
    if (!r.bias.values.isEmpty())
        for (std::size_t i = 0; i < out.values.size(); ++i)
            out.values[i].add(element(r.bias, {static_cast<int>(i) % out.channels}));
    for (int t = 0; t < in.count(); ++t)
        for (int kt = 0; kt < k[0] && t * r.timeStride + kt < out.count(); ++kt)
            for (int f = 0; f < in.rows; ++f)
                for (int kf = 0; kf < k[1]; ++kf)
                {
                    const int o = f * r.frequencyStride - pad + kf;
                    if (o < 0 || o >= out.rows)
                        continue;
                    for (int co = 0; co < out.channels; ++co)
                    {
                        Reference& target = out.cell(t * r.timeStride + kt, o, co);
                        if (depthwise)
                            target.add(element(r.weights, {kt, kf, 0, co}) * in.at(t, f, co));
                        else
                            for (int ci = 0; ci < in.channels; ++ci)
                                target.add(element(r.weights, {kt, kf, co, ci}) * in.at(t, f, ci));
                    }
                }
    out.values.erase(out.values.begin(),
                     out.values.begin() + static_cast<std::ptrdiff_t>(out.index(r.timeOffset, 0, 0)));
    return out;
}

/** Each row times scale plus offset; mode 1 first divides the row by its root mean square. */
inline Frames referenceNorm(const mw::NormLayerRecord& r, const Frames& in)
{
    Frames out(in.rows, in.channels, in.count());
    for (int t = 0; t < in.count(); ++t)
        for (int row = 0; row < in.rows; ++row)
        {
            double sum = 0.0;
            for (int c = 0; c < in.channels; ++c)
                sum += in.at(t, row, c) * in.at(t, row, c);
            const double gain = r.mode == 1 ? 1.0 / (std::sqrt(sum / in.channels) + 1e-12) : 1.0;
            for (int c = 0; c < in.channels; ++c)
            {
                out.cell(t, row, c).add(in.at(t, row, c) * gain * element(r.scale, {c}));
                if (!r.offset.values.isEmpty())
                    out.cell(t, row, c).add(element(r.offset, {c}));
            }
        }
    return out;
}

/** Per channel, the context kernel over the causal past (tap 0 the oldest frame, none: the frame
    itself), then the channel mix [in, out] and the bias [rows, channels]; the first outputDelay
    frames are withheld. */
inline Frames referenceAttention(const mw::SelfAttentionLayerRecord& r, const Frames& in)
{
    const int taps = r.contextKernel.values.shape.empty() ? 0 : r.contextKernel.values.shape[0];
    Frames out(in.rows, in.channels, std::max(in.count() - r.outputDelay, 0));
    for (int t = r.outputDelay; t < in.count(); ++t)
        for (int f = 0; f < in.rows; ++f)
        {
            std::vector<Reference> z(static_cast<std::size_t>(in.channels));
            for (int c = 0; c < in.channels; ++c)
            {
                if (taps == 0)
                    z[static_cast<std::size_t>(c)].add(in.at(t, f, c));
                for (int k = 0; k < taps; ++k)
                    z[static_cast<std::size_t>(c)].add(element(r.contextKernel, {k, c}) *
                                                       in.at(t - (taps - 1 - k), f, c));
            }
            for (int j = 0; j < in.channels; ++j)
            {
                Reference& sum = out.cell(t - r.outputDelay, f, j);
                sum.add(element(r.bias, {f, j}));
                for (int i = 0; i < in.channels; ++i)
                {
                    const double w = element(r.weights, {i, j});
                    sum.value += z[static_cast<std::size_t>(i)].value * w;
                    sum.magnitude += z[static_cast<std::size_t>(i)].magnitude * std::fabs(w);
                }
            }
        }
    return out;
}

} // namespace murel::test
