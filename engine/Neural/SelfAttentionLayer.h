#pragma once

#include <cstdint>
#include <vector>

#include "DspCore/Export.h"
#include "Format/ModelRecords.h"
#include "Neural/LayerKernels.h"
#include "Neural/Layers.h"

namespace murel
{

/** Filters each channel over a short causal window of frames (when it has a context kernel),
    mixes the channels of every row with a square matrix and adds a per-row, per-channel bias.
    With an output delay D it withholds the first D frames after a reset and pushes frame by
    frame. */
class MUREL_EXPORT SelfAttentionLayer : public BaseLayer<float>
{
public:
    SelfAttentionLayer(const LayerMap& layers, const SelfAttentionLayerRecord& record);

    bool push(const TensorView<const float>& input, BaseLayer<float>* from) override;
    void reset() override;
    /** The following layers' latency plus outputDelay, which is not scaled by k. */
    int measureLatency(int k) override;
    /** Weights of channels x channels, a bias of rows x channels, the context kernel empty or
        one row of channels per tap, and the delay not negative. */
    bool propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape) override;
    std::int64_t getNumOfStateElements() const override;

    int getOutputDelay() const { return outputDelay; }
    int getContextLength() const { return contextLength; }

private:
    bool configure(int rows, int channels);
    /** z = the context mix of the newest frame (kept in the history), or the frame itself. */
    const float* filterContext(const float* frame);

    Tensor<float> weights;
    Tensor<float> contextKernel;
    Tensor<float> bias;
    Tensor<float> history;
    Tensor<float> contextMix;
    int outputDelay = 0;
    std::int64_t frameCounter = 0;
    Tensor<float> output;

    bool configured = false;
    int numOfRows = 0;
    int numOfChannels = 0;
    int contextLength = 0;
    kernels::PackedMatrix packedWeights;
    std::vector<const float*> taps;
    std::vector<const float*> tapWeights;
};

} // namespace murel
