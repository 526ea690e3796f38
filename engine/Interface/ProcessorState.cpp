#include "Interface/ProcessorState.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "DspCore/AudioFormat.h"
#include "DspCore/Files.h"
#include "DspCore/LastError.h"

namespace murel
{

namespace
{

std::string formatRate(double rate)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", rate);
    return text;
}

} // namespace

bool isReadableModelFile(const std::string& path)
{
    struct stat status = {};
    const char* reason = ::stat(path.c_str(), &status) != 0 ? std::strerror(errno)
                         : S_ISDIR(status.st_mode)          ? "it is a folder"
                         : !S_ISREG(status.st_mode)         ? "it is not a regular file"
                                                            : nullptr;
    if (reason != nullptr)
        setLastErrorMessage("cannot open model '" + path + "': " + reason);
    return reason == nullptr;
}

bool ProcessorState::loadModels(int numOfModelFiles, const char* const* modelFiles, int numOfChannels,
                                double sampleRate)
{
    if (numOfModelFiles < 1 || modelFiles == nullptr)
    {
        setLastErrorMessage("no model file given");
        return false;
    }
    if (numOfChannels < 1 || numOfChannels > maxNumOfChannels)
    {
        setLastErrorMessage("the channel count must be from 1 to " + std::to_string(maxNumOfChannels) + ", not " +
                            std::to_string(numOfChannels));
        return false;
    }
    if (!(sampleRate > 0.0) || !std::isfinite(sampleRate))
    {
        setLastErrorMessage("the sample rate must be a positive number, not " + formatRate(sampleRate));
        return false;
    }
    std::vector<File> files;
    files.reserve(static_cast<std::size_t>(numOfModelFiles));
    for (int i = 0; i < numOfModelFiles; ++i)
    {
        if (modelFiles[i] == nullptr)
        {
            setLastErrorMessage("model path " + std::to_string(i + 1) + " is null");
            return false;
        }
        if (!isReadableModelFile(modelFiles[i]))
            return false;
        files.emplace_back(std::string(modelFiles[i]));
    }
    if (!processor.loadModelFiles(files))
    {
        setLastErrorMessage(processor.getLastError());
        return false;
    }

    AudioFormat format;
    format.createDefaultChannelMapping(numOfChannels);
    format.setSampleRate(sampleRate);
    if (!processor.setFormat(format, format))
    {
        const double modelRate = processor.getNeuralModels().front().getHeader().sampleRate;
        const std::string& reason = processor.getLastError();
        setLastErrorMessage(
            "the processor cannot run " + std::to_string(numOfChannels) + " channel" + (numOfChannels == 1 ? "" : "s") +
            " at " + formatRate(sampleRate) + " Hz with a model made for " + formatRate(modelRate) +
            " Hz: " + (reason.empty() ? "the frame sizes scaled for that rate are out of range" : reason));
        return false;
    }
    numOfInputChannels = numOfChannels;
    numOfOutputChannels = numOfChannels;
    fixedLatencyOutput.prepare(numOfChannels, processor.getLatency(1));
    return true;
}

void FixedLatencyOutput::prepare(int channels, int latency)
{
    numOfChannels = channels;
    rows.assign(static_cast<std::size_t>(std::max(channels, 0)), nullptr);
    reset(latency);
}

int FixedLatencyOutput::takeSilence(int numOfSamples) noexcept
{
    const int silent = static_cast<int>(std::min<std::int64_t>(silenceLeft, numOfSamples));
    silenceLeft -= silent;
    return silent;
}

void FixedLatencyOutput::take(MurelProcessor& processor, float* const* channels, int numOfSamples) noexcept
{
    const int silent = takeSilence(numOfSamples);
    for (int c = 0; c < numOfChannels; ++c)
    {
        std::fill(channels[c], channels[c] + silent, 0.0f);
        rows[static_cast<std::size_t>(c)] = channels[c] + silent;
    }
    // An underrun cannot happen (see the class); should it, what is there plays, then silence.
    const int wanted = numOfSamples - silent;
    const int available = static_cast<int>(std::min<std::int64_t>(processor.getNumOfPendingSamples(), wanted));
    if (available > 0)
        processor.getAudio(rows.data(), available);
    for (int c = 0; c < numOfChannels; ++c)
        std::fill(rows[static_cast<std::size_t>(c)] + available, rows[static_cast<std::size_t>(c)] + wanted, 0.0f);
}

void FixedLatencyOutput::takeInterleaved(MurelProcessor& processor, float* samples, int numOfFrames) noexcept
{
    const std::size_t stride = static_cast<std::size_t>(numOfChannels);
    const int silent = takeSilence(numOfFrames);
    std::fill(samples, samples + static_cast<std::size_t>(silent) * stride, 0.0f);
    const int wanted = numOfFrames - silent;
    const int available = static_cast<int>(std::min<std::int64_t>(processor.getNumOfPendingSamples(), wanted));
    float* rest = samples + static_cast<std::size_t>(silent) * stride;
    if (available > 0)
        processor.getAudioInterleaved(rest, available);
    std::fill(rest + static_cast<std::size_t>(available) * stride, rest + static_cast<std::size_t>(wanted) * stride,
              0.0f);
}

} // namespace murel
