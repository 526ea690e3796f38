#include "ModelSlot.h"

#include "Interface/MurelEngine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace murel::lv2
{

void Fifo::allocate(int channels, int newCapacity)
{
    numOfChannels = channels;
    capacity = std::max(newCapacity, 1);
    storage.assign(std::size_t(numOfChannels) * std::size_t(capacity), 0.0f);
    readIndex = 0;
    numOfFrames = 0;
}

void Fifo::reset(int numOfZeros)
{
    std::fill(storage.begin(), storage.end(), 0.0f);
    readIndex = 0;
    numOfFrames = std::min(numOfZeros, capacity);
}

int Fifo::getNumOfContiguousFree() const
{
    return std::min(getNumOfFree(), capacity - getWriteIndex());
}

float* Fifo::getWritePointer(int channel)
{
    return storage.data() + std::size_t(channel) * std::size_t(capacity) + std::size_t(getWriteIndex());
}

void Fifo::commit(int numOfNewFrames)
{
    numOfFrames += numOfNewFrames;
}

void Fifo::write(const float* const* source, int count)
{
    int done = 0;
    while (done < count)
    {
        const int numOfFramesNow = std::min(count - done, getNumOfContiguousFree());
        if (numOfFramesNow <= 0)
            return;
        for (int c = 0; c < numOfChannels; ++c)
            std::copy_n(source[c] + done, numOfFramesNow, getWritePointer(c));
        commit(numOfFramesNow);
        done += numOfFramesNow;
    }
}

int Fifo::read(float* const* destination, int count)
{
    int done = 0;
    while (done < count && numOfFrames > 0)
    {
        const int numOfFramesNow = std::min({count - done, numOfFrames, capacity - readIndex});
        for (int c = 0; c < numOfChannels; ++c)
        {
            const float* row = storage.data() + std::size_t(c) * std::size_t(capacity);
            std::copy_n(row + readIndex, numOfFramesNow, destination[c] + done);
        }
        readIndex = (readIndex + numOfFramesNow) % capacity;
        numOfFrames -= numOfFramesNow;
        done += numOfFramesNow;
    }
    return done;
}

ModelSlot* ModelSlot::load(const std::string& path, int numOfChannels, double sampleRate, std::string& error)
{
    // The engine gives no reason for a failure, so the commonest one is told apart here.
    if (std::FILE* file = std::fopen(path.c_str(), "rb"))
        std::fclose(file);
    else
    {
        error = "cannot open the file";
        return nullptr;
    }
    void* processor = murelCreateProcessor(path.c_str(), numOfChannels, sampleRate);
    if (processor == nullptr)
    {
        error = "not a model the engine can run at this channel count and rate";
        return nullptr;
    }
    MurelModelInfo info = {};
    murelGetProcessorInfo(processor, &info);
    const int numOfBusses = murelGetNumOfOutputBusses(processor);
    if (info.latency < 0 || numOfBusses < 2)
    {
        murelDeleteProcessor(processor);
        error = "the model has no bus to control";
        return nullptr;
    }

    ModelSlot* slot = new ModelSlot();
    slot->path = path;
    slot->processor = processor;
    slot->numOfChannels = numOfChannels;
    slot->latency = info.latency;
    slot->numOfBusses = numOfBusses;
    // The engine completes whole hops only, but never more than it was given; with the output
    // running latency frames behind the input, its queue holds at most latency + one chunk.
    slot->output.allocate(numOfChannels, info.latency + 2 * chunkSize);
    slot->dryDelay.allocate(numOfChannels, info.latency + chunkSize);
    slot->reset();
    return slot;
}

ModelSlot::~ModelSlot()
{
    murelDeleteProcessor(processor);
}

std::string ModelSlot::describeBusses() const
{
    std::string text;
    for (int b = 0; b < numOfBusses; ++b)
    {
        char name[64];
        murelGetOutputBusName(processor, b, name, int(sizeof name) - 1);
        name[sizeof name - 1] = 0;
        text += (b == 0 ? "" : ", ") + std::string(name) + (b == numOfBusses - 1 ? " (residual)" : "");
    }
    return text;
}

void ModelSlot::applyControls(const BusControls& controls)
{
    const auto toGain = [](float decibels)
    { return decibels <= BusControls::silentGainDb ? 0.0f : std::pow(10.0f, decibels / 20.0f); };
    // The component ports address the model's buses in order; ports past its last component do
    // nothing, and components past the last port keep the engine's defaults. The residual is
    // always the last bus.
    const int numOfComponents = std::min(numOfBusses - 1, BusControls::numOfComponentPorts);
    for (int b = 0; b < numOfComponents; ++b)
    {
        murelSetParameterValue(processor, 256 + b, toGain(controls.componentGainDb[b]));
        murelSetParameterValue(processor, 512 + b, controls.componentSensitivity[b]);
    }
    murelSetParameterValue(processor, 256 + numOfBusses - 1, toGain(controls.residualGainDb));
    murelSetParameterValue(processor, 512 + numOfBusses - 1, controls.residualSensitivity);
}

void ModelSlot::reset()
{
    murelResetProcessorState(processor);
    output.reset(latency);
    dryDelay.reset(latency);
    numOfOwedFrames = 0;
}

void ModelSlot::run(const float* const* input, int count, float* const* processed, float* const* dry)
{
    // The engine only reads the input, through a pointer type that does not say so.
    float* channels[maxNumOfChannels];
    for (int c = 0; c < numOfChannels; ++c)
        channels[c] = const_cast<float*>(input[c]);
    murelAddAudio(processor, channels, count);

    for (int pending = murelGetNumOfPendingSamples(processor); pending > 0;
         pending = murelGetNumOfPendingSamples(processor))
    {
        const int numOfFrames = std::min(pending, output.getNumOfContiguousFree());
        if (numOfFrames <= 0)
            break;
        for (int c = 0; c < numOfChannels; ++c)
            channels[c] = output.getWritePointer(c);
        if (!murelGetAudio(processor, channels, numOfFrames))
            break;
        const int numOfOwedNow = std::min(numOfOwedFrames, numOfFrames);
        numOfOwedFrames -= numOfOwedNow;
        if (numOfOwedNow == 0)
            output.commit(numOfFrames);
        else if (numOfOwedNow < numOfFrames)
        {
            // Keep only the frames after the owed ones.
            float* rest[maxNumOfChannels];
            for (int c = 0; c < numOfChannels; ++c)
                rest[c] = channels[c] + numOfOwedNow;
            output.write(rest, numOfFrames - numOfOwedNow);
        }
    }

    const int numOfFramesRead = output.read(processed, count);
    if (numOfFramesRead < count)
    {
        for (int c = 0; c < numOfChannels; ++c)
            std::fill(processed[c] + numOfFramesRead, processed[c] + count, 0.0f);
        numOfOwedFrames += count - numOfFramesRead;
    }

    dryDelay.write(input, count);
    dryDelay.read(dry, count);
}

} // namespace murel::lv2
