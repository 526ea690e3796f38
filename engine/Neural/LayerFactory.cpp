#include "Neural/LayerFactory.h"

#include "Neural/ActivationLayers.h"
#include "Neural/CombiningLayers.h"
#include "Neural/ConvolutionLayers.h"
#include "Neural/NormalisationLayers.h"
#include "Neural/RecurrentLayers.h"
#include "Neural/SelfAttentionLayer.h"

namespace murel
{

std::shared_ptr<BaseLayer<float>> createLayer(const LayerRecord& record, const LayerMap& layers)
{
    const LayerBody& body = record.body;
    switch (record.getType())
    {
    case LayerType::conv:
        return std::make_shared<ConvLayer>(layers, std::get<ConvLayerRecord>(body));
    case LayerType::transposedConv:
        return std::make_shared<TransposedConvLayer>(layers, std::get<TransposedConvLayerRecord>(body));
    case LayerType::relu:
        return std::make_shared<ReLULayer>(layers, std::get<ActivationLayerRecord>(body));
    case LayerType::elu:
        return std::make_shared<ELULayer>(layers, std::get<ActivationLayerRecord>(body));
    case LayerType::sigmoid:
        return std::make_shared<SigmoidLayer>(layers, std::get<ActivationLayerRecord>(body));
    case LayerType::norm:
        return std::make_shared<NormLayer>(layers, std::get<NormLayerRecord>(body));
    case LayerType::concat:
        return std::make_shared<ConcatLayer>(layers, std::get<ConcatLayerRecord>(body));
    case LayerType::leakyRelu:
        return std::make_shared<LeakyReLULayer>(layers, std::get<LeakyReLULayerRecord>(body));
    case LayerType::dense:
        return std::make_shared<DenseLayer>(layers, std::get<DenseLayerRecord>(body));
    case LayerType::separableChannelConv:
        return std::make_shared<SeparableChannelConvLayer>(layers, std::get<SeparableChannelConvLayerRecord>(body));
    case LayerType::preNorm:
        return std::make_shared<PreNormLayer>(layers, std::get<PreNormLayerRecord>(body));
    case LayerType::softplus:
        return std::make_shared<SoftplusLayer>(layers, std::get<ActivationLayerRecord>(body));
    case LayerType::arithmetic:
        return std::make_shared<ArithmeticLayer>(layers, std::get<ArithmeticLayerRecord>(body));
    case LayerType::selfAttention:
        return std::make_shared<SelfAttentionLayer>(layers, std::get<SelfAttentionLayerRecord>(body));
    case LayerType::hardSigmoid:
        return std::make_shared<HardSigmoidLayer>(layers, std::get<ActivationLayerRecord>(body));
    case LayerType::frequencyRescale:
        return std::make_shared<FrequencyRescaleLayer>(layers, std::get<FrequencyRescaleLayerRecord>(body));
    case LayerType::arPreNorm:
        return std::make_shared<ARPreNormLayer>(layers, std::get<ARPreNormLayerRecord>(body));
    case LayerType::gru:
    case LayerType::lstm:
        return std::make_shared<RecurrentLayer>(layers, std::get<RecurrentLayerRecord>(body));
    default:
        return nullptr;
    }
}

} // namespace murel
