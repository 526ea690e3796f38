#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DspCore/Signals.h"
#include "Interface/SignalQueue.h"
#include "Processor/MurelProcessor.h"

namespace murel
{

/** The output side of murelProcessAudio: the processor's output behind exactly `latency`
    samples of silence, kept in a ring of its own so that calls of a steady block size allocate
    nothing here. */
class FixedLatencyOutput
{
public:
    /** Sizes the buffers for blocks of up to blockSize samples; allocates only when a block is
        longer than any before or the channel count changed. */
    void prepare(int numOfChannels, int blockSize, int latency);
    /** Back to silence before the first processed sample; the buffers stay. */
    void reset(int latency);

    /** A block for the input to go to the processor in. The processor keeps a share of the blocks
        it was given until it has used them, so the blocks are a pool: one nobody else holds is
        taken again, and a new one is made only while the pool grows to what the processor keeps. */
    Signal32& getInputBlock(int numOfSamples);
    /** Appends what the processor returned. */
    void append(const Signal32& processed);
    /** Writes the next numOfSamples output samples of channel c to out[c](channel, index). */
    template <typename Writer>
    void take(int numOfSamples, Writer&& write);

private:
    void grow(std::int64_t capacity);

    int numOfChannels = 0;
    int maxBlockSize = 0;
    std::int64_t silenceLeft = 0;
    /** Ring per channel: count samples from readPosition on. */
    std::vector<std::vector<float>> ring;
    std::int64_t capacity = 0;
    std::int64_t readPosition = 0;
    std::int64_t count = 0;
    std::vector<Signal32> inputBlocks;
};

template <typename Writer>
void FixedLatencyOutput::take(int numOfSamples, Writer&& write)
{
    int index = 0;
    for (; index < numOfSamples && silenceLeft > 0; ++index, --silenceLeft)
        for (int c = 0; c < numOfChannels; ++c)
            write(c, index, 0.0f);
    // The processor delivers every sample no later than its latency promises; the silence above
    // covers the rest, so an underrun cannot happen. It would play silence if it did.
    for (; index < numOfSamples; ++index)
    {
        for (int c = 0; c < numOfChannels; ++c)
            write(c, index,
                  count > 0 ? ring[static_cast<std::size_t>(c)][static_cast<std::size_t>(readPosition)] : 0.0f);
        if (count > 0)
        {
            readPosition = readPosition + 1 == capacity ? 0 : readPosition + 1;
            --count;
        }
    }
}

/** What stands behind a processor handle of the C interface: the processor, the queue of
    processed audio not yet taken, and the channel count the caller declared. */
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
    SignalQueue<Signal32> outputQueue;
    FixedLatencyOutput fixedLatencyOutput;
};

/** Refuses, with a reason in the last error message, a model path that is not a regular file
    (a folder, a FIFO, a device): reading one could block or never end. */
bool isReadableModelFile(const std::string& path);

} // namespace murel
