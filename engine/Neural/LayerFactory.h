#pragma once

#include <memory>

#include "DspCore/Export.h"
#include "DspCore/Files.h"
#include "Neural/Layers.h"
#include "Neural/ModelFile.h"

namespace murel
{

/** Builds the layer of the given type code from the rest of its record in stream (everything
    after the name and the type). The one place that knows every layer class. Returns null for a
    code that is no layer record. */
MUREL_EXPORT std::shared_ptr<BaseLayer<float>> createLayer(int typeCode, const LayerMap& layers,
                                                           const std::shared_ptr<InputStream>& stream, int version);

/** Builds the layer a record describes, connected to its sources in layers (std::out_of_range
    for a source that is not there). */
MUREL_EXPORT std::shared_ptr<BaseLayer<float>> createLayer(const LayerRecord& record, const LayerMap& layers);

} // namespace murel
