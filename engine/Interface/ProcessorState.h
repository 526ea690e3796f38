#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DspCore/Signals.h"
#include "Processor/MurelProcessor.h"

namespace murel
{

/** The output side of murelProcessAudio: the processor's own queue read behind exactly
    `latency` samples of silence. The processor never holds back a sample longer than its latency,
    so after the silence every call finds the samples it needs waiting. */
class FixedLatencyOutput
{
public:
    /** Sizes the pointer rows for numOfChannels channels (the only allocation) and starts over. */
    void prepare(int numOfChannels, int latency);
    /** Back to silence before the first processed sample. */
    void reset(int latency) { silenceLeft = latency > 0 ? latency : 0; }

    /** Writes the next numOfSamples output samples to channels (rows of the channel count). */
    void take(MurelProcessor& processor, float* const* channels, int numOfSamples) noexcept;
    /** As take, for interleaved frames. */
    void takeInterleaved(MurelProcessor& processor, float* samples, int numOfFrames) noexcept;

private:
    /** The samples of this call still due to silence; counts silenceLeft down. */
    int takeSilence(int numOfSamples) noexcept;

    int numOfChannels = 0;
    std::int64_t silenceLeft = 0;
    /** The caller's rows moved past the silence written. */
    std::vector<float*> rows;
};

/** What stands behind a processor handle of the C interface: the processor (which also queues
    the processed audio not yet taken), the fixed-latency reader and the channel count the caller
    declared. */
struct ProcessorState
{
    /** Channel counts the C interface accepts; far beyond any real layout. */
    static constexpr int maxNumOfChannels = 1024;

    /** Loads the model files (all paths non-null) and sets the caller's format as input and
        output format. False when a model cannot be loaded, the models cannot run together or
        the format cannot be run; the reason is then the thread's last error message. */
    bool loadModels(int numOfModelFiles, const char* const* modelFiles, int numOfChannels, double sampleRate);

    int numOfInputChannels = 0;
    int numOfOutputChannels = 0;
    MurelProcessor processor;
    FixedLatencyOutput fixedLatencyOutput;
};

/** Refuses, with a reason in the last error message, a model path that is not a regular file
    (a folder, a FIFO, a device): reading one could block or never end. */
bool isReadableModelFile(const std::string& path);

} // namespace murel
