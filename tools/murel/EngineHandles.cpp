#include "EngineHandles.h"

#include "AudioFile.h"
#include "Failure.h"

#include "DspCore/Files.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace murel::cli
{

namespace
{

std::string formatRate(double rate)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", rate);
    return text;
}

/** The engine's reason for the last failed create call, or what to say without one. */
std::string getEngineReason(const std::string& fallback)
{
    const char* reason = murelGetLastErrorMessage();
    return reason != nullptr && *reason != '\0' ? reason : fallback;
}

} // namespace

ModelHandle::ModelHandle(const std::string& modelPath) : path(modelPath)
{
    // Opened here first so that a FIFO or a device is refused without blocking or reading it.
    ::close(openRegularFile(path, "model "));
    handle = murelCreateModel(path.c_str());
    if (handle == nullptr)
        throw Failure("cannot load " + getEngineReason("model " + quote(path)));
    murelGetModelInfo(handle, &info);
    // The processor scales its frames by the ratio of the rates; a model that claims an absurd
    // rate would make them absurd.
    if (!(info.sampleRate >= minSampleRate && info.sampleRate <= maxSampleRate))
        throw Failure("cannot use model " + quote(path) + ": it declares a sample rate of " +
                      formatRate(info.sampleRate) + " Hz (rates from " + std::to_string(minSampleRate) + " to " +
                      std::to_string(maxSampleRate) + " Hz are processed)");
}

ModelHandle::~ModelHandle()
{
    murelDeleteModel(handle);
}

ProcessorHandle::ProcessorHandle(const std::vector<std::string>& modelPaths, int channels, double rate)
    : numOfChannels(channels), sampleRate(rate)
{
    if (modelPaths.empty())
        throw UsageFailure("no model given");
    if (!(rate >= minSampleRate && rate <= maxSampleRate))
        throw Failure("cannot process audio at " + formatRate(rate) + " Hz: rates from " +
                      std::to_string(minSampleRate) + " to " + std::to_string(maxSampleRate) + " Hz are processed");
    // Load each model on its own first, so that a failure names the file and the reason.
    std::vector<const char*> paths;
    MurelModelInfo first = {};
    for (const std::string& path : modelPaths)
    {
        const ModelHandle model(path);
        const MurelModelInfo& info = model.getInfo();
        if (paths.empty())
            first = info;
        else if (info.windowSize != first.windowSize || info.hopSize != first.hopSize ||
                 info.sampleRate != first.sampleRate || info.numOfChannels != first.numOfChannels)
            throw Failure("models " + quote(modelPaths.front()) + " and " + quote(path) +
                          " cannot run together: they differ in sample rate, channels, window or hop size");
        paths.push_back(path.c_str());
    }
    // The frames grow with the ratio of the rates: beyond 16 times the model's rate (or below a
    // sixteenth) they are far beyond anything a model was made for.
    if (rate > 16.0 * first.sampleRate || rate < first.sampleRate / 16.0)
        throw Failure("cannot process audio at " + formatRate(rate) + " Hz with a model made for " +
                      formatRate(first.sampleRate) + " Hz: the rate must be from 1/16 to 16 times the model's");
    handle = paths.size() == 1
                 ? murelCreateProcessor(paths.front(), numOfChannels, sampleRate)
                 : murelCreateStemSeparator(static_cast<int>(paths.size()), paths.data(), numOfChannels, sampleRate);
    if (handle == nullptr)
    {
        const std::string what = paths.size() == 1 ? "model " + quote(modelPaths.front())
                                                   : "these " + std::to_string(paths.size()) + " models";
        throw Failure(getEngineReason("the processor rejects " + std::to_string(numOfChannels) + " channel" +
                                      (numOfChannels == 1 ? "" : "s") + " at " + formatRate(sampleRate) + " Hz with " +
                                      what));
    }
    const int numOfBusses = murelGetNumOfOutputBusses(handle);
    for (int bus = 0; bus < numOfBusses; ++bus)
    {
        char name[256];
        murelGetOutputBusName(handle, bus, name, static_cast<int>(sizeof name) - 1);
        name[sizeof name - 1] = '\0';
        busNames.emplace_back(name);
    }
}

ProcessorHandle::~ProcessorHandle()
{
    murelDeleteProcessor(handle);
}

int ProcessorHandle::getLatency() const
{
    MurelModelInfo info = {};
    murelGetProcessorInfo(handle, &info);
    return info.latency;
}

ModelFileDescription readModelDescription(const std::string& path)
{
    ::close(openRegularFile(path, "model "));
    auto stream = std::make_shared<FileStream>();
    if (!stream->open(File(path), FileStream::readAccess, FileStream::openExisting))
        throw Failure("cannot open model " + quote(path) + ": " + getSystemReason());
    ModelFileDescription description;
    try
    {
        description.records = modelfile::readModelFile(*stream);
    }
    catch (const std::exception& error)
    {
        throw Failure("cannot describe model " + quote(path) + ": " + error.what());
    }
    description.fileSize = stream->getLength();
    description.numOfTrailingBytes = std::max<std::int64_t>(0, description.fileSize - stream->getPosition());
    return description;
}

std::string getVectorArithmeticName()
{
    char name[64];
    murelGetVectorArithmeticWrapperName(name, static_cast<int>(sizeof name) - 1);
    name[sizeof name - 1] = '\0';
    return name;
}

} // namespace murel::cli
