#include "Neural/ConvolutionLayers.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "Neural/LayerKernels.h"

namespace murel
{

using kernels::addLatency;
using kernels::divideRoundingDown;
using kernels::divideRoundingUp;
using kernels::getWeightAxis;
using kernels::isBiasUsable;

ConvLayer::ConvLayer(const LayerMap& layers, const ConvLayerRecord& record)
    : BaseLayer<float>(layers, record.source, LayerType::conv)
{
    weights = record.weights.values;
    bias = record.bias.values;
    timeStride = record.timeStride;
    frequencyStride = record.frequencyStride;
    timeDilation = record.timeDilation;
    timeOffset = record.timeOffset;
    kernelTime = getWeightAxis(weights, 0);
    kernelFrequency = getWeightAxis(weights, 1);
    inputChannels = getWeightAxis(weights, 2);
    outputChannels = getWeightAxis(weights, 3);
}

bool ConvLayer::propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape)
{
    if (!BaseLayer<float>::propagateShape(inputShapes, outputShape))
        return false;
    if (!configure(inputShapes.front().rows, inputShapes.front().channels))
        return false;
    outputShape.rows = outputRows;
    outputShape.channels = outputChannels;
    return outputShape.scaleRate(1, timeStride);
}

std::int64_t ConvLayer::getNumOfStateElements() const
{
    return history.getNumOfElements();
}

bool ConvLayer::configure(int rows, int channels)
{
    configured = false;
    if (kernelTime < 1 || kernelFrequency < 1 || inputChannels < 1 || outputChannels < 1 ||
        !isBiasUsable(bias, outputChannels))
        return false;
    if (timeStride < 1 || frequencyStride < 1 || timeDilation < 1 || timeOffset < 0)
        return false;
    if (rows < 1 || channels < 1)
        return false;

    depthwise = inputChannels == 1 && channels != 1;
    if (depthwise ? outputChannels % channels != 0 : channels != inputChannels)
        return false;
    historyChannels = depthwise ? outputChannels : channels;
    outputRows = rows / frequencyStride;
    if (outputRows < 1)
        return false;
    const std::int64_t length = static_cast<std::int64_t>(kernelTime - 1) * timeDilation + 1;
    if (length * rows * historyChannels > maxNumOfTensorElements ||
        static_cast<std::int64_t>(outputRows) * outputChannels > maxNumOfTensorElements)
        return false;
    historyLength = static_cast<int>(length);

    inputRows = rows;
    frameChannels = channels;
    pad = (kernelFrequency - frequencyStride) / 2;
    firstInnerRow = std::max(divideRoundingUp(pad, frequencyStride), 0);
    endInnerRow = std::min(divideRoundingDown(rows - kernelFrequency + pad, frequencyStride) + 1, outputRows);
    endInnerRow = std::max(endInnerRow, firstInnerRow);

    if (!depthwise)
        packedWeights = kernels::PackedMatrix(weights.getReadPointer(), kernelTime * kernelFrequency * inputChannels,
                                              outputChannels);
    segments.assign(static_cast<std::size_t>(kernelTime), kernels::Segment());
    slots.assign(static_cast<std::size_t>(kernelTime), nullptr);
    const std::size_t numOfTaps = static_cast<std::size_t>(kernelTime) * static_cast<std::size_t>(kernelFrequency);
    tapRows.assign(depthwise ? numOfTaps : 0, nullptr);
    tapWeights.assign(depthwise ? numOfTaps : 0, nullptr);
    history = Tensor<float>({historyLength, rows, historyChannels});
    history.setToZero();
    frameCounter = 0;
    configured = true;
    return true;
}

bool ConvLayer::push(const TensorView<const float>& input, BaseLayer<float>*)
{
    if (input.isEmpty())
        return false;
    if (!configured && !configure(input.shape[1], input.shape[2]))
        return false;
    // Frames the weights were not set up for are ignored.
    if (input.shape[1] != inputRows || input.shape[2] != frameChannels)
        return false;

    const std::size_t frameSize = static_cast<std::size_t>(inputRows) * static_cast<std::size_t>(frameChannels);
    const float* in = input.getReadPointer();
    bool reachedOutput = false;
    for (int t = 0; t < input.shape[0]; ++t)
    {
        writeHistory(in + static_cast<std::size_t>(t) * frameSize);
        if (frameCounter >= timeOffset && (frameCounter - timeOffset) % timeStride == 0)
        {
            computeOutput();
            reachedOutput = pushToFollowingLayers(output) || reachedOutput;
        }
        else
        {
            triggerFollowingLayers();
        }
        ++frameCounter;
    }
    return reachedOutput;
}

void ConvLayer::writeHistory(const float* frame)
{
    const std::size_t slotSize = static_cast<std::size_t>(inputRows) * static_cast<std::size_t>(historyChannels);
    float* slot = history.data->data + static_cast<std::size_t>(frameCounter % historyLength) * slotSize;
    const int repeat = historyChannels / frameChannels;
    if (repeat < 2)
    {
        std::memcpy(slot, frame, slotSize * sizeof(float));
        return;
    }
    for (int f = 0; f < inputRows; ++f)
    {
        const float* x = frame + static_cast<std::ptrdiff_t>(f) * frameChannels;
        float* y = slot + static_cast<std::ptrdiff_t>(f) * historyChannels;
        for (int c = 0; c < frameChannels; ++c)
            std::fill_n(y + c * repeat, repeat, x[c]);
    }
}

void ConvLayer::computeOutput()
{
    kernels::prepareOutput(output, 1, outputRows, outputChannels);
    const std::size_t slotSize = static_cast<std::size_t>(inputRows) * static_cast<std::size_t>(historyChannels);
    for (int kt = 0; kt < kernelTime; ++kt)
    {
        const std::int64_t slot = (frameCounter + 1 + static_cast<std::int64_t>(kt) * timeDilation) % historyLength;
        slots[static_cast<std::size_t>(kt)] = history.data->data + static_cast<std::size_t>(slot) * slotSize;
    }
    if (depthwise)
        computeDepthwise(slots.data(), output.data->data);
    else
        computeNormal(slots.data(), output.data->data);
}

void ConvLayer::computeNormal(const float* const* slotRows, float* out)
{
    const float* start = bias.isEmpty() ? nullptr : bias.getReadPointer();
    const int h = historyChannels;
    if (endInnerRow > firstInnerRow)
    {
        const int firstRow = firstInnerRow * frequencyStride - pad;
        for (int kt = 0; kt < kernelTime; ++kt)
            segments[static_cast<std::size_t>(kt)] = {slotRows[kt] + static_cast<std::ptrdiff_t>(firstRow) * h,
                                                      kt * kernelFrequency * h, kernelFrequency * h};
        packedWeights.multiply(
            segments.data(), kernelTime, static_cast<std::ptrdiff_t>(frequencyStride) * h, endInnerRow - firstInnerRow,
            out + static_cast<std::ptrdiff_t>(firstInnerRow) * outputChannels, outputChannels, start, 0);
    }

    // Rows whose taps reach past the edges use only the taps inside.
    for (int o = 0; o < outputRows; ++o)
    {
        if (o == firstInnerRow && endInnerRow > firstInnerRow)
            o = endInnerRow;
        if (o >= outputRows)
            break;
        const int firstRow = o * frequencyStride - pad;
        const int firstTap = std::max(0, -firstRow);
        const int endTap = std::min(kernelFrequency, inputRows - firstRow);
        int numOfSegments = 0;
        for (int kt = 0; kt < kernelTime && endTap > firstTap; ++kt)
            segments[static_cast<std::size_t>(numOfSegments++)] = {
                slotRows[kt] + static_cast<std::ptrdiff_t>(firstRow + firstTap) * h,
                (kt * kernelFrequency + firstTap) * h, (endTap - firstTap) * h};
        packedWeights.multiply(segments.data(), numOfSegments, 0, 1,
                               out + static_cast<std::ptrdiff_t>(o) * outputChannels, outputChannels, start, 0);
    }
}

void ConvLayer::computeDepthwise(const float* const* slotRows, float* out)
{
    const float* start = bias.isEmpty() ? nullptr : bias.getReadPointer();
    const int h = historyChannels;
    const float* w = weights.getReadPointer();
    // Tap pointers in the order of the sum: time tap, then frequency tap.
    std::vector<const float*>& x = tapRows;
    std::vector<const float*>& wt = tapWeights;
    for (int o = 0; o < outputRows; ++o)
    {
        const int firstRow = o * frequencyStride - pad;
        const int firstTap = std::max(0, -firstRow);
        const int endTap = std::min(kernelFrequency, inputRows - firstRow);
        int numOfTaps = 0;
        for (int kt = 0; kt < kernelTime; ++kt)
            for (int kf = firstTap; kf < endTap; ++kf)
            {
                x[static_cast<std::size_t>(numOfTaps)] = slotRows[kt] + static_cast<std::ptrdiff_t>(firstRow + kf) * h;
                wt[static_cast<std::size_t>(numOfTaps)] =
                    w + static_cast<std::ptrdiff_t>(kt * kernelFrequency + kf) * h;
                ++numOfTaps;
            }
        kernels::multiplyAccumulateChannels(x.data(), 0, wt.data(), numOfTaps, start,
                                            out + static_cast<std::ptrdiff_t>(o) * h, h);
    }
}

void ConvLayer::reset()
{
    if (history.hasStorage())
        history.setToZero();
    frameCounter = 0;
}

int ConvLayer::measureLatency(int k)
{
    const std::int64_t scaled = std::min(static_cast<std::int64_t>(k) * timeStride, static_cast<std::int64_t>(INT_MAX));
    return addLatency(measureFollowingLatency(static_cast<int>(scaled)), static_cast<std::int64_t>(k) * timeOffset);
}

} // namespace murel
