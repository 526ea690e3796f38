#pragma once

#include <cstdint>
#include <vector>

#include "DspCore/Export.h"
#include "Format/ModelRecords.h"
#include "Neural/LayerKernels.h"
#include "Neural/Layers.h"

namespace murel
{

/** GRU or LSTM over the frames: each frame (rows x channels, row-major) is one input vector,
    each output frame the hidden state as a column (one row per hidden unit, one channel), the
    layout of magnitude masks and of the band filters that map it onto the bins. The hidden state (and the LSTM's cell)
   carries from frame to frame until reset. Everything the recurrence touches is allocated at load. */
class MUREL_EXPORT RecurrentLayer : public BaseLayer<float>
{
public:
    RecurrentLayer(const LayerMap& layers, const RecurrentLayerRecord& record);

    bool push(const TensorView<const float>& input, BaseLayer<float>* from) override;
    /** Zero hidden state and cell. */
    void reset() override;
    /** The weights must be [gates x hidden][rows x channels] and [gates x hidden][hidden], the
        biases empty or gates x hidden values. Emits hidden rows of one channel. */
    bool propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape) override;
    std::int64_t getNumOfStateElements() const override;

private:
    bool configure(int numOfInputValues);
    void step(const float* x);

    bool isLstm = false;
    int numOfGates = 3;
    Tensor<float> inputWeights;
    Tensor<float> recurrentWeights;
    Tensor<float> inputBias;
    Tensor<float> recurrentBias;
    Tensor<float> output;

    bool configured = false;
    int numOfInputs = 0;
    int numOfHidden = 0;
    /** The weights transposed, [inputs][gates x hidden] and [hidden][gates x hidden], packed for
        the kernels. */
    kernels::PackedMatrix inputMatrix;
    kernels::PackedMatrix recurrentMatrix;
    std::vector<float> inputGates;
    std::vector<float> recurrentGates;
    std::vector<float> hidden;
    std::vector<float> cell;
};

} // namespace murel
