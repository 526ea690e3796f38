#include "CommandOptions.h"
#include "CommandSupport.h"
#include "EngineHandles.h"
#include "Failure.h"
#include "ManPage.h"

#include "ProgressBar.h"
#include "Render.h"
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace murel::cli
{

namespace
{

/** A stems folder that this run creates is removed again when the run fails. */
class StemsFolder
{
public:
    explicit StemsFolder(std::string folderPath) : path(std::move(folderPath))
    {
        struct stat status = {};
        if (::stat(path.c_str(), &status) == 0)
        {
            if (!S_ISDIR(status.st_mode))
                throw Failure("cannot write stems into " + quote(path) + ": it is not a folder");
            return;
        }
        if (::mkdir(path.c_str(), 0777) != 0)
            throw Failure("cannot create the stems folder " + quote(path) + ": " + getSystemReason());
        created = true;
    }

    ~StemsFolder()
    {
        if (created && !kept)
            ::rmdir(path.c_str());
    }

    StemsFolder(const StemsFolder&) = delete;
    StemsFolder& operator=(const StemsFolder&) = delete;

    std::string getFilePath(const std::string& name) const
    {
        return path.back() == '/' ? path + name : path + "/" + name;
    }

    void keep() { kept = true; }

private:
    std::string path;
    bool created = false;
    bool kept = false;
};

std::string getFileName(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

/** A model that outputs spectra for fewer channels than the file has gives every channel the same
    bus content (the engine averages the channels before the model); say so, as it is easy to miss. */
void warnAboutSpectraModels(const std::vector<std::string>& models, int numOfChannels, const CommandContext& context)
{
    for (const std::string& model : models)
    {
        try
        {
            const ModelHeaderRecord header = readModelDescription(model).records.header;
            if (header.processingMode != ProcessingMode::masks && header.numInputChannels < numOfChannels)
                context.warn("model " + quote(model) + " outputs spectra for " +
                             std::to_string(header.numInputChannels) + " channel" +
                             (header.numInputChannels == 1 ? "" : "s") + ": its buses are the same in all " +
                             std::to_string(numOfChannels) + " channels of the file");
        }
        catch (const std::exception&)
        {
            // The engine loaded it; the description is only for the warning.
        }
    }
}

} // namespace

std::vector<std::string> makeStemFileNames(const std::vector<std::string>& busNames, const std::string& extension)
{
    std::vector<std::string> stems;
    for (const std::string& busName : busNames)
    {
        std::string stem;
        for (const char c : busName)
        {
            const auto code = static_cast<unsigned char>(c);
            stem += (c == '/' || c == '\\' || code < 32 || code == 127) ? '_' : c;
        }
        if (!stem.empty() && stem.front() == '.')
            stem.front() = '_';
        stems.push_back(stem);
    }
    std::vector<std::string> names;
    for (std::size_t bus = 0; bus < stems.size(); ++bus)
    {
        const auto numOfSameStems = std::count(stems.begin(), stems.end(), stems[bus]);

        std::string name = stems[bus];
        if (name.empty())
            name = "bus" + std::to_string(bus);
        else if (numOfSameStems > 1)
            name += "-" + std::to_string(bus);
        names.push_back(name + "." + extension);
    }
    return names;
}

namespace
{

/** What one input becomes. */
struct Job
{
    std::string input;
    std::string output;
};

void processFile(const Job& job, const ProcessOptions& options, const std::vector<std::string>& models,
                 const CommandContext& context)
{
    const std::string& inputPath = job.input;
    const std::string& outputPath = job.output;
    AudioReader input(inputPath, options.raw, context.in);
    const int numOfChannels = input.getNumOfChannels();
    const double sampleRate = input.getSampleRate();
    const bool writesStems = !options.stemsFolder.empty();

    // Every check that can fail, the mix included, comes before the first output file exists.
    // The engine mixes its buses into one output, so each stem has a processor of its own that
    // hears only its bus; they all get the same input blocks in one pass over the file.
    std::vector<std::unique_ptr<ProcessorHandle>> processors;
    if (!outputPath.empty())
    {
        processors.push_back(std::make_unique<ProcessorHandle>(models, numOfChannels, sampleRate));
        applyMix(*processors.back(), makeMixSettings(options.busses, options.residual, writesStems));
    }
    std::vector<std::string> busNames;
    if (writesStems)
    {
        if (processors.empty())
            processors.push_back(std::make_unique<ProcessorHandle>(models, numOfChannels, sampleRate));
        busNames = processors.front()->getBusNames();
        for (std::size_t bus = 0; bus < busNames.size(); ++bus)
        {
            if (processors.size() <= bus + (outputPath.empty() ? 0 : 1))
                processors.push_back(std::make_unique<ProcessorHandle>(models, numOfChannels, sampleRate));
            applyMix(*processors.back(), makeStemMixSettings(options.busses, static_cast<int>(bus)));
        }
    }
    warnAboutSpectraModels(models, numOfChannels, context);

    OutputRules rules;
    rules.overwrite = context.overwrite;
    rules.inputs = {inputPath};
    rules.models = models;
    rules.standardOutput = &context.out;

    int outputFormat = 0;
    if (!outputPath.empty())
        outputFormat = chooseOutputFormat(input.getInfo(), outputPath == "-" ? "" : outputPath, options.format);
    int stemFormat = outputFormat;
    if (writesStems && stemFormat == 0)
        stemFormat = chooseOutputFormat(input.getInfo(), "", options.format);

    // Declared before the writers: on failure their temporary files go first, then the folder.
    std::unique_ptr<StemsFolder> stemsFolder;
    std::vector<std::unique_ptr<AudioWriter>> writers;
    std::vector<RenderTarget> targets;
    const AudioTags tags = input.getTags();
    std::size_t nextProcessor = 0;
    if (!outputPath.empty())
    {
        writers.push_back(
            std::make_unique<AudioWriter>(outputPath, outputFormat, numOfChannels, input.getSampleRate(), tags, rules));
        targets.push_back({processors[nextProcessor++].get(), writers.back().get()});
    }
    if (writesStems)
    {
        stemsFolder = std::make_unique<StemsFolder>(options.stemsFolder);
        const std::vector<std::string> fileNames = makeStemFileNames(busNames, getFileExtension(stemFormat));
        for (std::size_t bus = 0; bus < busNames.size(); ++bus)
        {
            writers.push_back(std::make_unique<AudioWriter>(stemsFolder->getFilePath(fileNames[bus]), stemFormat,
                                                            numOfChannels, input.getSampleRate(), tags, rules));
            targets.push_back({processors[nextProcessor++].get(), writers.back().get()});
        }
    }

    ProgressBar progress(context.err, context.isTerminal && !context.quiet, context.terminalWidth);
    progress.start(getFileName(inputPath), input.getNumOfFrames(), sampleRate);
    RenderSettings settings;
    settings.blockSize = options.blockSize;
    settings.progress = &progress;
    settings.interrupted = context.interrupted;
    const std::int64_t numOfFrames = renderFile(input, targets, settings);
    if (input.getNumOfDeclaredFrames() > numOfFrames)
        context.warn((inputPath == "-" ? std::string("standard input") : quote(inputPath)) + " holds only " +
                     std::to_string(numOfFrames) + " of the " + std::to_string(input.getNumOfDeclaredFrames()) +
                     " frames its header declares; processed those");

    for (const auto& writer : writers)
        writer->close();
    for (const auto& writer : writers)
        writer->commit();
    if (stemsFolder)
        stemsFolder->keep();

    for (const auto& writer : writers)
    {
        if (writer->getNumOfClippedSamples() > 0)
            context.warn(std::to_string(writer->getNumOfClippedSamples()) + " samples clipped in " +
                         quote(writer->getPath()) + "; lower a gain or write --format float");
        if (context.verbose)
        {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.3f", static_cast<double>(numOfFrames) / sampleRate);
            context.err << context.commandName << ": wrote " << quote(writer->getPath()) << " ("
                        << describeFormat(writer->getFormat()) << ", " << numOfChannels << " ch, "
                        << formatRate(sampleRate) << " Hz, " << numOfFrames << " frames = " << seconds << " s)\n";
        }
    }
}

/** The jobs the file arguments ask for. Throws UsageFailure for combinations that make no sense. */
std::vector<Job> planJobs(const ProcessOptions& options)
{
    const std::vector<std::string>& files = options.files;
    if (files.empty())
        throw UsageFailure("give an input file");
    std::vector<Job> jobs;
    if (!options.outputFolder.empty())
    {
        if (!options.stemsFolder.empty())
            throw UsageFailure("-o and --stems cannot go together; run the files one at a time for stems");
        std::set<std::string> names;
        for (const std::string& input : files)
        {
            if (input == "-")
                throw UsageFailure("standard input has no name to keep in the folder; give an output file for it");
            const std::string name = getFileName(input);
            if (!names.insert(name).second)
                throw UsageFailure("two inputs are named " + quote(name) + ": their outputs in " +
                                   quote(options.outputFolder) + " would replace each other");
            const std::string& folder = options.outputFolder;
            jobs.push_back({input, folder.back() == '/' ? folder + name : folder + "/" + name});
        }
        return jobs;
    }
    if (files.size() > 2)
        throw UsageFailure("give one input and one output file, or several inputs with -o FOLDER");
    if (files.size() == 1 && options.stemsFolder.empty())
        throw UsageFailure("give an output file, --stems FOLDER, or both");
    if (!options.busses.solo.empty() && files.size() == 1)
        throw UsageFailure("--solo chooses what goes into the output file; with --stems alone every bus gets its own "
                           "file");
    jobs.push_back({files[0], files.size() == 2 ? files[1] : std::string()});
    return jobs;
}

/** Creates the -o folder when it does not exist. */
void prepareOutputFolder(const std::string& folder)
{
    struct stat status = {};
    if (::stat(folder.c_str(), &status) == 0)
    {
        if (!S_ISDIR(status.st_mode))
            throw Failure("cannot write into " + quote(folder) + ": it is not a folder");
        return;
    }
    if (::mkdir(folder.c_str(), 0777) != 0)
        throw Failure("cannot create the folder " + quote(folder) + ": " + getSystemReason());
}

} // namespace

void runProcess(const ProcessOptions& options, const CommandContext& context)
{
    if (options.blockSize < 1 || options.blockSize > (1 << 20))
        throw UsageFailure("the block size must be from 1 to 1048576 frames");
    if (options.numOfJobs < 1 || options.numOfJobs > 64)
        throw UsageFailure("the number of jobs must be from 1 to 64");
    const std::vector<Job> jobs = planJobs(options);

    std::vector<std::string> models = options.models;
    if (options.separator)
    {
        if (!models.empty())
            throw UsageFailure("--separator runs the installed separator; leave out --model, or give its models with "
                               "--model alone");
        models = findSeparatorModels();
    }
    if (models.empty())
    {
        const std::string defaultModel = findDefaultModel(0.0);
        if (defaultModel.empty())
            throw UsageFailure(std::string("no model given, and the default model ") + defaultModelName +
                               " is not installed; give one with -m MODEL");
        models.push_back(defaultModel);
    }

    // The library's mix policy decides what happens to the buses (with nothing said, the residual
    // goes). A bad setting is a usage error before any file is read.
    std::string residualNote;
    {
        const ModelHandle first(models.front());
        ProcessorHandle probe(models, first.getInfo().numOfChannels, first.getInfo().sampleRate);
        residualNote = applyMix(probe, makeMixSettings(options.busses, options.residual, !options.stemsFolder.empty()));
    }

    if (!options.outputFolder.empty())
        prepareOutputFolder(options.outputFolder);
    if (jobs.size() == 1)
    {
        processFile(jobs.front(), options, models, context);
        // Said once it is done, so that a failure stays one line.
        if (!residualNote.empty())
            context.note(residualNote);
        return;
    }

    // Several files: each job reports into its own buffer, printed whole when it ends.
    std::mutex mutex;
    std::size_t next = 0;
    std::size_t numOfFailures = 0;
    const auto work = [&]
    {
        for (;;)
        {
            std::size_t index = 0;
            {
                const std::lock_guard<std::mutex> lock(mutex);
                if (next == jobs.size())
                    return;
                index = next++;
            }
            std::ostringstream messages;
            CommandContext jobContext{context.out, messages, context.commandName};
            jobContext.quiet = context.quiet;
            jobContext.interrupted = context.interrupted;
            jobContext.verbose = context.verbose;
            jobContext.overwrite = context.overwrite;
            bool failed = false;
            try
            {
                processFile(jobs[index], options, models, jobContext);
            }
            catch (const std::exception& error)
            {
                messages << context.commandName << ": " << jobs[index].input << ": " << error.what() << "\n";
                failed = true;
            }
            const std::lock_guard<std::mutex> lock(mutex);
            context.err << messages.str();
            numOfFailures += failed ? 1 : 0;
        }
    };
    std::vector<std::thread> threads;
    const std::size_t numOfThreads = std::min(jobs.size(), static_cast<std::size_t>(options.numOfJobs));
    for (std::size_t i = 1; i < numOfThreads; ++i)
        threads.emplace_back(work);
    work();
    for (std::thread& thread : threads)
        thread.join();
    if (context.interrupted != nullptr && context.interrupted->load())
        throw Failure("interrupted");
    if (numOfFailures > 0)
        throw Failure(std::to_string(numOfFailures) + " of " + std::to_string(jobs.size()) + " files failed");
    if (!residualNote.empty())
        context.note(residualNote);
}

std::string findDefaultModel(double sampleRate)
{
    char path[4096];
    if (!murelGetDefaultModelPath(sampleRate, path, static_cast<int>(sizeof path)))
        return {};
    return path;
}

std::vector<std::string> findModelSet(const std::string& name, double sampleRate)
{
    std::vector<std::string> paths;
    char path[4096];
    const int numOfModels = murelGetModelSetPath(name.c_str(), 0, sampleRate, path, static_cast<int>(sizeof path));
    for (int index = 0; index < numOfModels; ++index)
    {
        if (murelGetModelSetPath(name.c_str(), index, sampleRate, path, static_cast<int>(sizeof path)) != numOfModels)
            return {};
        paths.emplace_back(path);
    }
    return paths;
}

std::vector<std::string> findSeparatorModels()
{
    std::vector<std::string> models = findModelSet("separator", 0.0);
    if (models.empty())
        throw UsageFailure("the separator's models separator-dialogue.model and separator-music.model are not "
                           "installed; give the models with -m DIALOGUE.model -m MUSIC.model");
    return models;
}

CLI::App* addProcessCommand(CLI::App& app, ProcessOptions& options, CommonFlags& flags)
{
    CLI::App* process = app.add_subcommand("process", "Remove or isolate components of an audio file.");
    ManPage page;
    page.name = "murel process";
    page.summary = "remove or isolate components of an audio file";
    page.synopsis = {"murel process IN OUT [--model MODEL ... | --separator] [OPTIONS]",
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
        "PREFIX/share/MurelEngine/models/speech-denoiser.model beside the library's own folder. "
        "--separator runs the installed stem separator instead (separator-dialogue.model and "
        "separator-music.model in the same folder): buses Dialogue, Music and the residual Effects; "
        "--gain Music=-12dB turns the music down, and murel separate writes the three stems.\n"
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
                                  "  murel process film.wav clear.wav --separator --gain Dialogue=+6dB \\\n"
                                  "      --gain Music=-6dB\n"
                                  "  murel process song.flac voice.wav -m voice.model -m drums.model \\\n"
                                  "      --solo Voice --format float"}};
    process->formatter(std::make_shared<ManPageFormatter>(page));
    process
        ->add_option("FILES", options.files,
                     "IN OUT: the audio file to process and the file to write; - reads standard input or writes "
                     "standard output. With --stems, OUT is optional. With -o, every FILE is an input.")
        ->required()
        ->type_name("FILES");
    process
        ->add_option("-o,--output-folder", options.outputFolder,
                     "Process every FILE and write each into this folder under its own name. The folder is "
                     "created when it does not exist.")
        ->type_name("FOLDER");
    process->add_option("-j,--jobs", options.numOfJobs, "Files processed at a time with -o (default 1).")
        ->type_name("N");
    process
        ->add_option("-m,--model", options.models,
                     "A model file. Give it once for a processor, several times for a stem separator; the "
                     "models must agree in sample rate, channel count, window and hop size. Default: the "
                     "installed speech denoiser (see DESCRIPTION).")
        ->allow_extra_args(false)
        ->type_name("MODEL");
    process->add_flag("--separator", options.separator,
                      "Run the installed stem separator: buses Dialogue, Music and Effects (the residual).");
    process
        ->add_option("--residual", options.residual,
                     "The gain of the residual bus (the last one): a linear factor, a level such as -12dB, or "
                     "off. Without any gain, --solo or --stems option the residual is removed.")
        ->type_name("LEVEL");
    process
        ->add_option("-g,--gain", options.busses.gains,
                     "The gain of a bus: a linear factor from 0 to 100 (0 removes the bus, 1 keeps it as it "
                     "is) or a level in decibels with the suffix dB, up to 40 dB (-12dB, '-inf dB'). BUS is "
                     "a bus name or index. Repeat the option for several buses. Default: 1 for every bus.")
        ->allow_extra_args(false)
        ->type_name("BUS=GAIN");
    process
        ->add_option("-s,--sensitivity", options.busses.sensitivities,
                     "How strictly a bus claims sound, from -100 (permissive) to 100 (strict); 0, the "
                     "default, is the model as trained. Acts on masking models only. Repeat the option for "
                     "several buses.")
        ->allow_extra_args(false)
        ->type_name("BUS=VALUE");
    process
        ->add_option("--solo", options.busses.solo,
                     "Write only this bus to OUT, at the gain --gain gives it; every other bus is silent.")
        ->type_name("BUS");
    process
        ->add_option("--stems", options.stemsFolder,
                     "Write every bus alone into its own file in this folder (see DESCRIPTION).")
        ->type_name("FOLDER");
    process
        ->add_option("-t,--type", options.format.type,
                     "File type of the output: wav, flac, ogg, opus, aiff, caf, w64, rf64, au or mp3. "
                     "Default: from the extension of OUT, else the type of IN.")
        ->type_name("TYPE");
    process
        ->add_option("-f,--format", options.format.sampleFormat,
                     "Sample format of the output: 8, 16, 24 or 32 (bit integers), float or double, or an "
                     "encoding of the type (vorbis, opus, mp3, alaw, ulaw). Default: that of IN when the "
                     "output type can hold it, else the nearest it offers.")
        ->type_name("FORMAT");
    addReadingOptions(process, options.raw, options.blockSize);
    flags.addTo(process);
    flags.addOverwriteTo(process);
    return process;
}

} // namespace murel::cli
