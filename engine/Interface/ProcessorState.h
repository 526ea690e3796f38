#pragma once

#include "DspCore/Signals.h"
#include "Processor/MurelProcessor.h"

namespace murel
{

/** What stands behind a processor handle of the C interface: the processor (which also queues
    the processed audio not yet taken) and the channel count the caller declared. */
struct ProcessorState
{
    /** Channel counts the C interface accepts; far beyond any real layout. */
    static constexpr int maxNumOfChannels = 1024;

    /** Loads the model files (all paths non-null) and sets the caller's format as input and
        output format. False when a model cannot be loaded, the models cannot run together or
        the format cannot be run. */
    bool loadModels(int numOfModelFiles, const char* const* modelFiles, int numOfChannels, double sampleRate);

    int numOfInputChannels = 0;
    int numOfOutputChannels = 0;
    MurelProcessor processor;
};

} // namespace murel
