#pragma once

#include <list>
#include <vector>

#include "DspCore/Export.h"
#include "Format/ModelRecords.h"
#include "Neural/Layers.h"

namespace murel
{

/** Joins its inputs along the channel axis, in input order. */
class MUREL_EXPORT ConcatLayer : public BaseQueuedLayer<float>
{
public:
    ConcatLayer(const LayerMap& layers, const ConcatLayerRecord& record);

    using BaseQueuedLayer<float>::push;
    bool push(const std::vector<TensorView<const float>>& frames,
              const std::vector<BaseLayer<float>*>& inputLayers) override;
    /** Every input needs at least the first input's rows; the channels add up. */
    bool propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape) override;

private:
    Tensor<float> output;
};

/** Combines its inputs element by element with one operation. */
class MUREL_EXPORT ArithmeticLayer : public BaseQueuedLayer<float>
{
public:
    enum Operation
    {
        multiply = 0,
        divide = 1,
        add = 2,
        subtract = 3,
    };

    ArithmeticLayer(const LayerMap& layers, const ArithmeticLayerRecord& record);

    using BaseQueuedLayer<float>::push;
    /** r = x0, then for each further input x: r * x, x / r, r + x or x - r. Any other code
        passes x0 through. */
    bool push(const std::vector<TensorView<const float>>& frames,
              const std::vector<BaseLayer<float>*>& inputLayers) override;
    /** Every input needs at least the first input's number of elements. */
    bool propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape) override;

private:
    int operation = 0;
    Tensor<float> combinedFrame;
};

/** Maps the rows of its input onto bands: output row m is the weighted sum of a run of
    adjacent input rows. */
class MUREL_EXPORT FrequencyRescaleLayer : public BaseLayer<float>
{
public:
    struct Band
    {
        int start = 0;
        Tensor<float> weights;
    };

    FrequencyRescaleLayer(const LayerMap& layers, const FrequencyRescaleLayerRecord& record);

    bool push(const TensorView<const float>& input, BaseLayer<float>* from) override;
    /** Every band needs at least one weight and must lie inside the input rows; the output
        has one row per band. */
    bool propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape) override;

private:
    std::list<Band> bands;
    std::vector<int> bandLengths;
    std::vector<int> bandStarts;
    std::vector<const float*> bandWeights;
    int bandCount = 0;
    Tensor<float> output;
};

} // namespace murel
