#include "Neural/ConvolutionLayers.h"

#include <algorithm>
#include <cstring>

#include "DspCore/VectorOps.h"
#include "Neural/LayerKernels.h"

namespace murel
{

using kernels::getAxis;

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

bool SeparableChannelConvLayer::push(const TensorView<const float>& input, BaseLayer<float>*)
{
    if (input.isEmpty() || numOfTimeTaps < 1 || numOfFrequencyTaps < 1 ||
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
