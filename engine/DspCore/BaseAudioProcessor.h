#pragma once

#include "DspCore/AudioFormat.h"
#include "DspCore/Export.h"
#include "DspCore/Signals.h"

namespace murel
{

/** Common interface of the engine's streaming processors: blocks of audio in one format in,
    blocks in another format out, with a reported latency. */
class MUREL_EXPORT BaseAudioProcessor
{
public:
    virtual ~BaseAudioProcessor() = default;

    /** Copies both formats in unless they equal the current ones. Subclasses that depend on the
        formats override it and report whether they accept them. */
    virtual bool setFormat(const AudioFormat& newInputFormat, const AudioFormat& newOutputFormat)
    {
        if (!(newInputFormat == inputFormat && newOutputFormat == outputFormat))
        {
            inputFormat = newInputFormat;
            outputFormat = newOutputFormat;
        }
        return true;
    }
    /** Delay in samples between input and output for blocks of blockSize samples. */
    virtual int getLatency(int /*blockSize*/) const { return 0; }
    virtual void reset() {}
    virtual Signal32 process(const Signal32& block) = 0;

    const AudioFormat& getInputFormat() const { return inputFormat; }
    const AudioFormat& getOutputFormat() const { return outputFormat; }

protected:
    AudioFormat inputFormat;
    AudioFormat outputFormat;
};

} // namespace murel
