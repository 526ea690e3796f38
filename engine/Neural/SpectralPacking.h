#pragma once

// Shared by the model loader and the spectral packing. Internal to the engine.

namespace murel::packing
{

/** Codes that pack real and imaginary parts as channels of their own. */
inline bool isComplexPacking(int code)
{
    return code == 4 || code == 6;
}

} // namespace murel::packing
