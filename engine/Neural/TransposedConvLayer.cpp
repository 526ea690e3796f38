#include "Neural/ConvolutionLayers.h"

#include <algorithm>
#include <cstring>

#include "DspCore/VectorOps.h"
#include "Neural/LayerKernels.h"

namespace murel
{

using kernels::addLatency;
using kernels::divideRoundingDown;
using kernels::divideRoundingUp;
using kernels::getWeightAxis;
using kernels::isBiasUsable;

TransposedConvLayer::TransposedConvLayer(const LayerMap& layers, const TransposedConvLayerRecord& record)
    : BaseLayer<float>(layers, record.source, LayerType::transposedConv)
{
    weights = record.weights.values;
    bias = record.bias.values;
    kernelTime = getWeightAxis(weights, 0);
    kernelFrequency = getWeightAxis(weights, 1);
    weightOutputChannels = getWeightAxis(weights, 2);
    inputChannels = getWeightAxis(weights, 3);
    // Files before version 4104 take the count from the weights.
    outputChannels = record.outputChannels >= 0 ? record.outputChannels : weightOutputChannels;
    timeStride = record.timeStride;
    frequencyStride = record.frequencyStride;
    timeOffset = record.timeOffset;
}

bool TransposedConvLayer::propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape)
{
    if (!BaseLayer<float>::propagateShape(inputShapes, outputShape))
        return false;
    if (!configure(inputShapes.front().rows, inputShapes.front().channels))
        return false;
    outputShape.rows = outputRows;
    outputShape.channels = outputChannels;
    return outputShape.scaleRate(timeStride, 1);
}

std::int64_t TransposedConvLayer::getNumOfStateElements() const
{
    // The ring, one input slice and the frames of one input waiting to leave.
    const std::int64_t frame = static_cast<std::int64_t>(outputRows) * outputChannels;
    return accumulator.getNumOfElements() + static_cast<std::int64_t>(inputRows) * inputChannels +
           static_cast<std::int64_t>(timeStride) * frame;
}

bool TransposedConvLayer::configure(int rows, int channels)
{
    configured = false;
    if (kernelTime < 1 || kernelFrequency < 1 || weightOutputChannels < 1 || inputChannels < 1)
        return false;
    if (timeStride < 1 || frequencyStride < 1 || timeOffset < 0)
        return false;
    depthwise = weightOutputChannels == 1 && outputChannels != 1;
    if (outputChannels != (depthwise ? inputChannels : weightOutputChannels) || !isBiasUsable(bias, outputChannels))
        return false;
    if (rows < 1 || channels != inputChannels)
        return false;
    const std::int64_t numOfOutputRows = static_cast<std::int64_t>(rows) * frequencyStride;
    const int length = std::max(timeStride, kernelTime);
    if (numOfOutputRows * outputChannels * length > maxNumOfTensorElements)
        return false;

    inputRows = rows;
    outputRows = static_cast<int>(numOfOutputRows);
    ringLength = length;
    pad = (kernelFrequency - frequencyStride) / 2;
    if (!depthwise)
    {
        // Scatter as a product: rows (time tap, frequency tap, input channel), columns output
        // channels.
        const int numOfRows = kernelTime * kernelFrequency * inputChannels;
        std::vector<float> transposed(static_cast<std::size_t>(numOfRows) *
                                      static_cast<std::size_t>(weightOutputChannels));
        const float* w = weights.getReadPointer();
        for (int tap = 0; tap < kernelTime * kernelFrequency; ++tap)
            for (int co = 0; co < weightOutputChannels; ++co)
                for (int ci = 0; ci < inputChannels; ++ci)
                    transposed[(static_cast<std::size_t>(tap) * static_cast<std::size_t>(inputChannels) +
                                static_cast<std::size_t>(ci)) *
                                   static_cast<std::size_t>(weightOutputChannels) +
                               static_cast<std::size_t>(co)] =
                        w[(static_cast<std::size_t>(tap) * static_cast<std::size_t>(weightOutputChannels) +
                           static_cast<std::size_t>(co)) *
                              static_cast<std::size_t>(inputChannels) +
                          static_cast<std::size_t>(ci)];
        packedWeights = kernels::PackedMatrix(transposed.data(), numOfRows, weightOutputChannels);
    }
    accumulator = Tensor<float>({ringLength, outputRows, outputChannels});
    accumulator.setToZero();
    pendingSlices.clear();
    spareSlices.clear();
    frameCounter = 0;
    configured = true;
    return true;
}

bool TransposedConvLayer::push(const TensorView<const float>& input, BaseLayer<float>*)
{
    if (input.isEmpty())
        return false;
    if (!configured && !configure(input.shape[1], input.shape[2]))
        return false;
    if (input.shape[1] != inputRows || input.shape[2] != inputChannels)
        return false;

    bool reachedOutput = false;
    for (int t = 0; t < input.shape[0]; ++t)
        reachedOutput =
            pushTimeSlice(TensorView<const float>(input.getFrame(t), 1, inputRows, inputChannels)) || reachedOutput;
    return reachedOutput;
}

bool TransposedConvLayer::pushTimeSlice(const TensorView<const float>& slice)
{
    if (slice.isEmpty())
        return false;
    if (!configured && !configure(slice.shape[1], slice.shape[2]))
        return false;
    if (slice.shape[1] != inputRows || slice.shape[2] != inputChannels)
        return false;

    scatter(slice.getReadPointer());
    emit();

    const std::size_t slotSize = static_cast<std::size_t>(outputRows) * static_cast<std::size_t>(outputChannels);
    float* ring = accumulator.data->data;
    if (timeStride < kernelTime)
    {
        for (int j = 0; j < timeStride; ++j)
            std::fill_n(ring + static_cast<std::size_t>((frameCounter + kernelTime + j) % ringLength) * slotSize,
                        slotSize, 0.0f);
    }
    else
    {
        std::fill_n(ring, static_cast<std::size_t>(ringLength) * slotSize, 0.0f);
    }
    frameCounter += timeStride;
    return deliver();
}

void TransposedConvLayer::scatter(const float* slice)
{
    const std::size_t slotSize = static_cast<std::size_t>(outputRows) * static_cast<std::size_t>(outputChannels);
    const float* w = weights.getReadPointer();
    for (int kt = 0; kt < kernelTime; ++kt)
    {
        float* slot = accumulator.data->data + static_cast<std::size_t>((frameCounter + kt) % ringLength) * slotSize;
        for (int kf = 0; kf < kernelFrequency; ++kf)
        {
            // Input rows f whose target row f * frequencyStride - pad + kf lies inside.
            const int firstRow = std::max(divideRoundingUp(pad - kf, frequencyStride), 0);
            const int lastRow = std::min(divideRoundingDown(outputRows - 1 + pad - kf, frequencyStride), inputRows - 1);
            if (lastRow < firstRow)
                continue;
            float* target = slot + static_cast<std::ptrdiff_t>(firstRow * frequencyStride - pad + kf) * outputChannels;
            const std::ptrdiff_t targetStride = static_cast<std::ptrdiff_t>(frequencyStride) * outputChannels;
            const int tap = kt * kernelFrequency + kf;
            if (depthwise)
            {
                const float* tapWeights = w + static_cast<std::ptrdiff_t>(tap) * inputChannels;
                for (int f = firstRow; f <= lastRow; ++f, target += targetStride)
                {
                    const float* x = slice + static_cast<std::ptrdiff_t>(f) * inputChannels;
                    int c = 0;
                    for (; c + vec::numOfLanes <= inputChannels; c += vec::numOfLanes)
                        vec::store(target + c,
                                   vec::fma(vec::load(target + c), vec::load(tapWeights + c), vec::load(x + c)));
                    for (; c < inputChannels; ++c)
                        target[c] += tapWeights[c] * x[c];
                }
                continue;
            }
            const kernels::Segment segment{slice + static_cast<std::ptrdiff_t>(firstRow) * inputChannels,
                                           tap * inputChannels, inputChannels};
            packedWeights.multiply(&segment, 1, inputChannels, lastRow - firstRow + 1, target, targetStride, target,
                                   targetStride);
        }
    }
}

void TransposedConvLayer::emit()
{
    const std::int64_t emitted = frameCounter + timeStride - timeOffset;
    if (emitted <= 0)
        return;
    const std::int64_t numOfFrames = std::min(emitted, static_cast<std::int64_t>(timeStride));
    const std::size_t slotSize = static_cast<std::size_t>(outputRows) * static_cast<std::size_t>(outputChannels);
    const float* b = bias.isEmpty() ? nullptr : bias.getReadPointer();
    for (std::int64_t i = 0; i < numOfFrames; ++i)
    {
        const std::int64_t n = frameCounter + timeStride - numOfFrames + i;
        // Delivered frames' nodes carry the next ones; their storage is replaced only when a
        // receiver still holds it.
        if (spareSlices.empty())
            pendingSlices.emplace_back();
        else
            pendingSlices.splice(pendingSlices.end(), spareSlices, spareSlices.begin());
        Tensor<float>& slice = pendingSlices.back();
        kernels::prepareOutput(slice, 1, outputRows, outputChannels);
        float* out = slice.data->data;
        std::memcpy(out, accumulator.data->data + static_cast<std::size_t>(n % ringLength) * slotSize,
                    slotSize * sizeof(float));
        if (b != nullptr)
            for (int o = 0; o < outputRows; ++o)
            {
                float* row = out + static_cast<std::ptrdiff_t>(o) * outputChannels;
                int c = 0;
                for (; c + vec::numOfLanes <= outputChannels; c += vec::numOfLanes)
                    vec::store(row + c, vec::add(vec::load(row + c), vec::load(b + c)));
                for (; c < outputChannels; ++c)
                    row[c] += b[c];
            }
    }
}

bool TransposedConvLayer::deliver()
{
    while (!pendingSlices.empty())
    {
        const bool reachedOutput = pushToFollowingLayers(pendingSlices.front());
        spareSlices.splice(spareSlices.end(), pendingSlices, pendingSlices.begin());
        if (reachedOutput)
            return true;
    }
    return false;
}

void TransposedConvLayer::triggerForward()
{
    deliver();
    triggerFollowingLayers();
}

void TransposedConvLayer::reset()
{
    if (accumulator.hasStorage())
        accumulator.setToZero();
    spareSlices.splice(spareSlices.end(), pendingSlices);
    frameCounter = 0;
}

int TransposedConvLayer::measureLatency(int k)
{
    return addLatency(measureFollowingLatency(k / timeStride), static_cast<std::int64_t>(k) * timeOffset);
}

} // namespace murel
