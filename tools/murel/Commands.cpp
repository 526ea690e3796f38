#include "Commands.h"

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

namespace
{

const char* const exitStatusText =
    "\t0\tsuccess\n"
    "\t1\tbad input: a missing, unreadable or unsupported file, a model that does not load, a rate or channel "
    "count the processor rejects, a failed write\n"
    "\t2\ta command line that does not make sense: an unknown option or bus, a value out of range\n"
    "\t130\tinterrupted\n"
    "\n"
    "Every failure prints one line on standard error and leaves no output file behind.";

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

/** A CLI11 check for numbers above 0, with a short message. */
const CLI::Validator positive(
    [](std::string& text)
    {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        return end != text.c_str() && *end == '\0' && value > 0.0 ? std::string() : "must be above 0, not " + text;
    },
    "", "positive");

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
        addCommonFlags(&app);
        app.require_subcommand(0, 1);
        app.fallthrough(false);
        setUpProcess();
        setUpInfo();
        setUpBench();
        setUpMakeModel();
        setUpMakeTestSignal();
        help = app.add_subcommand("help", "Print the page of a command, or this page.");
        help->add_option("COMMAND", helpTopic, "The command whose page to print.");
        addCommonFlags(help);
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
            err << "murel: usage: murel COMMAND [OPTIONS] [ARGUMENTS], COMMAND one of process, info, bench, "
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
        context.quiet = quiet;
        context.verbose = verbose;
        context.overwrite = overwrite;
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
        makeTestSignalOptions.settings.toneDecibels = parseLevel(toneLevel, "tone");
        makeTestSignalOptions.settings.noiseDecibels = parseLevel(noiseLevel, "noise");
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
                                      "  murel info demo.model"}};
        return page;
    }

    /** --version, -q and -v, on the program and on every command. */
    void addCommonFlags(CLI::App* command)
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

    void addOverwriteFlag(CLI::App* command)
    {
        command->add_flag("-y,--overwrite", overwrite,
                          "Replace output files that exist. Without it an existing file is never replaced.");
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

    void setUpProcess()
    {
        process = app.add_subcommand("process", "Remove or isolate components of an audio file.");
        ManPage page;
        page.name = "murel process";
        page.summary = "remove or isolate components of an audio file";
        page.synopsis = {"murel process IN OUT [--model MODEL ...] [OPTIONS]",
                         "murel process IN [OUT] --stems FOLDER [--model MODEL ...] [OPTIONS]",
                         "murel process IN... -o FOLDER [-j N] [--model MODEL ...] [OPTIONS]"};
        page.description =
            "Runs the audio file IN through a processor made from one model, or through a stem separator "
            "made from several, at the file's own sample rate and channel count, and writes the result to "
            "OUT.\n"
            "\n"
            "A model splits the sound into buses: the components it separates and, last, one residual bus "
            "that holds whatever the models do not claim. With several models the buses are those of each "
            "model in the order of the --model options, then one residual named by the first model. Every "
            "bus has a name and an index (0, 1, ...); murel info MODEL lists them. The output is the sum of "
            "all buses, each at its gain. With every gain at 1 the output equals the input: --gain Noise=0 "
            "removes the bus Noise, --solo Voice keeps only the bus Voice, --residual -12dB keeps the residual "
            "bus 12 dB down whatever its name. Without any --gain, --residual, --solo or --stems option the "
            "residual bus is removed (a note on standard error says so). The library decides this, so "
            "every host of it does the same.\n"
            "\n"
            "Without --model, the speech denoiser installed with murel is used: "
            "PREFIX/share/MurelEngine/models/speech-denoiser.model beside the library's own folder.\n"
            "\n"
            "OUT has exactly the length of IN and is aligned with it sample for sample: the processor's "
            "latency is compensated and its tail is flushed with silence. OUT keeps the file type, sample "
            "type, channel count and sample rate of IN, unless its name ends in the extension of another "
            "type (.wav, .flac, .ogg, ...) or --type and --format say otherwise; text tags such as title "
            "and artist are copied. Samples beyond full scale are clipped when OUT holds integers, with a "
            "warning.\n"
            "\n"
            "An output file appears only when it is complete: murel writes into a temporary file beside the "
            "target and renames it at the end. An existing file is replaced only with -y; the input itself "
            "may be replaced that way, a model never. A symbolic link is followed, so the file it points to "
            "is replaced; a FIFO is written in place once the result is complete, standard output (-) as "
            "the result comes for WAV and headerless PCM (a failure may leave part of it written) and once "
            "it is complete for other types; "
            "folders and devices are refused. After an error or an interruption no output file is left "
            "behind.\n"
            "\n"
            "- as IN reads standard input and as OUT writes standard output: WAV, FLAC and the other types "
            "that describe themselves, or headerless PCM with --raw-rate, --raw-channels and --raw-format "
            "(write it with --type raw). WAV and headerless PCM stream in blocks, so memory does not grow "
            "with the length; other types are read whole. A WAV written to a pipe declares the largest "
            "length, which readers take as \"up to the end\". A WAV file whose data ends before its "
            "header says is processed with a warning. Several inputs go into one folder with -o, -j at a time; with "
            "more "
            "than one input and no -o the command line is refused.\n"
            "\n"
            "With --stems FOLDER every bus is written alone to FOLDER/BUS.EXT: the bus name, made safe as a "
            "file name, with the extension of the output type (that of OUT when given, else of IN or "
            "--type). FOLDER is created when it does not exist. The input is read once; as the engine mixes "
            "all buses into one output, each stem runs through a processor of its own in which only its bus "
            "is audible, at the gain --gain gives it. At unit gains the stems add up to the input.\n"
            "\n"
            "Large files are processed in blocks; a progress bar is drawn on standard error when it is a "
            "terminal.";
        page.sections = {{"EXIT STATUS", exitStatusText},
                         {"EXAMPLES", "  murel process noisy.wav clean.wav --model demo.model --gain Noise=0\n"
                                      "  murel process noisy.wav clean.flac -m demo.model -g Noise=-20dB\n"
                                      "  murel process song.flac --stems stems -m voice.model -m drums.model\n"
                                      "  murel process song.flac voice.wav -m voice.model -m drums.model \\\n"
                                      "      --solo Voice --format float"}};
        process->formatter(std::make_shared<ManPageFormatter>(page));
        process
            ->add_option("FILES", processOptions.files,
                         "IN OUT: the audio file to process and the file to write; - reads standard input or writes "
                         "standard output. With --stems, OUT is optional. With -o, every FILE is an input.")
            ->required()
            ->type_name("FILES");
        process
            ->add_option("-o,--output-folder", processOptions.outputFolder,
                         "Process every FILE and write each into this folder under its own name. The folder is "
                         "created when it does not exist.")
            ->type_name("FOLDER");
        process->add_option("-j,--jobs", processOptions.numOfJobs, "Files processed at a time with -o (default 1).")
            ->type_name("N");
        process
            ->add_option("-m,--model", processOptions.models,
                         "A model file. Give it once for a processor, several times for a stem separator; the "
                         "models must agree in sample rate, channel count, window and hop size. Default: the "
                         "installed speech denoiser (see DESCRIPTION).")
            ->allow_extra_args(false)
            ->type_name("MODEL");
        process
            ->add_option("--residual", processOptions.residual,
                         "The gain of the residual bus (the last one): a linear factor, a level such as -12dB, or "
                         "off. Without any gain, --solo or --stems option the residual is removed.")
            ->type_name("LEVEL");
        process
            ->add_option("--raw-rate", processOptions.raw.sampleRate, "Read the input as headerless PCM at this rate.")
            ->type_name("RATE");
        process
            ->add_option("--raw-channels", processOptions.raw.numOfChannels,
                         "Channels of headerless PCM input (default 1).")
            ->type_name("N");
        process
            ->add_option("--raw-format", processOptions.raw.sampleFormat,
                         "Sample format of headerless PCM input, as for --format (default 16).")
            ->type_name("FORMAT");
        process
            ->add_option("-g,--gain", processOptions.busses.gains,
                         "The gain of a bus: a linear factor from 0 to 100 (0 removes the bus, 1 keeps it as it "
                         "is) or a level in decibels with the suffix dB, up to 40 dB (-12dB, '-inf dB'). BUS is "
                         "a bus name or index. Repeat the option for several buses. Default: 1 for every bus.")
            ->allow_extra_args(false)
            ->type_name("BUS=GAIN");
        process
            ->add_option("-s,--sensitivity", processOptions.busses.sensitivities,
                         "How strictly a bus claims sound, from -100 (permissive) to 100 (strict); 0, the "
                         "default, is the model as trained. Acts on masking models only. Repeat the option for "
                         "several buses.")
            ->allow_extra_args(false)
            ->type_name("BUS=VALUE");
        process
            ->add_option("--solo", processOptions.busses.solo,
                         "Write only this bus to OUT, at the gain --gain gives it; every other bus is silent.")
            ->type_name("BUS");
        process
            ->add_option("--stems", processOptions.stemsFolder,
                         "Write every bus alone into its own file in this folder (see DESCRIPTION).")
            ->type_name("FOLDER");
        process
            ->add_option("-t,--type", processOptions.format.type,
                         "File type of the output: wav, flac, ogg, opus, aiff, caf, w64, rf64, au or mp3. "
                         "Default: from the extension of OUT, else the type of IN.")
            ->type_name("TYPE");
        process
            ->add_option("-f,--format", processOptions.format.sampleFormat,
                         "Sample format of the output: 8, 16, 24 or 32 (bit integers), float or double, or an "
                         "encoding of the type (vorbis, opus, mp3, alaw, ulaw). Default: that of IN when the "
                         "output type can hold it, else the nearest it offers.")
            ->type_name("FORMAT");
        process
            ->add_option("--block", processOptions.blockSize,
                         "Frames read and processed at a time (default 4096). The result does not depend on it.")
            ->type_name("FRAMES");
        addCommonFlags(process);
        addOverwriteFlag(process);
    }

    void setUpInfo()
    {
        info = app.add_subcommand("info", "Describe a model: header values, buses, latency and layer graph.");
        ManPage page;
        page.name = "murel info";
        page.summary = "describe a model file";
        page.synopsis = {"murel info MODEL [--rate RATE] [--channels N]"};
        page.description =
            "Prints the model's header values (sample rate, channel counts, whether it outputs masks or "
            "spectra, how spectra are packed into its tensors, FFT, window and hop size), its buses (the "
            "residual last), its latency, its parameter count and its layer graph: for every layer in file "
            "order its name, type, source layers, weight shapes, parameter count and settings.\n"
            "\n"
            "The engine loads the model exactly as murel process would, and reports the latency: the frames "
            "the network holds back, and the samples of the whole processor for audio at RATE with N "
            "channels (by default the model's own). A rate other than the model's makes the engine scale "
            "its frame sizes by a power of two, and the latency with them. The graph is read from the file "
            "by murel itself.";
        page.sections = {{"EXIT STATUS", exitStatusText},
                         {"EXAMPLES", "  murel info denoiser.model\n  murel info denoiser.model --rate 96000"}};
        info->formatter(std::make_shared<ManPageFormatter>(page));
        addCommonFlags(info);
        info->add_option("MODEL", infoOptions.model, "The model file.")->required()->type_name("MODEL");
        info->add_option("-r,--rate", infoOptions.sampleRate,
                         "Sample rate in Hz for the latency in samples. Default: the model's.")
            ->check(positive)
            ->type_name("RATE");
        info->add_option("-c,--channels", infoOptions.numOfChannels,
                         "Channel count for the latency in samples. Default: the model's.")
            ->check(positive)
            ->type_name("N");
    }

    void setUpBench()
    {
        bench = app.add_subcommand("bench", "Measure how fast a model processes audio.");
        ManPage page;
        page.name = "murel bench";
        page.summary = "measure how fast a model processes audio";
        page.synopsis = {"murel bench MODEL [MODEL ...] [--rate RATE] [--channels N] [--block SAMPLES] "
                         "[--seconds SECONDS]"};
        page.description =
            "Runs white noise through a processor (one model) or a stem separator (several) block by block, "
            "as a real-time host would, taking the processed audio after every block. Reports the speed in "
            "multiples of real time (seconds of audio per second of processing), the mean and the worst time "
            "per block next to the time a block lasts, and the CPU time of all threads. Half a second of "
            "audio warms the processor up first and is not counted.";
        page.sections = {{"EXIT STATUS", exitStatusText},
                         {"EXAMPLES", "  murel bench denoiser.model\n"
                                      "  murel bench denoiser.model --rate 44100 --channels 2 --block 128"}};
        bench->formatter(std::make_shared<ManPageFormatter>(page));
        addCommonFlags(bench);
        bench->add_option("MODEL", benchOptions.models, "Model files; several make a stem separator.")
            ->required()
            ->type_name("MODEL");
        bench->add_option("-r,--rate", benchOptions.sampleRate, "Sample rate in Hz. Default: the first model's.")
            ->check(positive)
            ->type_name("RATE");
        bench->add_option("-c,--channels", benchOptions.numOfChannels, "Channel count. Default: the first model's.")
            ->check(positive)
            ->type_name("N");
        bench->add_option("-b,--block", benchOptions.blockSize, "Samples per channel in each block (default 512).")
            ->check(positive)
            ->type_name("SAMPLES");
        bench->add_option("--seconds", benchOptions.seconds, "Seconds of audio to process (default 10).")
            ->check(positive)
            ->type_name("SECONDS");
    }

    void setUpMakeModel()
    {
        makeModel = app.add_subcommand("make-model", "Write a small demonstration model (no trained network).");
        makeModel->group("Development");
        ManPage page;
        page.name = "murel make-model";
        page.summary = "write a small demonstration model";
        page.synopsis = {"murel make-model OUT [--kind gate|identity|constant] [OPTIONS]"};
        page.description =
            "Writes a model file made with the project's own model writer, for trying murel and the library "
            "before a trained model is at hand, and for tests. None of the kinds holds a trained network:\n"
            "\n"
            "\tgate\ta spectral gate, the default: bus Signal keeps every bin louder than the threshold, the "
            "residual bus Noise gets the rest. --gain Noise=0 removes a steady noise floor.\n"
            "\tidentity\toutputs the spectrum it is given: bus Processed holds everything, the residual nothing, "
            "and the output equals the input whatever the gains.\n"
            "\tconstant\ta mask of one value (--mask) for every bin: bus Processed is the input times the value, "
            "the residual the rest.";
        page.sections = {{"EXIT STATUS", exitStatusText},
                         {"EXAMPLES", "  murel make-model demo.model\n"
                                      "  murel make-model stereo-identity.model --kind identity --channels 2\n"
                                      "  murel make-model quarter.model --kind constant --mask 0.25 --bus Voice"}};
        makeModel->formatter(std::make_shared<ManPageFormatter>(page));
        DemoModelSettings& settings = makeModelOptions.settings;
        addCommonFlags(makeModel);
        addOverwriteFlag(makeModel);
        makeModel->add_option("OUT", makeModelOptions.output, "The model file to write.")->required()->type_name("OUT");
        makeModel->add_option("-k,--kind", settings.kind, "gate (default), identity or constant.")->type_name("KIND");
        makeModel->add_option("-c,--channels", settings.numOfChannels, "Input and output channels (default 1).")
            ->type_name("N");
        makeModel->add_option("-r,--rate", settings.sampleRate, "The model's sample rate in Hz (default 48000).")
            ->type_name("RATE");
        makeModel->add_option("--fft", settings.fftSize, "FFT size, a power of two (default 1024).")->type_name("N");
        makeModel->add_option("--window", settings.windowSize, "Window size in samples (default 1024).")
            ->type_name("N");
        makeModel
            ->add_option("--hop", settings.hopSize,
                         "Hop size in samples (default 256). The engine reconstructs its input exactly when the "
                         "window is 2 or 4 hops long and as long as the FFT.")
            ->type_name("N");
        makeModel
            ->add_option("--threshold", settings.thresholdDecibels,
                         "gate: level in dB below full scale of a sine whose bins pass at half gain (default -40).")
            ->type_name("DB");
        makeModel->add_option("--mask", settings.maskValue, "constant: the mask value, 0 to 1 (default 0.5).")
            ->type_name("VALUE");
        makeModel
            ->add_option("--delay", settings.delay,
                         "Frames the network holds back before its output, 0 to 127 (default 0): a latency for "
                         "the processor to compensate.")
            ->type_name("FRAMES");
        makeModel->add_option("--bus", settings.busName, "Name of the model's bus (default Signal or Processed).")
            ->type_name("NAME");
        makeModel
            ->add_option("--residual", settings.residualName, "Name of the residual bus (default Noise or Residual).")
            ->type_name("NAME");
    }

    void setUpMakeTestSignal()
    {
        makeTestSignal = app.add_subcommand("make-test-signal", "Write a short noisy test recording.");
        makeTestSignal->group("Development");
        ManPage page;
        page.name = "murel make-test-signal";
        page.summary = "write a short noisy test recording";
        page.synopsis = {"murel make-test-signal OUT [--seconds S] [--rate RATE] [--channels N] [--tone LEVEL] "
                         "[--noise LEVEL] [--seed N] [--type TYPE] [--format FORMAT]"};
        page.description =
            "Writes chords of three sine tones that change every 0.75 seconds, each tone at the --tone peak "
            "level, with Gaussian white noise at the --noise RMS level. The same settings give the same "
            "samples on every machine. The file type comes from the extension of OUT (or --type); samples "
            "are 16-bit integers unless --format says otherwise (Ogg files: Vorbis).";
        page.sections = {{"EXIT STATUS", exitStatusText},
                         {"EXAMPLES", "  murel make-test-signal noisy.wav\n"
                                      "  murel make-test-signal noise.flac --tone -inf --noise -20dB -c 1"}};
        makeTestSignal->formatter(std::make_shared<ManPageFormatter>(page));
        TestSignalSettings& settings = makeTestSignalOptions.settings;
        addCommonFlags(makeTestSignal);
        addOverwriteFlag(makeTestSignal);
        makeTestSignal->add_option("OUT", makeTestSignalOptions.output, "The audio file to write.")
            ->required()
            ->type_name("OUT");
        makeTestSignal->add_option("--seconds", settings.seconds, "Length in seconds (default 3).")->type_name("S");
        makeTestSignal->add_option("-r,--rate", settings.sampleRate, "Sample rate in Hz (default 48000).")
            ->type_name("RATE");
        makeTestSignal->add_option("-c,--channels", settings.numOfChannels, "Channel count (default 2).")
            ->type_name("N");
        makeTestSignal->add_option("--tone", toneLevel, "Peak level of each tone in dB (default -12dB; -inf: none).")
            ->type_name("LEVEL");
        makeTestSignal->add_option("--noise", noiseLevel, "RMS level of the noise in dB (default -30dB; -inf: none).")
            ->type_name("LEVEL");
        makeTestSignal->add_option("--seed", settings.seed, "Seed of the noise (default 1).")->type_name("N");
        makeTestSignal->add_option("-t,--type", makeTestSignalOptions.format.type, "File type, as for murel process.")
            ->type_name("TYPE");
        makeTestSignal
            ->add_option("-f,--format", makeTestSignalOptions.format.sampleFormat,
                         "Sample format, as for murel process.")
            ->type_name("FORMAT");
    }

    std::ostream& out;
    std::ostream& err;
    const std::atomic<bool>* interrupted;
    CLI::App app;
    CLI::App* process = nullptr;
    CLI::App* info = nullptr;
    CLI::App* bench = nullptr;
    CLI::App* makeModel = nullptr;
    CLI::App* makeTestSignal = nullptr;
    CLI::App* help = nullptr;
    CLI::App* man = nullptr;
    CLI::App* completion = nullptr;
    std::string helpTopic;
    bool quiet = false;
    bool verbose = false;
    bool overwrite = false;
    ProcessOptions processOptions;
    InfoOptions infoOptions;
    BenchOptions benchOptions;
    MakeModelOptions makeModelOptions;
    MakeTestSignalOptions makeTestSignalOptions;
    std::string toneLevel = "-12dB";
    std::string noiseLevel = "-30dB";
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
