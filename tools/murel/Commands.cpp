#include "Commands.h"

#include "CommandOptions.h"
#include "CommandSupport.h"
#include "EngineHandles.h"
#include "Failure.h"
#include "ManPage.h"
#include "ProgressBar.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

#ifndef MUREL_VERSION
#define MUREL_VERSION "unknown"
#endif

namespace murel::cli
{

void CommandContext::warn(const std::string& message) const
{
    if (!quiet)
        err << commandName << ": warning: " << message << "\n";
}

void CommandContext::note(const std::string& message) const
{
    if (!quiet)
        err << commandName << ": " << message << "\n";
}

std::string formatRate(double sampleRate)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", sampleRate);
    return text;
}

const char* const exitStatusText =
    "\t0\tsuccess\n"
    "\t1\tbad input: a missing, unreadable or unsupported file, a model that does not load, a rate or channel "
    "count the processor rejects, a failed write\n"
    "\t2\ta command line that does not make sense: an unknown option or bus, a value out of range\n"
    "\t130\tinterrupted\n"
    "\n"
    "Every failure prints one line on standard error and leaves no output file behind.";

const CLI::Validator& getPositiveCheck()
{
    static const CLI::Validator positive(
        [](std::string& text)
        {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            return end != text.c_str() && *end == '\0' && value > 0.0 ? std::string() : "must be above 0, not " + text;
        },
        "", "positive");
    return positive;
}

void CommonFlags::addTo(CLI::App* command)
{
    // At once, so that a command's required arguments are not asked for.
    command
        ->add_flag_callback(
            "--version", [] { throw CLI::CallForVersion(); },
            "Print the version and the engine's vector arithmetic back end, and exit.")
        ->trigger_on_parse();
    command->add_flag("-q,--quiet", quiet, "Print no progress bar, notes or warnings; errors are still printed.");
    command->add_flag("-v,--verbose", verbose, "Describe what is done on standard error.");
}

void CommonFlags::addOverwriteTo(CLI::App* command)
{
    command->add_flag("-y,--overwrite", overwrite,
                      "Replace output files that exist. Without it an existing file is never replaced.");
}

void addReadingOptions(CLI::App* command, RawFormat& raw, int& blockSize)
{
    command->add_option("--raw-rate", raw.sampleRate, "Read the input as headerless PCM at this rate.")
        ->type_name("RATE");
    command->add_option("--raw-channels", raw.numOfChannels, "Channels of headerless PCM input (default 1).")
        ->type_name("N");
    command
        ->add_option("--raw-format", raw.sampleFormat,
                     "Sample format of headerless PCM input, as for --format (default 16).")
        ->type_name("FORMAT");
    command
        ->add_option("--block", blockSize,
                     "Frames read and processed at a time (default 4096). The result does not depend on it.")
        ->type_name("FRAMES");
}

namespace
{

/** A level in decibels for the test signal: "-30", "-30dB", "-inf" or "off". */
double parseLevel(const std::string& text, const char* what)
{
    std::string lower;
    for (const char c : text)
        if (c != ' ')
            lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.size() > 2 && lower.compare(lower.size() - 2, 2, "db") == 0)
        lower.resize(lower.size() - 2);
    if (lower == "-inf" || lower == "off")
        return -HUGE_VAL;
    char* end = nullptr;
    const double level = std::strtod(lower.c_str(), &end);
    if (lower.empty() || end != lower.c_str() + lower.size() || !(level <= 0.0))
        throw UsageFailure(std::string("bad ") + what + " level " + quote(text) +
                           ": expected decibels at or below 0, such as -30dB, or -inf");
    return level;
}

class CommandLine
{
public:
    CommandLine(std::ostream& outStream, std::ostream& errStream, const std::atomic<bool>* interruptFlag)
        : out(outStream), err(errStream), interrupted(interruptFlag)
    {
        app.name("murel");
        app.description("Clean, separate and inspect audio files with libMurelEngine models");
        app.formatter(std::make_shared<ManPageFormatter>(makeMainPage()));
        app.set_help_flag("-h,--help", "Print this page and exit.");
        flags.addTo(&app);
        app.require_subcommand(0, 1);
        app.fallthrough(false);
        process = addProcessCommand(app, processOptions, flags);
        separate = addSeparateCommand(app, separateOptions, flags);
        info = addInfoCommand(app, infoOptions, flags);
        bench = addBenchCommand(app, benchOptions, flags);
        makeModel = addMakeModelCommand(app, makeModelOptions, flags);
        makeTestSignal = addMakeTestSignalCommand(app, makeTestSignalOptions, flags);
        help = app.add_subcommand("help", "Print the page of a command, or this page.");
        help->add_option("COMMAND", helpTopic, "The command whose page to print.");
        flags.addTo(help);
        // For the build: the manual pages and the completion script come from these definitions.
        man = app.add_subcommand("man", "Print a manual page in roff.");
        man->group("");
        man->add_option("COMMAND", helpTopic, "The command whose page to print; none: the program's.");
        completion = app.add_subcommand("completion", "Print the bash completion script.");
        completion->group("");
        help->formatter(std::make_shared<ManPageFormatter>(
            ManPage{"murel help", "print a command's manual page", {"murel help [COMMAND]"}, "", {}}));
    }

    int run(const std::vector<std::string>& arguments, std::istream* in)
    {
        if (arguments.size() < 2)
        {
            err << "murel: usage: murel COMMAND [OPTIONS] [ARGUMENTS], COMMAND one of process, separate, info, bench, "
                   "make-model, make-test-signal, help; see 'murel --help'\n";
            return exitUsage;
        }
        std::vector<const char*> argv;
        for (const std::string& argument : arguments)
            argv.push_back(argument.c_str());
        try
        {
            app.parse(static_cast<int>(argv.size()), argv.data());
        }
        catch (const CLI::CallForHelp&)
        {
            out << app.help();
            return exitSuccess;
        }
        catch (const CLI::CallForAllHelp&)
        {
            out << app.help();
            return exitSuccess;
        }

        catch (const CLI::CallForVersion&)
        {
            out << "murel " << MUREL_VERSION << " (libMurelEngine " << murelGetVersionString() << ", "
                << getVectorArithmeticName() << ")\n";
            return exitSuccess;
        }
        catch (const CLI::ParseError& error)
        {
            const std::string name = getCommandName();
            err << name << ": " << error.what() << "; see '" << name << " --help'\n";
            return exitUsage;
        }

        CommandContext context{out, err, getCommandName()};
        context.quiet = flags.quiet;
        context.verbose = flags.verbose;
        context.overwrite = flags.overwrite;
        context.in = in;
        context.programPath = getProgramPath(arguments.front());
        context.isTerminal = isErrorStreamTerminal();
        context.terminalWidth = context.isTerminal ? getErrorStreamWidth() : 80;
        context.interrupted = interrupted;
        try
        {
            return dispatch(context);
        }
        catch (const UsageFailure& failure)
        {
            err << context.commandName << ": " << failure.what() << "\n";
            return exitUsage;
        }
        catch (const Failure& failure)
        {
            err << context.commandName << ": " << failure.what() << "\n";
            return interrupted != nullptr && interrupted->load() ? exitInterrupted : exitFailure;
        }
        catch (const std::exception& error)
        {
            err << context.commandName << ": unexpected error: " << error.what() << "\n";
            return exitFailure;
        }
    }

private:
    std::string getCommandName() const
    {
        for (const CLI::App* command : app.get_subcommands())
            return "murel " + command->get_name();
        return "murel";
    }

    int dispatch(const CommandContext& context)
    {
        if (process->parsed())
            runProcess(processOptions, context);
        else if (separate->parsed())
            runSeparate(separateOptions, context);
        else if (info->parsed())
            runInfo(infoOptions, context);
        else if (bench->parsed())
            runBench(benchOptions, context);
        else if (makeModel->parsed())
            runMakeModel(makeModelOptions, context);
        else if (makeTestSignal->parsed())
            runMakeTestSignal(prepareTestSignalOptions(), context);
        else if (help->parsed() && !helpTopic.empty())
            out << findCommand(helpTopic)->help("murel");
        else if (man->parsed())
        {
            CLI::App* command = helpTopic.empty() ? &app : findCommand(helpTopic);
            const auto formatter = std::dynamic_pointer_cast<ManPageFormatter>(command->get_formatter());
            if (formatter == nullptr)
                throw UsageFailure("no manual page for " + quote(helpTopic));
            out << formatter->makeRoffPage(command, MUREL_VERSION);
        }
        else if (completion->parsed())
            out << makeBashCompletion(app);
        else
            out << app.help();
        return exitSuccess;
    }

    CLI::App* findCommand(const std::string& name)
    {
        for (CLI::App* command : app.get_subcommands({}))
            if (command->get_name() == name)
                return command;
        throw UsageFailure("unknown command " + quote(name) + "; see 'murel --help'");
    }

    const MakeTestSignalOptions& prepareTestSignalOptions()
    {
        makeTestSignalOptions.settings.toneDecibels = parseLevel(makeTestSignalOptions.toneLevel, "tone");
        makeTestSignalOptions.settings.noiseDecibels = parseLevel(makeTestSignalOptions.noiseLevel, "noise");
        return makeTestSignalOptions;
    }

    static ManPage makeMainPage()
    {
        ManPage page;
        page.name = "murel";
        page.summary = "clean, separate and inspect audio files with libMurelEngine models";
        page.synopsis = {"murel COMMAND [OPTIONS] [ARGUMENTS]", "murel help [COMMAND]", "murel --version"};
        page.description =
            "murel runs audio files through the neural spectral processors of libMurelEngine: it removes "
            "noise or other unwanted components from a recording, or separates it into its components "
            "(stems). It reads and writes the audio file types of libsndfile (WAV, FLAC, Ogg Vorbis and "
            "Opus, AIFF, CAF and more) and uses nothing of the library but its public C functions.\n"
            "\n"
            "Each command has its own page: murel COMMAND --help, or murel help COMMAND.";
        page.sections = {{"EXIT STATUS", exitStatusText},
                         {"EXAMPLES", "  murel make-model demo.model\n"
                                      "  murel make-test-signal noisy.wav --seconds 3\n"
                                      "  murel process noisy.wav clean.wav --model demo.model --gain Noise=0\n"
                                      "  murel separate film.wav stems\n"
                                      "  murel info demo.model"}};
        return page;
    }

    /** The program's path for finding the default model: as called, or as the system knows it. */
    static std::string getProgramPath(const std::string& called)
    {
        if (called.find('/') != std::string::npos)
            return called;
        char path[4096];
        const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
        return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : called;
    }

    std::ostream& out;
    std::ostream& err;
    const std::atomic<bool>* interrupted;
    CLI::App app;
    CLI::App* process = nullptr;
    CLI::App* separate = nullptr;
    CLI::App* info = nullptr;
    CLI::App* bench = nullptr;
    CLI::App* makeModel = nullptr;
    CLI::App* makeTestSignal = nullptr;
    CLI::App* help = nullptr;
    CLI::App* man = nullptr;
    CLI::App* completion = nullptr;
    std::string helpTopic;
    CommonFlags flags;
    ProcessOptions processOptions;
    SeparateOptions separateOptions;
    InfoOptions infoOptions;
    BenchOptions benchOptions;
    MakeModelOptions makeModelOptions;
    MakeTestSignalOptions makeTestSignalOptions;
};

} // namespace

int runCommandLine(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                   const std::atomic<bool>* interrupted)
{
    return runCommandLine(arguments, nullptr, out, err, interrupted);
}

int runCommandLine(const std::vector<std::string>& arguments, std::istream* in, std::ostream& out, std::ostream& err,
                   const std::atomic<bool>* interrupted)
{
    try
    {
        CommandLine commandLine(out, err, interrupted);
        return commandLine.run(arguments, in);
    }
    catch (const std::exception& error)
    {
        err << "murel: unexpected error: " << error.what() << "\n";
        return exitFailure;
    }
}

} // namespace murel::cli
