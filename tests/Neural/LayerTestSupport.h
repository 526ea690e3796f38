#pragma once

// Helpers for the tests of the streaming layers: graphs over plain [rows, channels] frames,
// a probe layer that records what reaches it, and comparison against references in double.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ModelTestSupport.h"

namespace murel::test
{

/** A model whose input tensors are [T, rows, channels] (magnitude packing, one column per input
    channel) running the given layers. The output packing does not constrain the output shape. */
inline mw::ModelDescription frameGraph(int rows, int channels, std::vector<mw::LayerRecord> layers, std::string output,
                                       int version = 4106)
{
    mw::ModelDescription description;
    description.header.version = version;
    description.header.numInputChannels = channels;
    description.header.inputPacking = mw::Packing::plain(1, rows);
    description.header.outputPacking = mw::Packing::history(rows, 0, 1);
    description.layers = std::move(layers);
    description.outputSource = std::move(output);
    return description;
}

/** Loads a description into model; false when the loader rejects it. */
inline bool loadDescription(NeuralModel<float>& model, const mw::ModelDescription& description)
{
    return loadBytes(model, mw::writeModel(description));
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

/** Records every push (keeping the tensor, as an output layer does) and every triggerForward
    that reaches it. */
class ProbeLayer : public BaseLayer<float>
{
public:
    explicit ProbeLayer(BaseLayer<float>* source, bool result = true) : pushResult(result) { connectTo(source); }

    bool push(const Tensor<float>& input, BaseLayer<float>*) override
    {
        events.push_back('p');
        frames.push_back(input);
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
                                     int channels, const std::vector<int>& runs, int* numOfOutputFrames = nullptr)
{
    const std::size_t frameSize = static_cast<std::size_t>(rows) * static_cast<std::size_t>(channels);
    const int numOfFrames = static_cast<int>(values.size() / frameSize);
    std::vector<float> joined;
    int outputFrames = 0;
    std::size_t run = 0;
    for (int t = 0; t < numOfFrames;)
    {
        const int length = std::min(runs[run++ % runs.size()], numOfFrames - t);
        const std::vector<float> part(
            values.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(t) * frameSize),
            values.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(t + length) * frameSize));
        const Tensor<float> result = model.pushTensor(makeTensor({length, rows, channels}, part));
        const std::vector<float> out = toVector(result);
        joined.insert(joined.end(), out.begin(), out.end());
        outputFrames += result.shape.empty() ? 0 : result.shape[0];
        t += length;
    }
    if (numOfOutputFrames != nullptr)
        *numOfOutputFrames = outputFrames;
    return joined;
}

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

} // namespace murel::test
