#include "Neural/LayerFactory.h"

namespace murel
{

std::shared_ptr<BaseLayer<float>> createLayer(int typeCode, const LayerMap& layers,
                                              const std::shared_ptr<InputStream>& stream, int version)
{
    (void)layers;
    (void)stream;
    (void)version;
    switch (static_cast<LayerType>(typeCode))
    {
    default:
        return nullptr;
    }
}

} // namespace murel
