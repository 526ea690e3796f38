#include "CommandSupport.h"
#include "EngineHandles.h"
#include "Failure.h"
#include "ModelReader.h"
#include "ProgressBar.h"
#include "Render.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <set>
#include <sys/stat.h>
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
            const modelreader::ModelFileInfo info = modelreader::readModelFile(model);
            if (info.processingMode != 0 && info.numInputChannels < numOfChannels)
                context.warn("model " + quote(model) + " outputs spectra for " + std::to_string(info.numInputChannels) +
                             " channel" + (info.numInputChannels == 1 ? "" : "s") + ": its buses are the same in all " +
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

void runProcess(const ProcessOptions& options, const CommandContext& context)
{
    if (options.output.empty() && options.stemsFolder.empty())
        throw UsageFailure("give an output file, --stems FOLDER, or both");
    if (!options.busses.solo.empty() && options.output.empty())
        throw UsageFailure("--solo chooses what goes into the output file; with --stems alone every bus gets its own "
                           "file");
    if (options.blockSize < 1 || options.blockSize > (1 << 20))
        throw UsageFailure("the block size must be from 1 to 1048576 frames");

    AudioReader input(options.input);
    const int numOfChannels = input.getNumOfChannels();
    const double sampleRate = input.getSampleRate();
    std::vector<std::unique_ptr<ProcessorHandle>> processors;
    processors.push_back(std::make_unique<ProcessorHandle>(options.models, numOfChannels, sampleRate));
    const std::vector<std::string> busNames = processors.front()->getBusNames();
    const BusMix mix = resolveBusMix(busNames, options.busses);
    warnAboutSpectraModels(options.models, numOfChannels, context);

    // Every check that can fail comes before the first output file exists.
    int outputFormat = 0;
    if (!options.output.empty())
        outputFormat = chooseOutputFormat(input.getInfo(), options.output, options.format);
    int stemFormat = outputFormat;
    std::vector<BusMix> stemMixes;
    if (!options.stemsFolder.empty())
    {
        if (stemFormat == 0)
            stemFormat = chooseOutputFormat(input.getInfo(), "", options.format);
        // --solo picks what goes into OUT; every stem still gets its own bus.
        BusRequests stemRequests = options.busses;
        stemRequests.solo.clear();
        const BusMix stemMix = resolveBusMix(busNames, stemRequests);
        for (std::size_t bus = 0; bus < busNames.size(); ++bus)
            stemMixes.push_back(isolateBus(stemMix, static_cast<int>(bus)));
    }

    // Declared before the writers: on failure their temporary files go first, then the folder.
    std::unique_ptr<StemsFolder> stemsFolder;
    std::vector<std::unique_ptr<AudioWriter>> writers;
    std::vector<RenderTarget> targets;
    const AudioTags tags = input.getTags();
    if (!options.output.empty())
    {
        applyBusMix(*processors.front(), mix);
        writers.push_back(
            std::make_unique<AudioWriter>(options.output, outputFormat, numOfChannels, input.getSampleRate(), tags));
        targets.push_back({processors.front().get(), writers.back().get()});
    }
    if (!options.stemsFolder.empty())
    {
        // The engine mixes its buses into one output, so each stem has a processor of its own that
        // hears only its bus; they all get the same input blocks in one pass over the file.
        stemsFolder = std::make_unique<StemsFolder>(options.stemsFolder);
        const std::vector<std::string> fileNames = makeStemFileNames(busNames, getFileExtension(stemFormat));
        for (std::size_t bus = 0; bus < busNames.size(); ++bus)
        {
            if (!targets.empty() || bus > 0)
                processors.push_back(std::make_unique<ProcessorHandle>(options.models, numOfChannels, sampleRate));
            applyBusMix(*processors.back(), stemMixes[bus]);
            writers.push_back(std::make_unique<AudioWriter>(stemsFolder->getFilePath(fileNames[bus]), stemFormat,
                                                            numOfChannels, input.getSampleRate(), tags));
            targets.push_back({processors.back().get(), writers.back().get()});
        }
    }

    ProgressBar progress(context.err, context.isTerminal && !context.quiet, context.terminalWidth);
    progress.start(getFileName(options.input), input.getNumOfFrames(), sampleRate);
    RenderSettings settings;
    settings.blockSize = options.blockSize;
    settings.progress = &progress;
    settings.interrupted = context.interrupted;
    const std::int64_t numOfFrames = renderFile(input, targets, settings);

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
        if (options.verbose)
        {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.3f", static_cast<double>(numOfFrames) / sampleRate);
            context.err << context.commandName << ": wrote " << quote(writer->getPath()) << " ("
                        << describeFormat(writer->getFormat()) << ", " << numOfChannels << " ch, "
                        << formatRate(sampleRate) << " Hz, " << numOfFrames << " frames = " << seconds << " s)\n";
        }
    }
}

} // namespace murel::cli
