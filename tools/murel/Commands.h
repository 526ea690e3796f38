#pragma once

#include <atomic>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace murel::cli
{

/** Exit statuses of the murel program. */
enum ExitStatus : int
{
    exitSuccess = 0,
    /** Bad input: a file or model that cannot be used, a write that failed. */
    exitFailure = 1,
    /** A command line that does not make sense. */
    exitUsage = 2,
    /** Stopped by a signal (128 + SIGINT). */
    exitInterrupted = 130,
};

/** Runs the murel command line, arguments[0] being the program name. Output goes to out, messages
    and the progress bar to err; nothing is thrown. interrupted, when given, is polled while audio
    is processed. */
int runCommandLine(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                   const std::atomic<bool>* interrupted = nullptr);
/** As above, with "-" reading from in (null: standard input cannot be read). */
int runCommandLine(const std::vector<std::string>& arguments, std::istream* in, std::ostream& out, std::ostream& err,
                   const std::atomic<bool>* interrupted = nullptr);

} // namespace murel::cli
