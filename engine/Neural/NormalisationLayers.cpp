#include "Neural/NormalisationLayers.h"

#include <cmath>
#include <cstring>

#include "DspCore/VectorOps.h"
#include "Neural/LayerKernels.h"

namespace murel
{

namespace
{

using kernels::getAxis;
using vec::Float4;

constexpr float rmsEpsilon = 1e-12f;

/** Output rows a dense tile accumulates at once. */
constexpr int denseTileRows = 8;

/** Root mean square of n values. */
float rms(const float* x, int n)
{
    return std::sqrt(kernels::sumOfSquares(x, n) / static_cast<float>(n));
}

/** y[c] = y[c] * s[c] (+ o[c]), c < n. */
void scaleAndOffset(float* y, const float* s, const float* o, int n)
{
    int c = 0;
    for (; c + vec::numOfLanes <= n; c += vec::numOfLanes)
    {
        Float4 v = vec::mul(vec::load(y + c), vec::load(s + c));
        if (o != nullptr)
            v = vec::add(v, vec::load(o + c));
        vec::store(y + c, v);
    }
    for (; c < n; ++c)
    {
        y[c] = y[c] * s[c];
        if (o != nullptr)
            y[c] = y[c] + o[c];
    }
}

/** rows output rows of one four-channel column: acc[o] = sum over r of w[r][o] * x[r]. The
    weights come packed as [r][o][4 lanes], so they are read in one stream. */
template <std::size_t rows>
const float* mixTile(const float* x, std::ptrdiff_t xRowStride, int numOfInputRows, const float* w, const float* b,
                     std::ptrdiff_t bRowStride, float* y, std::ptrdiff_t yRowStride)
{
    Float4 acc[rows];
    for (std::size_t o = 0; o < rows; ++o)
        acc[o] = vec::zero();
    for (int r = 0; r < numOfInputRows; ++r, w += rows * vec::numOfLanes)
    {
        const Float4 xv = vec::load(x + r * xRowStride);
        for (std::size_t o = 0; o < rows; ++o)
            acc[o] = vec::fma(acc[o], vec::load(w + o * vec::numOfLanes), xv);
    }
    for (std::size_t o = 0; o < rows; ++o)
    {
        if (b != nullptr)
            acc[o] = vec::add(acc[o], vec::load(b + static_cast<std::ptrdiff_t>(o) * bRowStride));
        vec::store(y + static_cast<std::ptrdiff_t>(o) * yRowStride, acc[o]);
    }
    return w;
}

using MixTileFunction = const float* (*)(const float*, std::ptrdiff_t, int, const float*, const float*, std::ptrdiff_t,
                                         float*, std::ptrdiff_t);

MixTileFunction selectMixTile(int rows)
{
    static const MixTileFunction functions[denseTileRows] = {mixTile<1>, mixTile<2>, mixTile<3>, mixTile<4>,
                                                             mixTile<5>, mixTile<6>, mixTile<7>, mixTile<8>};
    return functions[static_cast<std::size_t>(rows - 1)];
}

} // namespace

// ---------------------------------------------------------------------------------------------
// NormLayer

NormLayer::NormLayer(const LayerMap& layers, const NormLayerRecord& record)
    : BaseLayer<float>(layers, record.source, LayerType::norm)
{
    mode = record.mode;
    scale = record.scale.values;
    offset = record.offset.values;
}

bool NormLayer::propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape)
{
    if (!BaseLayer<float>::propagateShape(inputShapes, outputShape))
        return false;
    const int channels = outputShape.channels;
    return (mode == 0 || mode == 1) && channels >= 1 && scale.getNumOfElements() == channels &&
           (offset.isEmpty() || offset.getNumOfElements() == channels);
}

bool NormLayer::push(const TensorView<const float>& input, BaseLayer<float>*)
{
    if (input.isEmpty())
        return false;
    const int channels = input.shape[2];
    if (scale.getNumOfElements() != channels || (!offset.isEmpty() && offset.getNumOfElements() != channels))
        return false;

    kernels::prepareOutput(output, input.shape);
    const int numOfRows = input.shape[0] * input.shape[1];
    const float* s = scale.getReadPointer();
    const float* o = offset.isEmpty() ? nullptr : offset.getReadPointer();
    for (int row = 0; row < numOfRows; ++row)
    {
        const float* x = input.getReadPointer() + static_cast<std::ptrdiff_t>(row) * channels;
        float* y = output.data->data + static_cast<std::ptrdiff_t>(row) * channels;
        if (mode == 1)
            kernels::scale(x, 1.0f / (rms(x, channels) + rmsEpsilon), y, channels);
        else
            std::memcpy(y, x, static_cast<std::size_t>(channels) * sizeof(float));
        scaleAndOffset(y, s, o, channels);
    }
    return pushToFollowingLayers(output);
}

// ---------------------------------------------------------------------------------------------
// PreNormLayer

PreNormLayer::PreNormLayer(const LayerMap& layers, const PreNormLayerRecord& record)
    : BaseLayer<float>(layers, record.source, LayerType::preNorm)
{
    kernel = record.kernel.values;
    kernelLength = getAxis(kernel, 0);
    if (kernelLength >= 1 && kernel.getNumOfElements() >= kernelLength)
    {
        levels = Tensor<float>({kernelLength});
        levels.setToZero();
    }
}

bool PreNormLayer::propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape)
{
    return BaseLayer<float>::propagateShape(inputShapes, outputShape) && levels.hasStorage();
}

bool PreNormLayer::push(const TensorView<const float>& input, BaseLayer<float>*)
{
    if (input.isEmpty() || !levels.hasStorage())
        return false;
    kernels::prepareOutput(output, input.shape);
    const int frameSize = input.shape[1] * input.shape[2];
    const float* k = kernel.getReadPointer();
    float* ring = levels.data->data;
    for (int t = 0; t < input.shape[0]; ++t)
    {
        const float* x = input.getReadPointer() + static_cast<std::ptrdiff_t>(t) * frameSize;
        const int i = static_cast<int>(frameCounter % kernelLength);
        const float level = rms(x, frameSize);
        if (frameCounter == 0)
            std::fill_n(ring, kernelLength, level);
        else
            ring[i] = level;
        float sum = 0.0f;
        for (int j = 0; j < kernelLength; ++j)
            sum += k[j] * ring[(i + j) % kernelLength];
        kernels::scale(x, 1.0f / (sum + rmsEpsilon), output.data->data + static_cast<std::ptrdiff_t>(t) * frameSize,
                       frameSize);
        ++frameCounter;
    }
    return pushToFollowingLayers(output);
}

void PreNormLayer::reset()
{
    frameCounter = 0;
    if (levels.hasStorage())
        levels.setToZero();
}

// ---------------------------------------------------------------------------------------------
// ARPreNormLayer

ARPreNormLayer::ARPreNormLayer(const LayerMap& layers, const ARPreNormLayerRecord& record)
    : BaseLayer<float>(layers, record.source, LayerType::arPreNorm)
{
    attackCoefficient = record.attackCoefficient;
    releaseCoefficient = record.releaseCoefficient;
    epsilon = record.epsilon;
}

bool ARPreNormLayer::propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape)
{
    return BaseLayer<float>::propagateShape(inputShapes, outputShape) && std::isfinite(epsilon) && epsilon > 0.0f;
}

bool ARPreNormLayer::push(const TensorView<const float>& input, BaseLayer<float>*)
{
    if (input.isEmpty())
        return false;
    kernels::prepareOutput(output, input.shape);
    const int frameSize = input.shape[1] * input.shape[2];
    for (int t = 0; t < input.shape[0]; ++t)
    {
        const float* x = input.getReadPointer() + static_cast<std::ptrdiff_t>(t) * frameSize;
        const float a = rms(x, frameSize);
        const float coefficient = level < a ? attackCoefficient : releaseCoefficient;
        level = level * coefficient + a * (1.0f - coefficient);
        kernels::scale(x, 1.0f / (level + epsilon), output.data->data + static_cast<std::ptrdiff_t>(t) * frameSize,
                       frameSize);
    }
    return pushToFollowingLayers(output);
}

void ARPreNormLayer::reset()
{
    level = 0.0f;
}

// ---------------------------------------------------------------------------------------------
// DenseLayer

DenseLayer::DenseLayer(const LayerMap& layers, const DenseLayerRecord& record)
    : BaseLayer<float>(layers, record.source, LayerType::dense)
{
    weights = record.weights.values;
    bias = record.bias.values;
}

bool DenseLayer::propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape)
{
    return BaseLayer<float>::propagateShape(inputShapes, outputShape) &&
           configure(outputShape.rows, outputShape.channels);
}

bool DenseLayer::configure(int rows, int channels)
{
    configured = false;
    const std::int64_t frameSize = static_cast<std::int64_t>(rows) * channels;
    if (rows < 1 || channels < 1 || weights.getNumOfElements() != frameSize * rows ||
        (!bias.isEmpty() && bias.getNumOfElements() != frameSize))
        return false;
    numOfRows = rows;
    numOfChannels = channels;
    numOfVectorChannels = channels / vec::numOfLanes * vec::numOfLanes;

    // [column of four channels][block of output rows][input row][output row in block][lane]
    const float* w = weights.getReadPointer();
    packedWeights = Tensor<float>({std::max(numOfRows * numOfRows * numOfVectorChannels, 1)});
    float* p = packedWeights.data->data;
    for (int c = 0; c < numOfVectorChannels; c += vec::numOfLanes)
        for (int o0 = 0; o0 < numOfRows; o0 += denseTileRows)
        {
            const int tileRows = std::min(denseTileRows, numOfRows - o0);
            for (int r = 0; r < numOfRows; ++r)
                for (int o = o0; o < o0 + tileRows; ++o, p += vec::numOfLanes)
                    std::memcpy(p, w + (static_cast<std::ptrdiff_t>(o) * numOfRows + r) * numOfChannels + c,
                                vec::numOfLanes * sizeof(float));
        }
    configured = true;
    return true;
}

bool DenseLayer::push(const TensorView<const float>& input, BaseLayer<float>*)
{
    if (input.isEmpty())
        return false;
    if (!configured && !configure(input.shape[1], input.shape[2]))
        return false;
    if (input.shape[1] != numOfRows || input.shape[2] != numOfChannels)
        return false;
    kernels::prepareOutput(output, input.shape);
    const std::ptrdiff_t frameSize = static_cast<std::ptrdiff_t>(numOfRows) * numOfChannels;
    for (int t = 0; t < input.shape[0]; ++t)
        mixFrame(input.getReadPointer() + t * frameSize, output.data->data + t * frameSize);
    return pushToFollowingLayers(output);
}

void DenseLayer::mixFrame(const float* x, float* y) const
{
    const float* b = bias.isEmpty() ? nullptr : bias.getReadPointer();
    const std::ptrdiff_t stride = numOfChannels;
    const float* w = packedWeights.data->data;
    for (int c = 0; c < numOfVectorChannels; c += vec::numOfLanes)
        for (int o0 = 0; o0 < numOfRows; o0 += denseTileRows)
        {
            const int tileRows = std::min(denseTileRows, numOfRows - o0);
            w = selectMixTile(tileRows)(x + c, stride, numOfRows, w, b != nullptr ? b + o0 * stride + c : nullptr,
                                        stride, y + o0 * stride + c, stride);
        }

    const float* original = weights.getReadPointer();
    for (int c = numOfVectorChannels; c < numOfChannels; ++c)
        for (int o = 0; o < numOfRows; ++o)
        {
            float sum = 0.0f;
            for (int r = 0; r < numOfRows; ++r)
                sum += original[(static_cast<std::ptrdiff_t>(o) * numOfRows + r) * stride + c] * x[r * stride + c];
            if (b != nullptr)
                sum += b[o * stride + c];
            y[o * stride + c] = sum;
        }
}

} // namespace murel
