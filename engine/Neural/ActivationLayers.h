#pragma once

#include "DspCore/Export.h"
#include "Format/ModelRecords.h"
#include "Neural/Layers.h"

namespace murel
{

/** Base of the element-wise activation layers: the output has the input's shape and each
    element depends only on the element at the same index. */
class MUREL_EXPORT ActivationLayer : public BaseLayer<float>
{
public:
    ActivationLayer(const LayerMap& layers, const std::string& source, LayerType layerType);

    bool push(const TensorView<const float>& input, BaseLayer<float>* from) override;

protected:
    /** Computes out[i] from in[i] for i < numOfElements. */
    virtual void apply(const float* in, float* out, int numOfElements) const = 0;

private:
    Tensor<float> output;
};

/** 0 for x < 0, x otherwise (-0 and NaN pass unchanged). */
class MUREL_EXPORT ReLULayer : public ActivationLayer
{
public:
    ReLULayer(const LayerMap& layers, const ActivationLayerRecord& record);

protected:
    void apply(const float* in, float* out, int numOfElements) const override;
};

/** Positive part plus negativeSlope times the negative part. */
class MUREL_EXPORT LeakyReLULayer : public ActivationLayer
{
public:
    LeakyReLULayer(const LayerMap& layers, const LeakyReLULayerRecord& record);

protected:
    void apply(const float* in, float* out, int numOfElements) const override;

private:
    float negativeSlope = 0.0f;
};

/** x for x > 0, e^x - 1 otherwise. */
class MUREL_EXPORT ELULayer : public ActivationLayer
{
public:
    ELULayer(const LayerMap& layers, const ActivationLayerRecord& record);

protected:
    void apply(const float* in, float* out, int numOfElements) const override;
};

/** t / (t + 1) with t = e^x, x clamped to [-10, 10]. */
class MUREL_EXPORT SigmoidLayer : public ActivationLayer
{
public:
    SigmoidLayer(const LayerMap& layers, const ActivationLayerRecord& record);

protected:
    void apply(const float* in, float* out, int numOfElements) const override;
};

/** x / 6 + 0.5 clamped to [0, 1]. */
class MUREL_EXPORT HardSigmoidLayer : public ActivationLayer
{
public:
    HardSigmoidLayer(const LayerMap& layers, const ActivationLayerRecord& record);

protected:
    void apply(const float* in, float* out, int numOfElements) const override;
};

/** ln(e^x + 1), unclamped. */
class MUREL_EXPORT SoftplusLayer : public ActivationLayer
{
public:
    SoftplusLayer(const LayerMap& layers, const ActivationLayerRecord& record);

protected:
    void apply(const float* in, float* out, int numOfElements) const override;
};

} // namespace murel
