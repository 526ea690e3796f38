#pragma once

#include <string>
#include <vector>

namespace murel::lv2
{

/** Audio is handed to the engine in pieces of at most this many samples, so that every buffer
    can be sized once, whatever block size the host uses. */
constexpr int maxNumOfChannels = 2;
constexpr int chunkSize = 256;
/** Bypass and model changes fade over this long. */
constexpr double fadeSeconds = 0.02;

/** Gain change per frame of a fade over fadeSeconds. */
inline float getFadeStep(double sampleRate)
{
    return float(1.0 / (fadeSeconds * sampleRate > 1.0 ? fadeSeconds * sampleRate : 1.0));
}

/** A first-in first-out buffer of frames with a capacity fixed when it is allocated. */
class Fifo
{
public:
    void allocate(int numOfChannels, int capacity);
    /** Empties it and queues numOfZeros silent frames. */
    void reset(int numOfZeros);

    int getNumOfFrames() const { return numOfFrames; }
    int getNumOfFree() const { return capacity - numOfFrames; }
    /** Free frames that follow the write position without wrapping. */
    int getNumOfContiguousFree() const;
    float* getWritePointer(int channel);
    /** Appends numOfNewFrames frames already written at the write pointers. */
    void commit(int numOfNewFrames);

    void write(const float* const* source, int count);
    /** Takes up to count frames; returns how many it took. */
    int read(float* const* destination, int count);

private:
    int getWriteIndex() const { return (readIndex + numOfFrames) % capacity; }

    std::vector<float> storage;
    int numOfChannels = 0;
    int capacity = 1;
    int readIndex = 0;
    int numOfFrames = 0;
};

/** The values of the plug-in's bus controls. */
struct BusControls
{
    static constexpr int numOfComponentPorts = 4;
    /** Gains at or below this many dB remove the bus completely. */
    static constexpr float silentGainDb = -90.0f;

    float componentGainDb[numOfComponentPorts];
    float componentSensitivity[numOfComponentPorts];
    float residualGainDb;
    float residualSensitivity;
};

/** One loaded model: the engine's processor, run at a fixed delay of exactly its reported latency
    (murelProcessAudio), and the dry signal delayed to match. Made and destroyed off the audio
    thread, prepared for chunkSize frames; run() neither allocates nor locks. */
class ModelSlot
{
public:
    /** Null, with the reason in error, when the model does not load. */
    static ModelSlot* load(const std::string& path, int numOfChannels, double sampleRate, std::string& error);
    /** A stem separator of several models (in loading order); the path is the first model's. */
    static ModelSlot* load(const std::vector<std::string>& paths, int numOfChannels, double sampleRate,
                           std::string& error);
    ~ModelSlot();

    ModelSlot(const ModelSlot&) = delete;
    ModelSlot& operator=(const ModelSlot&) = delete;

    const std::string& getPath() const { return path; }
    int getLatency() const { return latency; }
    /** "Speech, Noise (residual)", for messages. */
    std::string describeBusses() const;

    void applyControls(const BusControls& controls);
    /** Back to the state right after loading. */
    void reset();

    /** Processes count (at most chunkSize) frames: processed holds the model's output and dry the
        input, both delayed by the latency. */
    void run(const float* const* input, int count, float* const* processed, float* const* dry);

private:
    ModelSlot() = default;

    std::string path;
    void* processor = nullptr;
    int numOfChannels = 0;
    int latency = 0;
    int numOfBusses = 0;
    Fifo dryDelay;
};

} // namespace murel::lv2
