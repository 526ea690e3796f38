#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "DspCore/Export.h"
#include "DspCore/Files.h"

namespace murel
{

/** Raised while reading a model file that cannot be run safely: a short read, a count or size
    that cannot fit in the rest of the stream, or a value the engine cannot take. The loader
    turns it into a failed load. */
class MUREL_EXPORT ModelFormatError : public std::runtime_error
{
public:
    explicit ModelFormatError(const std::string& what);
};

/** Little-endian primitives of the model format. Each reads exactly its width or throws
    ModelFormatError. */
namespace modelreading
{

MUREL_EXPORT void readBytes(InputStream& stream, void* buffer, int numOfBytes);
MUREL_EXPORT int readInt8(InputStream& stream);
MUREL_EXPORT int readUInt8(InputStream& stream);
MUREL_EXPORT int readInt16(InputStream& stream);
MUREL_EXPORT int readInt32(InputStream& stream);
MUREL_EXPORT float readFloat32(InputStream& stream);
MUREL_EXPORT double readFloat64(InputStream& stream);
/** An int32 byte count and that many bytes. Throws std::length_error for a negative count and
    ModelFormatError when the bytes are not all there. */
MUREL_EXPORT std::string readString(InputStream& stream);

/** Bytes left in the stream; the largest long value for a stream that cannot seek. */
MUREL_EXPORT long getNumOfRemainingBytes(InputStream& stream);
/** Throws ModelFormatError unless count items of itemSize bytes can still be in the stream. */
MUREL_EXPORT void requireBytes(InputStream& stream, std::int64_t count, std::int64_t itemSize);

} // namespace modelreading

} // namespace murel
