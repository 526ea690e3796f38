#pragma once

#include <cstdint>
#include <vector>

#include "DspCore/Export.h"
#include "Format/ModelRecords.h"
#include "Neural/Layers.h"

namespace murel
{

/** Per-row affine transform (mode 0), optionally after dividing each row by its root mean
    square (mode 1). */
class MUREL_EXPORT NormLayer : public BaseLayer<float>
{
public:
    NormLayer(const LayerMap& layers, const NormLayerRecord& record);

    bool push(const TensorView<const float>& input, BaseLayer<float>* from) override;
    /** Mode 0 or 1, one scale per channel and the offset empty or one per channel. */
    bool propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape) override;

private:
    int mode = 0;
    Tensor<float> offset;
    Tensor<float> scale;
    Tensor<float> output;
};

/** Divides each frame by a learned weighting of the root-mean-square levels of the current and
    the past frames. */
class MUREL_EXPORT PreNormLayer : public BaseLayer<float>
{
public:
    PreNormLayer(const LayerMap& layers, const PreNormLayerRecord& record);

    bool push(const TensorView<const float>& input, BaseLayer<float>* from) override;
    void reset() override;
    /** The kernel needs at least one weight. */
    bool propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape) override;
    std::int64_t getNumOfStateElements() const override { return kernelLength; }

private:
    Tensor<float> kernel;
    Tensor<float> levels;
    Tensor<float> output;
    std::int64_t frameCounter = 0;
    int kernelLength = 0;
};

/** Divides each frame by a level that follows the frame's root mean square, rising with
    attackCoefficient and falling with releaseCoefficient. */
class MUREL_EXPORT ARPreNormLayer : public BaseLayer<float>
{
public:
    ARPreNormLayer(const LayerMap& layers, const ARPreNormLayerRecord& record);

    bool push(const TensorView<const float>& input, BaseLayer<float>* from) override;
    void reset() override;
    /** epsilon must be positive (and finite): it keeps the division of a silent frame finite. */
    bool propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape) override;

private:
    float attackCoefficient = 0.0f;
    float releaseCoefficient = 0.0f;
    float epsilon = 0.0f;
    Tensor<float> output;
    float level = 0.0f;
};

/** Mixes the rows of each channel: output[o][c] = sum over r of weights[o][r][c] x input[r][c],
    plus bias[o][c]. Channels never mix. */
class MUREL_EXPORT DenseLayer : public BaseLayer<float>
{
public:
    DenseLayer(const LayerMap& layers, const DenseLayerRecord& record);

    bool push(const TensorView<const float>& input, BaseLayer<float>* from) override;
    /** The weights must hold rows x rows x channels values and the bias none or rows x
        channels. */
    bool propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape) override;

private:
    /** Re-lays the weights out in the order the kernel streams them. */
    bool configure(int rows, int channels);
    void mixFrame(const float* x, float* y) const;

    Tensor<float> weights;
    Tensor<float> bias;
    Tensor<float> output;

    bool configured = false;
    int numOfRows = 0;
    int numOfChannels = 0;
    /** Channels handled four at a time; the rest read the original weights. */
    int numOfVectorChannels = 0;
    Tensor<float> packedWeights;
};

} // namespace murel
