#pragma once

#include <stdexcept>
#include <string>

namespace murel::cli
{

/** A failure the user can act on: bad input, a model that does not load, a file that cannot be
    written. Its message is one line without the program name; the command line prints it. */
class Failure : public std::runtime_error
{
public:
    explicit Failure(const std::string& message) : std::runtime_error(message) {}
};

/** A command line that does not make sense (unknown bus, value out of range, conflicting
    options): reported like a failure, with the usage exit status. */
class UsageFailure : public Failure
{
public:
    explicit UsageFailure(const std::string& message) : Failure(message) {}
};

/** "'path'" for messages. */
std::string quote(const std::string& text);

/** The reason of the last failed system call (errno), as the system words it. */
std::string getSystemReason();

} // namespace murel::cli
