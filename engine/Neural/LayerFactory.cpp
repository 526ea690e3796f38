#include "Neural/LayerFactory.h"

#include "Neural/ActivationLayers.h"
#include "Neural/CombiningLayers.h"
#include "Neural/ConvolutionLayers.h"
#include "Neural/NormalisationLayers.h"
#include "Neural/SelfAttentionLayer.h"

namespace murel
{

std::shared_ptr<BaseLayer<float>> createLayer(int typeCode, const LayerMap& layers,
                                              const std::shared_ptr<InputStream>& stream, int version)
{
    switch (static_cast<LayerType>(typeCode))
    {
    case LayerType::conv:
        return std::make_shared<ConvLayer>(layers, stream, version);
    case LayerType::transposedConv:
        return std::make_shared<TransposedConvLayer>(layers, stream, version);
    case LayerType::relu:
        return std::make_shared<ReLULayer>(layers, stream);
    case LayerType::elu:
        return std::make_shared<ELULayer>(layers, stream);
    case LayerType::sigmoid:
        return std::make_shared<SigmoidLayer>(layers, stream);
    case LayerType::norm:
        return std::make_shared<NormLayer>(layers, stream, version);
    case LayerType::concat:
        return std::make_shared<ConcatLayer>(layers, stream, version);
    case LayerType::leakyRelu:
        return std::make_shared<LeakyReLULayer>(layers, stream);
    case LayerType::dense:
        return std::make_shared<DenseLayer>(layers, stream, version);
    case LayerType::separableChannelConv:
        return std::make_shared<SeparableChannelConvLayer>(layers, stream, version);
    case LayerType::preNorm:
        return std::make_shared<PreNormLayer>(layers, stream, version);
    case LayerType::softplus:
        return std::make_shared<SoftplusLayer>(layers, stream);
    case LayerType::arithmetic:
        return std::make_shared<ArithmeticLayer>(layers, stream, version);
    case LayerType::selfAttention:
        return std::make_shared<SelfAttentionLayer>(layers, stream, version);
    case LayerType::hardSigmoid:
        return std::make_shared<HardSigmoidLayer>(layers, stream);
    case LayerType::frequencyRescale:
        return std::make_shared<FrequencyRescaleLayer>(layers, stream, version);
    case LayerType::arPreNorm:
        return std::make_shared<ARPreNormLayer>(layers, stream);
    default:
        return nullptr;
    }
}

} // namespace murel
