#pragma once

#include <lv2/core/lv2.h>

#include <cstdint>

namespace murel::lv2
{

/** The separator plug-ins' descriptors (0: mono, 1: stereo); null past them. */
const LV2_Descriptor* getSeparatorDescriptor(std::uint32_t index);

} // namespace murel::lv2
