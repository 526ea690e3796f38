#include "Neural/ConvolutionLayers.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "DspCore/VectorOps.h"

namespace murel
{

namespace
{

using kernels::getAxis;

int getWeightAxis(const Tensor<float>& weights, std::size_t axis)
{
    return weights.shape.size() == 4 ? weights.shape[axis] : 0;
}

/** Latencies add up along a path; nonsense files must not overflow them. */
int addLatency(int downstream, std::int64_t own)
{
    return static_cast<int>(std::clamp(static_cast<std::int64_t>(downstream) + own, static_cast<std::int64_t>(INT_MIN),
                                       static_cast<std::int64_t>(INT_MAX)));
}

/** Smallest q with q * divisor >= numerator, for divisor >= 1. */
int divideRoundingUp(int numerator, int divisor)
{
    return numerator <= 0 ? -((-numerator) / divisor) : (numerator + divisor - 1) / divisor;
}

/** Largest q with q * divisor <= numerator, for divisor >= 1. */
int divideRoundingDown(int numerator, int divisor)
{
    return numerator >= 0 ? numerator / divisor : -((-numerator + divisor - 1) / divisor);
}

bool isBiasUsable(const Tensor<float>& bias, int channels)
{
    return bias.isEmpty() || bias.getNumOfElements() == channels;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// ConvLayer

ConvLayer::ConvLayer(const LayerMap& layers, const ConvLayerRecord& record)
    : BaseLayer<float>(layers, record.source, LayerType::conv)
{
    weights = record.weights.values;
    bias = record.bias.values;
    timeStride = record.timeStride;
    frequencyStride = record.frequencyStride;
    timeDilation = record.timeDilation;
    frequencyDilation = record.frequencyDilation;
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

bool ConvLayer::push(const Tensor<float>& input, BaseLayer<float>*)
{
    if (input.shape.size() != 3 || input.isEmpty())
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

// ---------------------------------------------------------------------------------------------
// TransposedConvLayer

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
    timeDilation = record.timeDilation;
    frequencyDilation = record.frequencyDilation;
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
    sliceInput = Tensor<float>({1, inputRows, inputChannels});
    pendingSlices.clear();
    spareSlices.clear();
    frameCounter = 0;
    configured = true;
    return true;
}

bool TransposedConvLayer::push(const Tensor<float>& input, BaseLayer<float>*)
{
    if (input.shape.size() != 3 || input.isEmpty())
        return false;
    if (!configured && !configure(input.shape[1], input.shape[2]))
        return false;
    if (input.shape[1] != inputRows || input.shape[2] != inputChannels)
        return false;

    const std::size_t frameSize = static_cast<std::size_t>(inputRows) * static_cast<std::size_t>(inputChannels);
    bool reachedOutput = false;
    for (int t = 0; t < input.shape[0]; ++t)
    {
        std::memcpy(sliceInput.data->data, input.getReadPointer() + static_cast<std::size_t>(t) * frameSize,
                    frameSize * sizeof(float));
        reachedOutput = pushTimeSlice(sliceInput) || reachedOutput;
    }
    return reachedOutput;
}

bool TransposedConvLayer::pushTimeSlice(const Tensor<float>& slice)
{
    if (slice.shape.size() != 3 || slice.isEmpty())
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

// ---------------------------------------------------------------------------------------------
// SeparableChannelConvLayer

SeparableChannelConvLayer::SeparableChannelConvLayer(const LayerMap& layers,
                                                     const SeparableChannelConvLayerRecord& record)
    // The recorded type is 14, not the record code 15.
    : BaseLayer<float>(layers, record.source, LayerType::dense)
{
    timeKernel = record.timeKernel.values;
    frequencyKernel = record.frequencyKernel.values;
    numOfTimeTaps = getAxis(timeKernel, 0);
    numOfFrequencyTaps = getAxis(frequencyKernel, 0);
}

bool SeparableChannelConvLayer::propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape)
{
    if (!BaseLayer<float>::propagateShape(inputShapes, outputShape))
        return false;
    if (numOfTimeTaps < 1 || timeKernel.getNumOfElements() < numOfTimeTaps || numOfFrequencyTaps < 1 ||
        frequencyKernel.getNumOfElements() < numOfFrequencyTaps)
        return false;
    if (outputShape.getNumOfElements() * numOfTimeTaps > maxNumOfTensorElements)
        return false;
    expectedRows = outputShape.rows;
    expectedChannels = outputShape.channels;
    return true;
}

std::int64_t SeparableChannelConvLayer::getNumOfStateElements() const
{
    return static_cast<std::int64_t>(numOfTimeTaps + 1) * std::max(expectedRows, 0) * std::max(expectedChannels, 0);
}

bool SeparableChannelConvLayer::push(const Tensor<float>& input, BaseLayer<float>*)
{
    if (input.shape.size() != 3 || input.isEmpty() || numOfTimeTaps < 1 || numOfFrequencyTaps < 1 ||
        timeKernel.getNumOfElements() < numOfTimeTaps || frequencyKernel.getNumOfElements() < numOfFrequencyTaps)
        return false;
    const int rows = input.shape[1];
    const int channels = input.shape[2];
    if (expectedRows < 0)
    {
        expectedRows = rows;
        expectedChannels = channels;
    }
    if (rows != expectedRows || channels != expectedChannels)
        return false;

    const int k = numOfTimeTaps;
    const int centre = (numOfFrequencyTaps - 1) / 2;
    const int startDelay = (k + 1) / 2 - 1;
    const int frameSize = rows * channels;
    if (history.isEmpty())
    {
        history = Tensor<float>({k, rows, channels});
        history.setToZero();
    }
    timeFiltered.ensureShape(1, rows, channels);

    const float* tk = timeKernel.getReadPointer();
    const float* fk = frequencyKernel.getReadPointer();
    const float* hist = history.data->data;
    float* filtered = timeFiltered.data->data;
    bool reachedOutput = false;
    for (int t = 0; t < input.shape[0]; ++t)
    {
        std::memcpy(history.data->data +
                        static_cast<std::size_t>(frameCounter % k) * static_cast<std::size_t>(frameSize),
                    input.getReadPointer() + static_cast<std::size_t>(t) * static_cast<std::size_t>(frameSize),
                    static_cast<std::size_t>(frameSize) * sizeof(float));

        // Tap k reads the frame (frameCounter + K - 1 - k) mod K.
        auto slot = [&](int tap) {
            return hist +
                   static_cast<std::size_t>((frameCounter + k - 1 - tap) % k) * static_cast<std::size_t>(frameSize);
        };
        kernels::scale(slot(0), tk[0], filtered, frameSize);
        for (int tap = 1; tap < k; ++tap)
        {
            const float* x = slot(tap);
            const vec::Float4 weight = vec::broadcast(tk[tap]);
            int i = 0;
            for (; i + vec::numOfLanes <= frameSize; i += vec::numOfLanes)
                vec::store(filtered + i, vec::fma(vec::load(filtered + i), weight, vec::load(x + i)));
            for (; i < frameSize; ++i)
                filtered[i] += tk[tap] * x[i];
        }

        // Each pushed frame gets storage of its own: a receiver may keep the previous one.
        kernels::prepareOutput(output, 1, rows, channels);
        float* out = output.data->data;
        kernels::scale(filtered, fk[centre], out, frameSize);
        for (int l = 0; l < numOfFrequencyTaps; ++l)
        {
            const int d = l - centre;
            if (l == centre || d >= rows || -d >= rows)
                continue;
            // Rows f with 0 <= f - d < rows.
            const int firstRow = std::max(d, 0);
            const int endRow = std::min(rows + d, rows);
            const int n = (endRow - firstRow) * channels;
            float* y = out + static_cast<std::ptrdiff_t>(firstRow) * channels;
            const float* x = filtered + static_cast<std::ptrdiff_t>(firstRow - d) * channels;
            const vec::Float4 weight = vec::broadcast(fk[l]);
            int i = 0;
            for (; i + vec::numOfLanes <= n; i += vec::numOfLanes)
                vec::store(y + i, vec::fma(vec::load(y + i), weight, vec::load(x + i)));
            for (; i < n; ++i)
                y[i] += fk[l] * x[i];
        }

        if (frameCounter >= startDelay)
            reachedOutput = pushToFollowingLayers(output) || reachedOutput;
        ++frameCounter;
    }
    return reachedOutput;
}

void SeparableChannelConvLayer::reset()
{
    if (history.hasStorage())
        history.setToZero();
    frameCounter = 0;
}

} // namespace murel
