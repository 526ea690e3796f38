#include "Neural/CombiningLayers.h"

#include <cstring>

#include "DspCore/VectorOps.h"
#include "Neural/LayerKernels.h"

namespace murel
{

namespace
{

/** r[k] = combine(r[k], x[k]) for k < n, four at a time. */
template <typename VectorOperation, typename ScalarOperation>
void combine(float* r, const float* x, int n, VectorOperation vectorOperation, ScalarOperation scalarOperation)
{
    int k = 0;
    for (; k + vec::numOfLanes <= n; k += vec::numOfLanes)
        vec::store(r + k, vectorOperation(vec::load(r + k), vec::load(x + k)));
    for (; k < n; ++k)
        r[k] = scalarOperation(r[k], x[k]);
}

} // namespace

ConcatLayer::ConcatLayer(const LayerMap& layers, const ConcatLayerRecord& record)
    : BaseQueuedLayer<float>(layers, record.sources, LayerType::concat)
{
}

bool ConcatLayer::propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape)
{
    if (!BaseQueuedLayer<float>::propagateShape(inputShapes, outputShape))
        return false;
    std::int64_t channels = 0;
    for (const FrameShape& shape : inputShapes)
    {
        if (shape.rows < outputShape.rows)
            return false;
        channels += shape.channels;
    }
    if (channels > maxNumOfTensorElements)
        return false;
    outputShape.channels = static_cast<int>(channels);
    return true;
}

bool ConcatLayer::push(const std::vector<TensorView<const float>>& frames, const std::vector<BaseLayer<float>*>&)
{
    const int numOfFrames = frames.empty() ? 0 : frames.front().shape[0];
    const int rows = frames.empty() ? 0 : frames.front().shape[1];
    int totalChannels = 0;
    for (const TensorView<const float>& x : frames)
        totalChannels += x.shape[2];

    output.ensureShape(numOfFrames, rows, totalChannels);
    float* out = output.data->data;
    int offset = 0;
    for (const TensorView<const float>& x : frames)
    {
        const int channels = x.shape[2];
        const int inputRows = x.shape[1];
        if (channels > 0)
        {
            const float* in = x.getReadPointer();
            for (int t = 0; t < numOfFrames; ++t)
                for (int f = 0; f < rows; ++f)
                {
                    const std::size_t source = (static_cast<std::size_t>(t) * static_cast<std::size_t>(inputRows) +
                                                static_cast<std::size_t>(f)) *
                                               static_cast<std::size_t>(channels);
                    const std::size_t target =
                        (static_cast<std::size_t>(t) * static_cast<std::size_t>(rows) + static_cast<std::size_t>(f)) *
                            static_cast<std::size_t>(totalChannels) +
                        static_cast<std::size_t>(offset);
                    std::memcpy(out + target, in + source, static_cast<std::size_t>(channels) * sizeof(float));
                }
        }
        offset += channels;
    }
    return pushToFollowingLayers(output);
}

ArithmeticLayer::ArithmeticLayer(const LayerMap& layers, const ArithmeticLayerRecord& record)
    : BaseQueuedLayer<float>(layers, record.sources, LayerType::arithmetic), operation(record.operation)
{
}

bool ArithmeticLayer::propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape)
{
    if (!BaseQueuedLayer<float>::propagateShape(inputShapes, outputShape))
        return false;
    for (const FrameShape& shape : inputShapes)
        if (shape.getNumOfElements() < outputShape.getNumOfElements())
            return false;
    return true;
}

bool ArithmeticLayer::push(const std::vector<TensorView<const float>>& frames, const std::vector<BaseLayer<float>*>&)
{
    if (frames.empty())
        return false;
    // A frame of its own, written over in place: the queued frames are kept for reuse.
    kernels::prepareOutput(combinedFrame, frames.front().shape);
    const int n = combinedFrame.getNumOfElements();
    float* r = combinedFrame.data != nullptr ? combinedFrame.data->data : nullptr;
    if (n > 0)
        std::memcpy(r, frames.front().getReadPointer(), static_cast<std::size_t>(n) * sizeof(float));
    for (std::size_t i = 1; i < frames.size() && n > 0; ++i)
    {
        const float* x = frames[i].getReadPointer();
        switch (operation)
        {
        case multiply:
            combine(r, x, n, vec::mul, [](float a, float b) { return a * b; });
            break;
        case divide:
            combine(
                r, x, n, [](vec::Float4 a, vec::Float4 b) { return vec::div(b, a); },
                [](float a, float b) { return b / a; });
            break;
        case add:
            combine(r, x, n, vec::add, [](float a, float b) { return a + b; });
            break;
        case subtract:
            combine(
                r, x, n, [](vec::Float4 a, vec::Float4 b) { return vec::sub(b, a); },
                [](float a, float b) { return b - a; });
            break;
        default:
            break;
        }
    }
    return pushToFollowingLayers(combinedFrame);
}

FrequencyRescaleLayer::FrequencyRescaleLayer(const LayerMap& layers, const FrequencyRescaleLayerRecord& record)
    : BaseLayer<float>(layers, record.source, LayerType::frequencyRescale)
{
    for (const FrequencyBandRecord& stored : record.bands)
    {
        const Band& band = bands.emplace_back(Band{stored.start, stored.weights.values});
        bandLengths.push_back(band.weights.shape.empty() ? 0 : band.weights.shape.front());
        bandStarts.push_back(band.start);
        bandWeights.push_back(band.weights.getReadPointer());
    }
    bandCount = static_cast<int>(bands.size());
}

bool FrequencyRescaleLayer::propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape)
{
    if (!BaseLayer<float>::propagateShape(inputShapes, outputShape))
        return false;
    const int rows = inputShapes.front().rows;
    auto band = bands.begin();
    for (int m = 0; m < bandCount; ++m, ++band)
    {
        const int length = bandLengths[static_cast<std::size_t>(m)];
        const int start = bandStarts[static_cast<std::size_t>(m)];
        if (length < 1 || band->weights.getNumOfElements() < length || start < 0 || start > rows - length)
            return false;
    }
    outputShape.rows = bandCount;
    return true;
}

bool FrequencyRescaleLayer::push(const TensorView<const float>& input, BaseLayer<float>*)
{
    const int numOfFrames = input.shape[0];
    const int rows = input.shape[1];
    const int channels = input.shape[2];
    output.ensureShape(numOfFrames, bandCount, channels);
    const float* in = input.getReadPointer();
    float* out = output.data->data;
    const std::size_t rowSize = static_cast<std::size_t>(channels);
    for (int t = 0; t < numOfFrames; ++t)
    {
        const float* frameIn = in + static_cast<std::size_t>(t) * static_cast<std::size_t>(rows) * rowSize;
        float* frameOut = out + static_cast<std::size_t>(t) * static_cast<std::size_t>(bandCount) * rowSize;
        for (std::size_t m = 0; m < static_cast<std::size_t>(bandCount); ++m)
        {
            const float* w = bandWeights[m];
            const int length = bandLengths[m];
            const float* x = frameIn + static_cast<std::size_t>(bandStarts[m]) * rowSize;
            float* y = frameOut + m * rowSize;
            int c = 0;
            for (; c + vec::numOfLanes <= channels; c += vec::numOfLanes)
            {
                vec::Float4 sum = vec::mul(vec::broadcast(w[0]), vec::load(x + c));
                for (int k = 1; k < length; ++k)
                    sum = vec::fma(sum, vec::broadcast(w[k]), vec::load(x + static_cast<std::size_t>(k) * rowSize + c));
                vec::store(y + c, sum);
            }
            for (; c < channels; ++c)
            {
                float sum = w[0] * x[c];
                for (int k = 1; k < length; ++k)
                    sum += w[k] * x[static_cast<std::size_t>(k) * rowSize + static_cast<std::size_t>(c)];
                y[c] = sum;
            }
        }
    }
    return pushToFollowingLayers(output);
}

} // namespace murel
