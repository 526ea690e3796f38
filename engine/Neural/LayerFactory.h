#pragma once

#include <memory>

#include "DspCore/Export.h"
#include "DspCore/Files.h"
#include "Format/ModelRecords.h"
#include "Neural/Layers.h"

namespace murel
{

/** Builds the layer a record describes, connected to its sources in layers (std::out_of_range
    for a source that is not there). */
MUREL_EXPORT std::shared_ptr<BaseLayer<float>> createLayer(const LayerRecord& record, const LayerMap& layers);

} // namespace murel
