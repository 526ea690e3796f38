#pragma once

// The command line's parts that live beside each command: every command file adds its own
// subcommand, with its options and its manual page.

#include "CommandSupport.h"

namespace CLI
{
class App;
class Validator;
} // namespace CLI

namespace murel::cli
{

/** The flags of the program and of every command. */
struct CommonFlags
{
    bool quiet = false;
    bool verbose = false;
    bool overwrite = false;

    /** --version, -q and -v. */
    void addTo(CLI::App* command);
    /** -y. */
    void addOverwriteTo(CLI::App* command);
};

/** --raw-rate, --raw-channels, --raw-format and --block of the commands that read audio files. */
void addReadingOptions(CLI::App* command, RawFormat& raw, int& blockSize);

/** The EXIT STATUS section of every page. */
extern const char* const exitStatusText;
/** A check for numbers above 0, with a short message. */
const CLI::Validator& getPositiveCheck();

/** Each adds its command to app: its options (written into options as they are parsed), its
    flags and its manual page. */
CLI::App* addProcessCommand(CLI::App& app, ProcessOptions& options, CommonFlags& flags);
CLI::App* addSeparateCommand(CLI::App& app, SeparateOptions& options, CommonFlags& flags);
CLI::App* addInfoCommand(CLI::App& app, InfoOptions& options, CommonFlags& flags);
CLI::App* addBenchCommand(CLI::App& app, BenchOptions& options, CommonFlags& flags);
CLI::App* addMakeModelCommand(CLI::App& app, MakeModelOptions& options, CommonFlags& flags);
CLI::App* addMakeTestSignalCommand(CLI::App& app, MakeTestSignalOptions& options, CommonFlags& flags);

} // namespace murel::cli
