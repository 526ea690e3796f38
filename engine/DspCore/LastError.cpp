#include "DspCore/LastError.h"

namespace murel
{

namespace
{

thread_local std::string lastErrorMessage;

} // namespace

void setLastErrorMessage(const std::string& message)
{
    try
    {
        lastErrorMessage = message;
    }
    catch (...)
    {
        // Out of memory for a message: an empty reason is better than none at all.
        lastErrorMessage.clear();
    }
}

const std::string& getLastErrorMessage()
{
    return lastErrorMessage;
}

void clearLastErrorMessage()
{
    lastErrorMessage.clear();
}

} // namespace murel
