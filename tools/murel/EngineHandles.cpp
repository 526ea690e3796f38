#include "EngineHandles.h"

#include "Failure.h"
#include "ModelReader.h"

#include <cstdio>
#include <fcntl.h>
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

/** Why the engine would not load a model file, as precisely as the tool can tell. */
std::string explainRejectedModel(const std::string& path)
{
    try
    {
        modelreader::readModelFile(path);
    }
    catch (const modelreader::ModelFileError& error)
    {
        return error.what();
    }
    catch (const std::exception& error)
    {
        return error.what();
    }
    return "the engine rejects its contents";
}

} // namespace

ModelHandle::ModelHandle(const std::string& modelPath) : path(modelPath)
{
    const int descriptor = ::open(path.c_str(), O_RDONLY);
    if (descriptor < 0)
        throw Failure("cannot open model " + quote(path) + ": " + getSystemReason());
    struct stat status = {};
    const bool isFolder = ::fstat(descriptor, &status) == 0 && S_ISDIR(status.st_mode);
    ::close(descriptor);
    if (isFolder)
        throw Failure("cannot open model " + quote(path) + ": it is a folder");
    handle = murelCreateModel(path.c_str());
    if (handle == nullptr)
        throw Failure("cannot load model " + quote(path) + ": " + explainRejectedModel(path));
    murelGetModelInfo(handle, &info);
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
    handle = paths.size() == 1
                 ? murelCreateProcessor(paths.front(), numOfChannels, sampleRate)
                 : murelCreateStemSeparator(static_cast<int>(paths.size()), paths.data(), numOfChannels, sampleRate);
    if (handle == nullptr)
    {
        const std::string what = paths.size() == 1 ? "model " + quote(modelPaths.front())
                                                   : "these " + std::to_string(paths.size()) + " models";
        throw Failure("the processor rejects " + std::to_string(numOfChannels) + " channel" +
                      (numOfChannels == 1 ? "" : "s") + " at " + formatRate(sampleRate) + " Hz with " + what);
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

void ProcessorHandle::setGain(int bus, float gain)
{
    murelSetParameterValue(handle, busGainParameter + bus, gain);
}

void ProcessorHandle::setSensitivity(int bus, float sensitivity)
{
    murelSetParameterValue(handle, busSensitivityParameter + bus, sensitivity);
}

std::string getVectorArithmeticName()
{
    char name[64];
    murelGetVectorArithmeticWrapperName(name, static_cast<int>(sizeof name) - 1);
    name[sizeof name - 1] = '\0';
    return name;
}

} // namespace murel::cli
