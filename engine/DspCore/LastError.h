#pragma once

#include <string>

#include "DspCore/Export.h"

namespace murel
{

/** Why the last failing create or load call on this thread failed, in one line that names the
    file and what did not fit. The C interface hands it out as murelGetLastErrorMessage; each
    create call clears it first, so a success never leaves a stale reason behind. */
MUREL_EXPORT void setLastErrorMessage(const std::string& message);
MUREL_EXPORT const std::string& getLastErrorMessage();
MUREL_EXPORT void clearLastErrorMessage();

} // namespace murel
