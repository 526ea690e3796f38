#pragma once

#include <cstdint>
#include <list>
#include <vector>

#include "DspCore/Export.h"
#include "Format/ModelRecords.h"
#include "Neural/LayerKernels.h"
#include "Neural/Layers.h"

namespace murel
{

/** Causal strided, dilated convolution over (time, frequency) with channel mixing, or a
    depthwise one with a channel multiplier. Keeps the frames its time taps reach in a ring. The
    stored frequency dilation is not used. */
class MUREL_EXPORT ConvLayer : public BaseLayer<float>
{
public:
    ConvLayer(const LayerMap& layers, const ConvLayerRecord& record);

    bool push(const TensorView<const float>& input, BaseLayer<float>* from) override;
    void reset() override;
    /** The following layers' latency at k x timeStride, plus k x timeOffset. */
    int measureLatency(int k) override;
    /** Weights must be four-dimensional, the input channels must match them (or the weights
        have one input channel and the output channels are a multiple of the input channels:
        depthwise), the bias empty or one per output channel, strides and the dilation at least
        1, the offset not negative and at least one output row. */
    bool propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape) override;
    std::int64_t getNumOfStateElements() const override;

private:
    /** Prepares the ring, the packed weights and the row ranges for inputs [rows, channels];
        false for inputs the weights do not fit. */
    bool configure(int rows, int channels);
    void writeHistory(const float* frame);
    void computeOutput();
    void computeNormal(const float* const* slots, float* out);
    void computeDepthwise(const float* const* slots, float* out);

    int timeStride = 1;
    int frequencyStride = 1;
    int timeDilation = 1;
    std::int64_t frameCounter = 0;
    int timeOffset = 0;
    Tensor<float> weights;
    Tensor<float> bias;
    Tensor<float> history;
    Tensor<float> output;
    int kernelTime = 0;
    int historyLength = 0;
    int kernelFrequency = 0;
    int inputChannels = 0;
    int outputChannels = 0;

    bool configured = false;
    bool depthwise = false;
    int inputRows = 0;
    int frameChannels = 0;
    int historyChannels = 0;
    int outputRows = 0;
    int pad = 0;
    /** Output rows whose frequency taps all lie inside the input: [firstInnerRow, endInnerRow). */
    int firstInnerRow = 0;
    int endInnerRow = 0;
    kernels::PackedMatrix packedWeights;
    std::vector<kernels::Segment> segments;
    std::vector<const float*> slots;
    std::vector<const float*> tapRows;
    std::vector<const float*> tapWeights;
};

/** The up-sampling counterpart of ConvLayer: every input frame is scattered into an accumulator
    ring; each yields timeStride output frames and each row frequencyStride rows. Finished
    frames wait in pendingSlices and leave one per push or triggerForward that reaches the
    model output. The stored dilations are not used. */
class MUREL_EXPORT TransposedConvLayer : public BaseLayer<float>
{
public:
    TransposedConvLayer(const LayerMap& layers, const TransposedConvLayerRecord& record);

    bool push(const TensorView<const float>& input, BaseLayer<float>* from) override;
    /** Scatters one frame [1, rows, inputChannels], queues the finished frames and delivers
        them until one reaches the model output. */
    bool pushTimeSlice(const TensorView<const float>& slice);
    void reset() override;
    /** The following layers' latency at k / timeStride, plus k x timeOffset. */
    int measureLatency(int k) override;
    /** Delivers queued frames until one reaches the model output, then passes the call on. */
    void triggerForward() override;
    /** Weights must be four-dimensional with the input's channels, outputChannels must agree
        with them (equal, or depthwise with one weight channel and as many channels as the
        input), the bias empty or one per output channel, strides at least 1 and the offset not
        negative. */
    bool propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape) override;
    std::int64_t getNumOfStateElements() const override;

    int getOutputChannels() const { return outputChannels; }
    std::size_t getNumOfPendingSlices() const { return pendingSlices.size(); }

private:
    bool configure(int rows, int channels);
    void scatter(const float* slice);
    void emit();
    bool deliver();

    int timeStride = 1;
    int frequencyStride = 1;
    std::int64_t frameCounter = 0;
    int timeOffset = 0;
    Tensor<float> weights;
    Tensor<float> bias;
    Tensor<float> accumulator;
    std::list<Tensor<float>> pendingSlices;
    int kernelTime = 0;
    int kernelFrequency = 0;
    int inputChannels = 0;
    int weightOutputChannels = 0;
    int outputChannels = 0;

    bool configured = false;
    bool depthwise = false;
    int inputRows = 0;
    int outputRows = 0;
    int ringLength = 0;
    int pad = 0;
    kernels::PackedMatrix packedWeights;
    /** Nodes of delivered frames, reused for the next ones. */
    std::list<Tensor<float>> spareSlices;
};

/** A light filter shared by every channel: one scalar kernel over time, then one over
    frequency. Recorded as LayerType 14. */
class MUREL_EXPORT SeparableChannelConvLayer : public BaseLayer<float>
{
public:
    SeparableChannelConvLayer(const LayerMap& layers, const SeparableChannelConvLayerRecord& record);

    bool push(const TensorView<const float>& input, BaseLayer<float>* from) override;
    void reset() override;
    /** Both kernels need at least one tap (their first axis). */
    bool propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape) override;
    std::int64_t getNumOfStateElements() const override;

private:
    Tensor<float> timeKernel;
    Tensor<float> frequencyKernel;
    Tensor<float> output;
    Tensor<float> history;
    Tensor<float> timeFiltered;
    std::int64_t frameCounter = 0;

    int numOfTimeTaps = 0;
    int numOfFrequencyTaps = 0;
    int expectedRows = -1;
    int expectedChannels = -1;
};

} // namespace murel
