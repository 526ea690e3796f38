#include "Neural/LayerFactory.h"

#include "Neural/ActivationLayers.h"
#include "Neural/CombiningLayers.h"

namespace murel
{

std::shared_ptr<BaseLayer<float>> createLayer(int typeCode, const LayerMap& layers,
                                              const std::shared_ptr<InputStream>& stream, int version)
{
    switch (static_cast<LayerType>(typeCode))
    {
    case LayerType::relu:
        return std::make_shared<ReLULayer>(layers, stream);
    case LayerType::elu:
        return std::make_shared<ELULayer>(layers, stream);
    case LayerType::sigmoid:
        return std::make_shared<SigmoidLayer>(layers, stream);
    case LayerType::concat:
        return std::make_shared<ConcatLayer>(layers, stream, version);
    case LayerType::leakyRelu:
        return std::make_shared<LeakyReLULayer>(layers, stream);
    case LayerType::softplus:
        return std::make_shared<SoftplusLayer>(layers, stream);
    case LayerType::arithmetic:
        return std::make_shared<ArithmeticLayer>(layers, stream, version);
    case LayerType::hardSigmoid:
        return std::make_shared<HardSigmoidLayer>(layers, stream);
    case LayerType::frequencyRescale:
        return std::make_shared<FrequencyRescaleLayer>(layers, stream, version);
    // Not supported yet: conv, transposedConv, norm, dense, separableChannelConv, preNorm,
    // selfAttention, arPreNorm.
    default:
        return nullptr;
    }
}

} // namespace murel
