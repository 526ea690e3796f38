#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

#include "Format/ModelWriter.h"
#include "Neural/MemoryInputStream.h"
#include "Neural/NeuralModel.h"

namespace murel::test
{

namespace mw = murel::modelwriter;

inline std::shared_ptr<MemoryInputStream> makeStream(const std::vector<std::uint8_t>& bytes)
{
    return std::make_shared<MemoryInputStream>(bytes);
}

/** Loads bytes into model; false when the loader rejects them. */
inline bool loadBytes(NeuralModel<float>& model, const std::vector<std::uint8_t>& bytes)
{
    return model.loadModel(makeStream(bytes));
}

/** Whether a fresh model loads the file written from description. */
inline bool loads(const mw::ModelDescription& description)
{
    NeuralModel<float> model;
    return loadBytes(model, mw::writeModel(description));
}

inline mw::TensorRecord tensorRecord(std::vector<int> shape, const std::vector<float>& values)
{
    return mw::TensorRecord(std::move(shape), values);
}

/** A model with these packings over numInputChannels running the given layers, whose output is
    outputSource. */
inline mw::ModelDescription packedModel(mw::Packing input, mw::Packing output, int numInputChannels = 1,
                                        std::vector<mw::LayerRecord> layers = {}, std::string outputSource = "input")
{
    mw::ModelDescription description;
    description.header.numInputChannels = numInputChannels;
    description.header.inputPacking = input;
    description.header.outputPacking = output;
    description.layers = std::move(layers);
    description.outputSource = std::move(outputSource);
    return description;
}

/** packedModel with input and output packing code 4 over numBins bins. */
inline mw::ModelDescription complexModel(int numBins, std::vector<mw::LayerRecord> layers, std::string outputSource,
                                         int numInputChannels = 1)
{
    const mw::Packing packing = mw::Packing::plain(PackingCode::realAndImaginary, numBins);
    return packedModel(packing, packing, numInputChannels, std::move(layers), std::move(outputSource));
}

inline mw::LayerRecord layer(std::string name, mw::LayerBody body)
{
    return mw::LayerRecord{std::move(name), std::move(body)};
}

inline mw::LayerRecord activation(std::string name, int type, std::string source)
{
    return layer(std::move(name), mw::ActivationLayerRecord{static_cast<LayerType>(type), std::move(source)});
}

inline std::vector<float> randomValues(std::size_t count, std::uint32_t seed, float range = 4.0f)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> distribution(-range, range);
    std::vector<float> values(count);
    for (float& value : values)
        value = distribution(generator);
    return values;
}

/** A tensor record of that shape with values uniform in [-range, range]. */
inline mw::TensorRecord randomRecord(std::vector<int> shape, std::uint32_t seed, float range = 1.0f)
{
    std::size_t count = 1;
    for (const int axis : shape)
        count *= static_cast<std::size_t>(axis);
    return tensorRecord(std::move(shape), randomValues(count, seed, range));
}

/** A tensor record of the given axes filled with ones; no axes, no values. */
template <typename... Axes>
mw::TensorRecord ones(Axes... axes)
{
    const std::vector<int> shape{axes...};
    std::size_t count = shape.empty() ? 0 : 1;
    for (const int axis : shape)
        count *= static_cast<std::size_t>(axis);
    return tensorRecord(shape, std::vector<float>(count, 1.0f));
}

/** A tensor of that shape holding values, which must fill it exactly. */
inline Tensor<float> makeTensor(const std::vector<int>& shape, const std::vector<float>& values)
{
    Tensor<float> tensor(shape);
    if (values.size() != static_cast<std::size_t>(tensor.getNumOfElements()))
        throw std::invalid_argument("values do not fill the tensor");
    if (float* data = tensor.getWritePointer())
        std::copy(values.begin(), values.end(), data);
    return tensor;
}

inline std::vector<float> toVector(const Tensor<float>& tensor)
{
    const int count = tensor.getNumOfElements();
    if (count == 0)
        return {};
    return std::vector<float>(tensor.getReadPointer(), tensor.getReadPointer() + count);
}

} // namespace murel::test
