#include "ModelHandOver.h"

#include <algorithm>

namespace murel::lv2
{
namespace
{

/** A new model first runs silently for its latency and this long, so that the network's history
    holds real audio, and is then crossfaded in. */
constexpr double settleSeconds = 0.05;

} // namespace

ModelHandOver::ModelHandOver(int channels, double rate)
    : numOfChannels(channels), sampleRate(rate), fadeStep(getFadeStep(rate))
{
}

ModelHandOver::~ModelHandOver()
{
    delete active;
    delete incoming;
    for (ModelSlot* retired : retiredSlots)
        delete retired;
}

void ModelHandOver::setRetireFunction(RetireFunction function, void* context)
{
    retireFunction = function;
    retireContext = context;
}

void ModelHandOver::start(ModelSlot* slot)
{
    active = slot;
    chosen.store(slot);
}

void ModelHandOver::activate(bool enabled)
{
    if (incoming != nullptr)
    {
        // Starting over anyway: no need to fade.
        std::lock_guard<std::mutex> lock(stateMutex);
        delete active;
        active = incoming;
        incoming = nullptr;
    }
    if (active != nullptr)
        active->reset();
    activeGain = 1.0f;
    crossfade = 0.0f;
    wetGain = enabled ? 1.0f : 0.0f;
}

void ModelHandOver::applyControls(const BusControls& controls)
{
    if (active != nullptr)
        active->applyControls(controls);
    if (incoming != nullptr)
        incoming->applyControls(controls);
}

void ModelHandOver::renderChunk(const float* const* input, float* const* output, int count, bool enabled)
{
    float* processed[maxNumOfChannels];
    float* dry[maxNumOfChannels];
    for (int c = 0; c < numOfChannels; ++c)
    {
        processed[c] = processedA[c];
        dry[c] = dryA[c];
    }
    if (active != nullptr)
        active->run(input, count, processed, dry);
    else
        for (int c = 0; c < numOfChannels; ++c)
        {
            std::copy_n(input[c], count, processedA[c]);
            std::copy_n(input[c], count, dryA[c]);
        }
    if (incoming != nullptr)
    {
        for (int c = 0; c < numOfChannels; ++c)
        {
            processed[c] = processedB[c];
            dry[c] = dryB[c];
        }
        incoming->run(input, count, processed, dry);
    }

    // Gains per frame: bypass (wet), the outgoing model and the incoming one. A model with the
    // latency of the old one is crossfaded with it; any other fades in after the old one has
    // faded out, as the two outputs are not aligned.
    const float wetTarget = enabled ? 1.0f : 0.0f;
    for (int i = 0; i < count; ++i)
    {
        wetGain += std::clamp(wetTarget - wetGain, -fadeStep, fadeStep);
        wetGains[i] = wetGain;
        if (incoming == nullptr || incomingHasSameLatency)
            activeGain = std::min(1.0f, activeGain + fadeStep);
        else
            activeGain = std::max(0.0f, activeGain - fadeStep);
        if (incoming == nullptr)
        {
            gainsA[i] = activeGain;
            gainsB[i] = 0.0f;
            continue;
        }
        if (incomingSettleFrames > 0)
            --incomingSettleFrames;
        else if (incomingHasSameLatency)
            crossfade = std::min(1.0f, crossfade + fadeStep);
        gainsA[i] = activeGain * (1.0f - crossfade);
        gainsB[i] = crossfade;
    }

    for (int c = 0; c < numOfChannels; ++c)
    {
        float* out = output[c];
        const float* pa = processedA[c];
        const float* da = dryA[c];
        for (int i = 0; i < count; ++i)
            out[i] = gainsA[i] * (da[i] + wetGains[i] * (pa[i] - da[i]));
        if (incoming != nullptr)
        {
            const float* pb = processedB[c];
            const float* db = dryB[c];
            for (int i = 0; i < count; ++i)
                out[i] += gainsB[i] * (db[i] + wetGains[i] * (pb[i] - db[i]));
        }
    }

    if (incoming != nullptr &&
        (incomingHasSameLatency ? crossfade >= 1.0f : activeGain <= 0.0f && incomingSettleFrames == 0))
        promoteIncoming();
}

void ModelHandOver::promoteIncoming()
{
    ModelSlot* old = active;
    active = incoming;
    incoming = nullptr;
    // After a change of latency the new model starts from silence.
    activeGain = incomingHasSameLatency ? 1.0f : 0.0f;
    crossfade = 0.0f;
    retire(old);
}

void ModelHandOver::retire(ModelSlot* slot)
{
    if (slot == nullptr)
        return;
    if (retireFunction != nullptr && retireFunction(retireContext, slot))
        return;
    // Kept until a later run or the end, when the worker is busy.
    for (ModelSlot*& retired : retiredSlots)
        if (retired == nullptr)
        {
            retired = slot;
            return;
        }
    // Out of room: the slot is leaked rather than freed on the audio thread. Only a worker that
    // accepts nothing for a long time gets here.
}

void ModelHandOver::retryRetired()
{
    for (ModelSlot*& retired : retiredSlots)
    {
        if (retired == nullptr || retireFunction == nullptr)
            continue;
        if (!retireFunction(retireContext, retired))
            return;
        retired = nullptr;
    }
}

void ModelHandOver::offer(ModelSlot* slot)
{
    chosen.store(slot);
    if (incoming != nullptr)
    {
        // A newer choice replaces one that has not faded in yet.
        retire(incoming);
        crossfade = 0.0f;
    }
    incoming = slot;
    incomingHasSameLatency = active != nullptr ? slot->getLatency() == active->getLatency() : slot->getLatency() == 0;
    incomingSettleFrames = slot->getLatency() + int(settleSeconds * sampleRate);
}

void ModelHandOver::replace(ModelSlot* slot)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    chosen.store(slot);
    delete active;
    delete incoming;
    active = slot;
    incoming = nullptr;
    activeGain = 1.0f;
    crossfade = 0.0f;
}

void ModelHandOver::free(ModelSlot* slot)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    delete slot;
}

bool ModelHandOver::getChosenPath(std::string& path)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    const ModelSlot* slot = chosen.load();
    if (slot == nullptr)
        return false;
    path = slot->getPath();
    return true;
}

} // namespace murel::lv2
