#include "Commands.h"

#include <atomic>
#include <csignal>
#include <iostream>

namespace
{

std::atomic<bool> interrupted{false};

extern "C" void onInterrupt(int)
{
    interrupted.store(true);
}

} // namespace

int main(int argc, char** argv)
{
    static_assert(std::atomic<bool>::is_always_lock_free, "the interrupt flag is set from a signal handler");
    // Stop cleanly on Ctrl-C and friends, so that no partial output file stays behind.
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signalNumber, &action, nullptr);

    const std::vector<std::string> arguments(argv, argv + argc);
    return murel::cli::runCommandLine(arguments, &std::cin, std::cout, std::cerr, &interrupted);
}
