#pragma once

#include <cstdint>

#include "DspCore/Export.h"
#include "DspCore/FourierTransform.h"
#include "DspCore/Signals.h"

namespace murel
{

/** The short-time Fourier stage of a spectral processor, with every buffer it needs.

    Samples are gathered into frames of windowSize samples every hopSize samples, windowed,
    zero-padded in front to fftSize and transformed; the spectrum goes to a Work, which hands
    back zero or more output spectra (addOutputSpectrum). Each is transformed back, windowed
    again and overlap-added with the numOfOverlaps - 1 frames before it; every finished hop is
    appended to the output queue, which the caller reads sample-exactly.

    configure and reserve allocate; everything else works in prepared buffers and never throws.
    A non-finite input sample counts as silence, and non-finite values that arise on the way
    (a spectrum or a sum that overflows) are set to 0, so that the output is always finite. */
class MUREL_EXPORT ShortTimeFourierStage
{
public:
    /** The per-frame processing the stage drives. */
    class Work
    {
    public:
        virtual ~Work() = default;
        /** spectrum: fftSize / 2 + 1 bins per input channel. Calls stage.addOutputSpectrum for
            every output frame, oldest first. */
        virtual void processSpectrum(const ComplexSignal32& spectrum, ShortTimeFourierStage& stage) noexcept = 0;
    };

    /** Sets up the framing (the windows give the channel counts: one row per input or output
        channel) and resets. False, with the stage switched off, for sizes that cannot be run:
        fftSize not a power of two of at least 2 or below windowSize, hopSize outside
        1 ... windowSize, windows of another length or without rows, numOfOverlaps below 1. */
    bool configure(int fftSize, int windowSize, int hopSize, const Signal32& analysisWindow,
                   const Signal32& synthesisWindow, int synthesisDelay, int numOfOverlaps);
    /** Switches the stage off and frees its buffers. */
    void clear();
    bool isConfigured() const { return windowSize > 0; }

    /** Empties the frames and the output queue and buffers the start-up silence again. */
    void reset() noexcept;
    /** Makes room in the output queue for what numOfSamples more input samples give, at one
        output frame per input frame (twice that, for models that release frames in bursts, and
        two windows more for a backlog the caller lets wander). Allocates only when the queue is
        too small, and then doubles it at least. */
    void reserve(int numOfSamples);
    /** Makes room for numOfSamples more output samples. */
    void reserveOutput(int64_t numOfSamples);

    /** Feeds numOfSamples samples of every input channel (rows of channels). */
    void process(const float* const* channels, int numOfSamples, Work& work) noexcept;
    /** Feeds numOfFrames interleaved frames of the input channels. */
    void processInterleaved(const float* samples, int numOfFrames, Work& work) noexcept;
    /** From within Work::processSpectrum: one output spectrum. Rows beyond the output channel
        count are ignored; rows and bins it lacks count as zero. A hop that finds the output
        queue full is dropped (reserve prevents that). */
    void addOutputSpectrum(const ComplexSignal32& spectrum) noexcept;

    /** Output samples per channel waiting to be read. */
    int64_t getNumOfOutputSamples() const { return outputCount; }
    /** Copies the oldest numOfSamples output samples of every output channel into channels
        and drops them; false, with nothing taken, when fewer are waiting. */
    bool readOutput(float* const* channels, int numOfSamples) noexcept;
    /** readOutput into interleaved frames. */
    bool readOutputInterleaved(float* samples, int numOfFrames) noexcept;

    int getNumOfInputChannels() const { return analysisWindow.getNumOfChannels(); }
    int getNumOfOutputChannels() const { return synthesisWindow.getNumOfChannels(); }
    /** Input samples gathered and not yet consumed by a hop (start-up silence included). */
    int getNumOfBufferedSamples() const { return numOfBuffered; }
    /** Output frames waiting for the frames that overlap them. */
    int getNumOfPendingFrames() const { return numOfPendingFrames; }
    /** Hops dropped because the output queue was full. */
    int64_t getNumOfDroppedHops() const { return numOfDroppedHops; }

private:
    template <typename Read>
    void feed(int numOfSamples, Read read, Work& work) noexcept;
    void analyse(Work& work) noexcept;
    void emitHop() noexcept;
    template <typename Write>
    bool read(int numOfSamples, Write write) noexcept;

    int fftSize = 0;
    int windowSize = 0;
    int hopSize = 0;
    int synthesisDelay = 0;
    int numOfOverlaps = 1;
    Signal32 analysisWindow;
    Signal32 synthesisWindow;
    FourierTransform fourierTransform;

    /** The frame being gathered: windowSize samples per input channel. */
    Signal32 inputFrame;
    int numOfBuffered = 0;
    /** The windowed frame with its zero head, its spectrum, and a padded output spectrum. */
    Signal32 paddedFrame;
    ComplexSignal32 spectrum;
    ComplexSignal32 paddedSpectrum;
    Signal32 inverseFrame;
    /** numOfOverlaps synthesised frames, a ring: firstPendingFrame is the oldest. */
    Signal32 synthesisFrames;
    int firstPendingFrame = 0;
    int numOfPendingFrames = 0;
    Signal32 hop;

    /** The output queue: a ring of outputCapacity samples per output channel. */
    Signal32 output;
    int64_t outputCapacity = 0;
    int64_t outputStart = 0;
    int64_t outputCount = 0;
    int64_t numOfDroppedHops = 0;
};

} // namespace murel
