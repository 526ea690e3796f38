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
    if (::stat(path.c_str(), &status) != 0)
    {
        setLastErrorMessage("cannot open model '" + path + "': " + std::strerror(errno));
        return false;
    }
    if (!S_ISREG(status.st_mode))
    {
        setLastErrorMessage("cannot open model '" + path +
                            "': " + (S_ISDIR(status.st_mode) ? "it is a folder" : "it is not a regular file"));
        return false;
    }
    return true;
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
        return false;

    AudioFormat format;
    format.createDefaultChannelMapping(numOfChannels);
    format.setSampleRate(sampleRate);
    if (!processor.setFormat(format, format))
    {
        const double modelRate = processor.getNeuralModels().front().sampleRate;
        setLastErrorMessage("the processor cannot run " + std::to_string(numOfChannels) + " channel" +
                            (numOfChannels == 1 ? "" : "s") + " at " + formatRate(sampleRate) +
                            " Hz with a model made for " + formatRate(modelRate) +
                            " Hz: the frame sizes scaled for that rate are out of range");
        return false;
    }
    numOfInputChannels = numOfChannels;
    numOfOutputChannels = numOfChannels;
    fixedLatencyOutput.reset(processor.getLatency(1));
    return true;
}

void FixedLatencyOutput::prepare(int channels, int blockSize, int latency)
{
    if (channels != numOfChannels)
    {
        numOfChannels = channels;
        ring.assign(static_cast<std::size_t>(channels), {});
        capacity = 0;
        maxBlockSize = 0;
        reset(latency);
    }
    if (blockSize > maxBlockSize)
    {
        maxBlockSize = blockSize;
        inputBlocks.clear();
    }
    // After a call, the output waiting is at most the latency: the processor returns sample n only
    // once sample n has been added, and everything but the latency has been taken. During a call
    // one block more arrives before it is taken.
    grow(static_cast<std::int64_t>(std::max(latency, 0)) + maxBlockSize + 1);
}

void FixedLatencyOutput::reset(int latency)
{
    silenceLeft = std::max(latency, 0);
    readPosition = 0;
    count = 0;
}

void FixedLatencyOutput::grow(std::int64_t newCapacity)
{
    if (newCapacity <= capacity)
        return;
    for (std::vector<float>& channel : ring)
    {
        std::vector<float> resized(static_cast<std::size_t>(newCapacity), 0.0f);
        for (std::int64_t i = 0; i < count; ++i)
            resized[static_cast<std::size_t>(i)] = channel[static_cast<std::size_t>((readPosition + i) % capacity)];
        channel.swap(resized);
    }
    readPosition = 0;
    capacity = newCapacity;
}

Signal32& FixedLatencyOutput::getInputBlock(int numOfSamples)
{
    for (Signal32& block : inputBlocks)
        if (block.getUseCount() == 1)
        {
            block.resizeView(numOfChannels, numOfSamples);
            return block;
        }
    // Far more than the processor ever keeps; beyond it, blocks are simply made anew.
    constexpr std::size_t maxNumOfBlocks = 64;
    if (inputBlocks.size() == maxNumOfBlocks)
        inputBlocks.erase(inputBlocks.begin());
    inputBlocks.emplace_back(numOfChannels, maxBlockSize);
    inputBlocks.back().resizeView(numOfChannels, numOfSamples);
    return inputBlocks.back();
}

void FixedLatencyOutput::append(const Signal32& processed)
{
    if (processed.isEmpty())
        return;
    const int n = processed.getNumOfSamples();
    const int rows = std::min(processed.getNumOfChannels(), numOfChannels);
    grow(count + n);
    std::int64_t writePosition = (readPosition + count) % capacity;
    for (int i = 0; i < n; ++i)
    {
        for (int c = 0; c < numOfChannels; ++c)
            ring[static_cast<std::size_t>(c)][static_cast<std::size_t>(writePosition)] =
                c < rows ? processed.getReadPointer(c)[i] : 0.0f;
        writePosition = writePosition + 1 == capacity ? 0 : writePosition + 1;
    }
    count += n;
}

} // namespace murel
