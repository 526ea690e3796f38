#include "DspCore/AlignedMemory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace murel
{

void* alignedMalloc(std::size_t numOfBytes) noexcept
{
    if (numOfBytes > SIZE_MAX - storageAlignment)
        return nullptr;

    // Over-allocate by one alignment unit: there is always room for the raw pointer in front
    // of the aligned address, because malloc returns at least pointer-aligned memory.
    void* raw = std::malloc(numOfBytes + storageAlignment);
    if (raw == nullptr)
        return nullptr;

    const auto rawAddress = reinterpret_cast<std::uintptr_t>(raw);
    const auto alignedAddress = (rawAddress + storageAlignment) & ~(storageAlignment - 1);
    void* aligned = reinterpret_cast<void*>(alignedAddress);
    std::memcpy(static_cast<char*>(aligned) - sizeof(void*), &raw, sizeof(void*));
    return aligned;
}

void alignedFree(void* pointer) noexcept
{
    if (pointer == nullptr)
        return;
    void* raw = nullptr;
    std::memcpy(&raw, static_cast<char*>(pointer) - sizeof(void*), sizeof(void*));
    std::free(raw);
}

} // namespace murel
