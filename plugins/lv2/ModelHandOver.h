#pragma once

#include "ModelSlot.h"

#include <atomic>
#include <mutex>
#include <string>

namespace murel::lv2
{

/** The processor plug-in's models on the audio thread: the active slot, a newly loaded one that
    runs next to it until it has settled and is then crossfaded in, and the bypass fade. Slots
    that run() no longer uses go back through a retire function (the host's worker frees them),
    never deleted on the audio thread. Knows nothing of LV2. */
class ModelHandOver
{
public:
    /** Hands a slot to another thread to be freed; false when it cannot take it now. */
    using RetireFunction = bool (*)(void* context, ModelSlot* slot);

    ModelHandOver(int numOfChannels, double sampleRate);
    ~ModelHandOver();

    ModelHandOver(const ModelHandOver&) = delete;
    ModelHandOver& operator=(const ModelHandOver&) = delete;

    void setRetireFunction(RetireFunction function, void* context);

    /** The slot to start with (null for none), before audio runs. */
    void start(ModelSlot* slot);
    /** Ends a pending hand-over at once and starts every model over, bypass as given. */
    void activate(bool enabled);
    void applyControls(const BusControls& controls);
    /** Renders count <= chunkSize frames: the models' output, faded between models and towards
        the dry signal when disabled. */
    void renderChunk(const float* const* input, float* const* output, int count, bool enabled);
    /** Gives slots that could not be retired before another try. */
    void retryRetired();

    /** A newly loaded slot: fades in from the next run(). Audio thread. */
    void offer(ModelSlot* slot);
    /** Replaces every slot at once, when no audio runs. */
    void replace(ModelSlot* slot);
    /** Frees a retired slot; any thread but the audio thread. */
    void free(ModelSlot* slot);

    /** Latency of the active model in samples, 0 without one. */
    int getLatency() const { return active != nullptr ? active->getLatency() : 0; }
    /** The slot the listener hears last: the incoming one while it fades in. */
    const ModelSlot* getCurrent() const { return incoming != nullptr ? incoming : active; }
    /** Path of the newest slot handed over, which the state saves; false without one. Any
        thread. */
    bool getChosenPath(std::string& path);

private:
    void promoteIncoming();
    void retire(ModelSlot* slot);

    const int numOfChannels;
    const double sampleRate;
    RetireFunction retireFunction = nullptr;
    void* retireContext = nullptr;

    // Only the audio thread (and what the host calls in its context) touches these.
    ModelSlot* active = nullptr;
    ModelSlot* incoming = nullptr;
    ModelSlot* retiredSlots[8] = {};
    bool incomingHasSameLatency = true;
    int incomingSettleFrames = 0;
    float crossfade = 0.0f;
    float activeGain = 1.0f;
    float wetGain = 1.0f;
    float fadeStep = 1.0f;

    // The state may be saved while audio runs, so the chosen slot is read under stateMutex,
    // which is also held to free one.
    std::atomic<ModelSlot*> chosen{nullptr};
    std::mutex stateMutex;

    float processedA[maxNumOfChannels][chunkSize] = {};
    float dryA[maxNumOfChannels][chunkSize] = {};
    float processedB[maxNumOfChannels][chunkSize] = {};
    float dryB[maxNumOfChannels][chunkSize] = {};
    float gainsA[chunkSize] = {};
    float gainsB[chunkSize] = {};
    float wetGains[chunkSize] = {};
};

} // namespace murel::lv2
