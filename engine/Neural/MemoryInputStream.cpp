#include "Neural/MemoryInputStream.h"

#include <algorithm>
#include <cstring>

namespace murel
{

MemoryInputStream::MemoryInputStream(std::vector<std::uint8_t> content) : bytes(std::move(content)) {}

MemoryInputStream::MemoryInputStream(const void* data, std::size_t numOfBytes)
    : bytes(static_cast<const std::uint8_t*>(data), static_cast<const std::uint8_t*>(data) + numOfBytes)
{
}

int MemoryInputStream::read(void* buffer, int numOfBytes)
{
    if (numOfBytes <= 0 || position >= bytes.size())
        return 0;
    const std::size_t count = std::min(static_cast<std::size_t>(numOfBytes), bytes.size() - position);
    std::memcpy(buffer, bytes.data() + position, count);
    position += count;
    return static_cast<int>(count);
}

bool MemoryInputStream::setPosition(long newPosition)
{
    if (newPosition < 0 || static_cast<std::size_t>(newPosition) > bytes.size())
        return false;
    position = static_cast<std::size_t>(newPosition);
    return true;
}

long MemoryInputStream::getPosition()
{
    return static_cast<long>(position);
}

long MemoryInputStream::getLength()
{
    return static_cast<long>(bytes.size());
}

} // namespace murel
