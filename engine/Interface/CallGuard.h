#pragma once

#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "DspCore/LastError.h"

namespace murel
{

/** Every exported C function runs its body through one of these: nothing thrown inside the
    engine leaves the C interface. */

/** body(), or fallback when it throws, after onFailure (which must not throw) has seen the
    exception: null for one not derived from std::exception. */
template <typename Result, typename Body, typename OnFailure>
Result guardCall(Result fallback, Body&& body, OnFailure&& onFailure) noexcept
{
    try
    {
        return body();
    }
    catch (const std::exception& error)
    {
        onFailure(&error);
    }
    catch (...)
    {
        onFailure(nullptr);
    }
    return fallback;
}

/** body(), or fallback when it throws. */
template <typename Result, typename Body>
Result guardCall(Result fallback, Body&& body) noexcept
{
    return guardCall(fallback, std::forward<Body>(body), [](const std::exception*) noexcept {});
}

/** body(), ignoring what it throws. */
template <typename Body>
void guardCall(Body&& body) noexcept
{
    try
    {
        body();
    }
    catch (...)
    {
    }
}

/** The reason of a failed create call; for a model file, behind its path. */
inline void setCreateFailure(const char* modelPath, const char* reason) noexcept
{
    try
    {
        setLastErrorMessage(modelPath != nullptr ? "model '" + std::string(modelPath) + "': " + reason
                                                 : std::string(reason));
    }
    catch (...)
    {
        clearLastErrorMessage();
    }
}

/** A create call: body() returns the new handle or null. The thread's last error message is
    cleared first and again on success; a failure always leaves a reason: the one body gave,
    else what it threw (behind modelPath when given; out of memory alone), else noReason. */
template <typename Body>
void* guardCreate(const char* modelPath, const char* noReason, Body&& body) noexcept
{
    clearLastErrorMessage();
    try
    {
        if (void* handle = body())
        {
            clearLastErrorMessage();
            return handle;
        }
    }
    catch (const std::bad_alloc&)
    {
        setCreateFailure(nullptr, "out of memory");
    }
    catch (const std::exception& error)
    {
        setCreateFailure(modelPath, error.what());
    }
    catch (...)
    {
    }
    if (getLastErrorMessage().empty())
        setCreateFailure(nullptr, noReason);
    return nullptr;
}

} // namespace murel
