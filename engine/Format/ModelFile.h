#pragma once

#include <string>

#include "DspCore/Export.h"
#include "DspCore/Files.h"
#include "Format/ModelRecords.h"

namespace murel
{

/** The one reader of the model format. Every read is bounded by what the file can hold: a count or
    size that the rest of the stream cannot back is refused before anything is allocated for it.
    Failures throw ModelFormatError with a reason that names the field, the layer record and the
    tensor ("layer 3 'level' (Norm): the file ends inside tensor 'offset'"); a negative string
    length or tensor rank throws std::length_error, as the format defines. */
namespace modelfile
{

/** Reads the header from the start of the stream (the stream's position is left after it).
    Checks what the format defines: the magic, the version (4100 to newestModelVersion), known packing codes
    and bin counts that are not negative. */
MUREL_EXPORT ModelHeaderRecord readHeader(InputStream& stream);
/** Reads one layer record (name, type and the rest) of a file of the given version; recordIndex
    (from 0) names it in reasons. */
MUREL_EXPORT LayerRecord readLayer(InputStream& stream, int version, int recordIndex);
/** Reads the rest of a record of the given type, after its name and type. */
MUREL_EXPORT LayerBody readLayerBody(InputStream& stream, LayerType type, int version);
/** Reads a stored tensor; role names it in reasons. */
MUREL_EXPORT StoredTensor readTensor(InputStream& stream, int version, const std::string& role);
/** Reads a whole file: header, layer records, output source. */
MUREL_EXPORT ModelFileRecord readModelFile(InputStream& stream);

/** "Conv", "Sigmoid", ...; "type N" for codes that are no layer records. */
MUREL_EXPORT std::string getLayerTypeName(LayerType type);
/** "magnitudes", "real and imaginary parts", ... */
MUREL_EXPORT std::string getPackingName(PackingCode code);

} // namespace modelfile

} // namespace murel
