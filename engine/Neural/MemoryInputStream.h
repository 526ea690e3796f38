#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "DspCore/Export.h"
#include "DspCore/Files.h"

namespace murel
{

/** A seekable byte stream over its own copy of a block of memory, for models that do not come
    from a file. */
class MUREL_EXPORT MemoryInputStream : public InputStream
{
public:
    explicit MemoryInputStream(std::vector<std::uint8_t> bytes);
    MemoryInputStream(const void* data, std::size_t numOfBytes);

    int read(void* buffer, int numOfBytes) override;
    /** False (and no move) for a position outside 0 ... length. */
    bool setPosition(long position) override;
    long getPosition() override;
    long getLength() override;

private:
    std::vector<std::uint8_t> bytes;
    std::size_t position = 0;
};

} // namespace murel
