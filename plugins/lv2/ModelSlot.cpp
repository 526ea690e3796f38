#include "ModelSlot.h"

#include "Interface/MurelEngine.h"

#include <algorithm>
#include <cmath>

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
    return load(std::vector<std::string>{path}, numOfChannels, sampleRate, error);
}

ModelSlot* ModelSlot::load(const std::vector<std::string>& paths, int numOfChannels, double sampleRate,
                           std::string& error)
{
    if (paths.empty())
    {
        error = "no model file";
        return nullptr;
    }
    std::vector<const char*> files;
    for (const std::string& file : paths)
        files.push_back(file.c_str());
    void* processor = murelCreateStemSeparator(int(files.size()), files.data(), numOfChannels, sampleRate);
    if (processor == nullptr)
    {
        error = murelGetLastErrorMessage();
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
    // Every host starts from the same mix (the residual removed); the ports then set theirs.
    char message[512];
    murelApplyHostMix(processor, nullptr, 0, message, int(sizeof message));
    if (!murelPrepareProcessor(processor, chunkSize))
    {
        murelDeleteProcessor(processor);
        error = "out of memory";
        return nullptr;
    }

    ModelSlot* slot = new ModelSlot();
    slot->path = paths.front();
    slot->processor = processor;
    slot->numOfChannels = numOfChannels;
    slot->latency = info.latency;
    slot->numOfBusses = numOfBusses;
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
    dryDelay.reset(latency);
}

void ModelSlot::run(const float* const* input, int count, float* const* processed, float* const* dry)
{
    murelProcessAudio(processor, input, const_cast<float**>(processed), count);
    dryDelay.write(input, count);
    dryDelay.read(dry, count);
}

} // namespace murel::lv2
