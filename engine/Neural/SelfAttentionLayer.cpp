#include "Neural/SelfAttentionLayer.h"

#include <cstring>

namespace murel
{

SelfAttentionLayer::SelfAttentionLayer(const LayerMap& layers, const SelfAttentionLayerRecord& record)
    : BaseLayer<float>(layers, record.source, LayerType::selfAttention)
{
    weights = record.weights.values;
    bias = record.bias.values;
    outputDelay = record.outputDelay;
    contextKernel = record.contextKernel.values;
    contextLength = contextKernel.isEmpty() ? 0 : kernels::getAxis(contextKernel, 0);
}

bool SelfAttentionLayer::propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape)
{
    return BaseLayer<float>::propagateShape(inputShapes, outputShape) &&
           configure(outputShape.rows, outputShape.channels);
}

std::int64_t SelfAttentionLayer::getNumOfStateElements() const
{
    return history.getNumOfElements() + contextMix.getNumOfElements();
}

bool SelfAttentionLayer::configure(int rows, int channels)
{
    configured = false;
    const std::int64_t frameSize = static_cast<std::int64_t>(rows) * channels;
    if (rows < 1 || channels < 1 || outputDelay < 0)
        return false;
    if (weights.getNumOfElements() != static_cast<std::int64_t>(channels) * channels ||
        bias.getNumOfElements() != frameSize)
        return false;
    if (contextLength > 0 && (contextKernel.getNumOfElements() != static_cast<std::int64_t>(contextLength) * channels ||
                              frameSize * contextLength > maxNumOfTensorElements))
        return false;

    numOfRows = rows;
    numOfChannels = channels;
    packedWeights = kernels::PackedMatrix(weights.getReadPointer(), channels, channels);
    if (contextLength > 0)
    {
        history = Tensor<float>({contextLength, rows, channels});
        history.setToZero();
        contextMix = Tensor<float>({rows, channels});
        taps.assign(static_cast<std::size_t>(contextLength), nullptr);
        tapWeights.clear();
        for (int k = 0; k < contextLength; ++k)
            tapWeights.push_back(contextKernel.getReadPointer() + static_cast<std::ptrdiff_t>(k) * channels);
    }
    frameCounter = 0;
    configured = true;
    return true;
}

bool SelfAttentionLayer::push(const TensorView<const float>& input, BaseLayer<float>*)
{
    if (input.isEmpty())
        return false;
    if (!configured && !configure(input.shape[1], input.shape[2]))
        return false;
    if (input.shape[1] != numOfRows || input.shape[2] != numOfChannels)
        return false;

    const int numOfFrames = input.shape[0];
    const std::ptrdiff_t frameSize = static_cast<std::ptrdiff_t>(numOfRows) * numOfChannels;
    const bool delayed = outputDelay >= 1;
    if (!delayed)
        kernels::prepareOutput(output, input.shape);
    bool reachedOutput = false;
    for (int t = 0; t < numOfFrames; ++t)
    {
        // A delayed layer pushes frame by frame: each pushed frame keeps storage of its own.
        if (delayed)
            kernels::prepareOutput(output, 1, numOfRows, numOfChannels);
        const float* z = filterContext(input.getReadPointer() + t * frameSize);
        float* out = output.data->data + (delayed ? 0 : t * frameSize);
        const kernels::Segment segment{z, 0, numOfChannels};
        packedWeights.multiply(&segment, 1, numOfChannels, numOfRows, out, numOfChannels, bias.getReadPointer(),
                               numOfChannels);
        if (delayed && frameCounter >= outputDelay)
            reachedOutput = pushToFollowingLayers(output) || reachedOutput;
        ++frameCounter;
    }
    if (outputDelay == 0)
        reachedOutput = pushToFollowingLayers(output);
    return reachedOutput;
}

const float* SelfAttentionLayer::filterContext(const float* frame)
{
    if (contextLength == 0)
        return frame;
    const std::size_t frameSize = static_cast<std::size_t>(numOfRows) * static_cast<std::size_t>(numOfChannels);
    float* ring = history.data->data;
    std::memcpy(ring + static_cast<std::size_t>(frameCounter % contextLength) * frameSize, frame,
                frameSize * sizeof(float));
    // Tap 0 weights the oldest frame kept, the last tap the newest.
    for (int k = 0; k < contextLength; ++k)
        taps[static_cast<std::size_t>(k)] =
            ring + static_cast<std::size_t>((frameCounter + 1 + k) % contextLength) * frameSize;
    float* mix = contextMix.data->data;
    for (int f = 0; f < numOfRows; ++f)
        kernels::multiplyAccumulateChannels(taps.data(), static_cast<std::ptrdiff_t>(f) * numOfChannels,
                                            tapWeights.data(), contextLength, nullptr,
                                            mix + static_cast<std::ptrdiff_t>(f) * numOfChannels, numOfChannels);
    return mix;
}

void SelfAttentionLayer::reset()
{
    if (history.hasStorage())
        history.setToZero();
    frameCounter = 0;
}

int SelfAttentionLayer::measureLatency(int k)
{
    return kernels::addLatency(measureFollowingLatency(k), outputDelay);
}

} // namespace murel
