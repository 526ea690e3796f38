// The separator plug-ins: the installed dialogue/music/effects separator with a gain per stem, so
// that a listener can turn the music of a film down (or the dialogue up) while it plays.
//
// The model set is fixed when the plug-in is made (on the host's main thread); run() only moves
// audio and gains.

#include "SeparatorPlugin.h"

#include "ModelSlot.h"
#include "PluginCallbacks.h"

#include "Interface/MurelEngine.h"

#include <lv2/core/lv2.h>
#include <lv2/core/lv2_util.h>
#include <lv2/log/log.h>
#include <lv2/log/logger.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace murel::lv2
{
namespace
{

/** Replaces the installed separator's files (paths separated by ':'), for tests and for
    separators of one's own. */
constexpr const char* modelsVariable = "MUREL_LV2_SEPARATOR_MODELS";

/** Control ports, in index order after the audio inputs and outputs. */
enum ControlPort
{
    enabledPort,
    dialogueGainPort,
    musicGainPort,
    effectsGainPort,
    latencyPort,
    numOfControlPorts
};

std::vector<std::string> findModels(double sampleRate)
{
    std::vector<std::string> paths;
    const char* fromEnvironment = std::getenv(modelsVariable);
    if (fromEnvironment != nullptr && *fromEnvironment != 0)
    {
        std::string list = fromEnvironment;
        for (std::size_t start = 0; start <= list.size();)
        {
            const std::size_t end = std::min(list.find(':', start), list.size());
            if (end > start)
                paths.push_back(list.substr(start, end - start));
            start = end + 1;
        }
        return paths;
    }
    char path[4096];
    const int numOfModels = murelGetModelSetPath("separator", 0, sampleRate, path, int(sizeof path));
    for (int index = 0; index < numOfModels; ++index)
        if (murelGetModelSetPath("separator", index, sampleRate, path, int(sizeof path)) == numOfModels)
            paths.emplace_back(path);
    return paths;
}

class SeparatorPlugin
{
public:
    SeparatorPlugin(int channels, double rate) : numOfChannels(channels), sampleRate(rate)
    {
        fadeStep = getFadeStep(rate);
    }

    void initialise(const LV2_Feature* const* features)
    {
        LV2_Log_Log* log = nullptr;
        LV2_URID_Map* map = nullptr;
        lv2_features_query(features, LV2_LOG__log, &log, false, LV2_URID__map, &map, false, nullptr);
        lv2_log_logger_init(&logger, map, log);
        const std::vector<std::string> paths = findModels(sampleRate);
        std::string error = "the separator's models separator-dialogue.model and separator-music.model are not "
                            "installed";
        if (!paths.empty())
            slot.reset(ModelSlot::load(paths, numOfChannels, sampleRate, error));
        if (slot == nullptr)
            lv2_log_error(&logger, "murel: no separator (%s): audio passes through\n", error.c_str());
        else
            lv2_log_note(&logger, "murel: separator %s, latency %d samples, buses %s\n", slot->getPath().c_str(),
                         slot->getLatency(), slot->describeBusses().c_str());
    }

    void connect(std::uint32_t index, void* data)
    {
        const auto numOfAudioPorts = std::uint32_t(2 * numOfChannels);
        if (index < std::uint32_t(numOfChannels))
            audioInputs[index] = static_cast<const float*>(data);
        else if (index < numOfAudioPorts)
            audioOutputs[index - std::uint32_t(numOfChannels)] = static_cast<float*>(data);
        else if (index - numOfAudioPorts < numOfControlPorts)
            controls[index - numOfAudioPorts] = static_cast<float*>(data);
    }

    void activate()
    {
        if (slot != nullptr)
            slot->reset();
        wetGain = getControl(enabledPort, 1.0f) > 0.5f ? 1.0f : 0.0f;
    }

    void run(std::uint32_t numOfFrames)
    {
        if (slot != nullptr)
        {
            // The set's buses are Dialogue, Music and the residual Effects, in this order.
            BusControls busControls = {};
            busControls.componentGainDb[0] = getControl(dialogueGainPort, 0.0f);
            busControls.componentGainDb[1] = getControl(musicGainPort, 0.0f);
            busControls.residualGainDb = getControl(effectsGainPort, 0.0f);
            slot->applyControls(busControls);
        }
        const float wetTarget = getControl(enabledPort, 1.0f) > 0.5f ? 1.0f : 0.0f;
        for (std::uint32_t offset = 0; offset < numOfFrames; offset += chunkSize)
        {
            const int count = int(std::min<std::uint32_t>(chunkSize, numOfFrames - offset));
            const float* input[maxNumOfChannels];
            float* processed[maxNumOfChannels];
            float* dry[maxNumOfChannels];
            for (int c = 0; c < numOfChannels; ++c)
            {
                input[c] = audioInputs[c] + offset;
                processed[c] = processedBuffer[c];
                dry[c] = dryBuffer[c];
            }
            if (slot == nullptr)
            {
                for (int c = 0; c < numOfChannels; ++c)
                    if (input[c] != audioOutputs[c] + offset) // hosts may process in place
                        std::copy_n(input[c], count, audioOutputs[c] + offset);
                continue;
            }
            slot->run(input, count, processed, dry);
            for (int i = 0; i < count; ++i)
            {
                wetGain += std::clamp(wetTarget - wetGain, -fadeStep, fadeStep);
                wetGains[i] = wetGain;
            }
            for (int c = 0; c < numOfChannels; ++c)
            {
                float* out = audioOutputs[c] + offset;
                for (int i = 0; i < count; ++i)
                    out[i] = dry[c][i] + wetGains[i] * (processed[c][i] - dry[c][i]);
            }
        }
        if (controls[latencyPort] != nullptr)
            *controls[latencyPort] = float(slot != nullptr ? slot->getLatency() : 0);
    }

private:
    float getControl(int port, float fallback) const { return controls[port] != nullptr ? *controls[port] : fallback; }

    const int numOfChannels;
    const double sampleRate;
    std::unique_ptr<ModelSlot> slot;
    LV2_Log_Logger logger = {};
    const float* audioInputs[maxNumOfChannels] = {};
    float* audioOutputs[maxNumOfChannels] = {};
    float* controls[numOfControlPorts] = {};
    float wetGain = 1.0f;
    float fadeStep = 1.0f;
    float processedBuffer[maxNumOfChannels][chunkSize] = {};
    float dryBuffer[maxNumOfChannels][chunkSize] = {};
    float wetGains[chunkSize] = {};
};

using Callbacks = PluginCallbacks<SeparatorPlugin>;

const void* extensionData(const char*)
{
    return nullptr;
}

const LV2_Descriptor descriptors[] = {
    Callbacks::describe<1>("urn:murel:lv2:separator-mono", extensionData),
    Callbacks::describe<2>("urn:murel:lv2:separator-stereo", extensionData),
};

} // namespace

const LV2_Descriptor* getSeparatorDescriptor(std::uint32_t index)
{
    return index < 2 ? &descriptors[index] : nullptr;
}

} // namespace murel::lv2
