#include "Format/ModelReading.h"

#include <climits>
#include <cstring>

namespace murel
{

ModelFormatError::ModelFormatError(const std::string& what) : std::runtime_error(what) {}

namespace modelreading
{

namespace
{

std::uint32_t readLittleEndian(InputStream& stream, int numOfBytes)
{
    unsigned char bytes[4] = {0, 0, 0, 0};
    readBytes(stream, bytes, numOfBytes);
    std::uint32_t value = 0;
    for (int i = numOfBytes - 1; i >= 0; --i)
        value = (value << 8) | bytes[i];
    return value;
}

} // namespace

void readBytes(InputStream& stream, void* buffer, int numOfBytes)
{
    if (numOfBytes <= 0)
        return;
    if (stream.read(buffer, numOfBytes) != numOfBytes)
        throw ModelFormatError("the file ends early");
}

int readInt8(InputStream& stream)
{
    return static_cast<std::int8_t>(readLittleEndian(stream, 1));
}

int readUInt8(InputStream& stream)
{
    return static_cast<int>(readLittleEndian(stream, 1));
}

int readInt16(InputStream& stream)
{
    return static_cast<std::int16_t>(readLittleEndian(stream, 2));
}

int readInt32(InputStream& stream)
{
    return static_cast<std::int32_t>(readLittleEndian(stream, 4));
}

float readFloat32(InputStream& stream)
{
    const std::uint32_t bits = readLittleEndian(stream, 4);
    float value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

double readFloat64(InputStream& stream)
{
    const std::uint64_t low = readLittleEndian(stream, 4);
    const std::uint64_t high = readLittleEndian(stream, 4);
    const std::uint64_t bits = low | (high << 32);
    double value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

std::string readString(InputStream& stream)
{
    const int length = readInt32(stream);
    if (length < 0)
        throw std::length_error("a negative string length");
    requireBytes(stream, length, 1);
    std::string text(static_cast<std::size_t>(length), '\0');
    readBytes(stream, text.data(), length);
    return text;
}

long getNumOfRemainingBytes(InputStream& stream)
{
    if (!stream.canSeek())
        return LONG_MAX;
    const long position = stream.getPosition();
    const long length = stream.getLength();
    if (position < 0 || length < position)
        return 0;
    return length - position;
}

void requireBytes(InputStream& stream, std::int64_t count, std::int64_t itemSize)
{
    if (count < 0 || itemSize < 0)
        throw ModelFormatError("a negative size");
    const std::int64_t remaining = getNumOfRemainingBytes(stream);
    if (itemSize > 0 && count > remaining / itemSize)
        throw ModelFormatError("the file ends before the data it declares");
}

} // namespace modelreading

} // namespace murel
