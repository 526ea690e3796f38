#pragma once

#include <cstddef>

#include "DspCore/Export.h"

namespace murel
{

/** Alignment in bytes of all signal and tensor storage. */
constexpr std::size_t storageAlignment = 64;

/** Allocates numOfBytes with 64-byte alignment, or returns null when memory is exhausted.
    The raw block pointer is kept just in front of the returned address. */
MUREL_EXPORT void* alignedMalloc(std::size_t numOfBytes) noexcept;

/** Releases a block from alignedMalloc; null is ignored. */
MUREL_EXPORT void alignedFree(void* pointer) noexcept;

} // namespace murel
