#pragma once

#include <cstdint>
#include <vector>

#include "DspCore/Export.h"
#include "DspCore/FourierTransform.h"
#include "DspCore/Signals.h"

namespace murel
{

/** The short-time Fourier stage of a spectral processor, with every buffer it needs.

    Samples are gathered into frames of windowSize samples every hopSize samples, windowed,
    zero-padded in front to fftSize and transformed. The owner pulls the spectra one by one and
    hands back zero or more output spectra for each:

        stage.setInput(channels, numOfSamples);
        while (const ComplexSignal32* spectrum = stage.nextSpectrum())
            stage.addOutputSpectrum(work(*spectrum));

    Each output spectrum is transformed back, windowed again and overlap-added with the
    numOfOverlaps - 1 frames before it; every finished hop is appended to the output queue,
    which the caller reads sample-exactly.

    setBlocking, configure and reserve allocate; everything else works in prepared buffers and
    never throws. A non-finite input sample counts as silence, and non-finite values that arise
    on the way (a spectrum or a sum that overflows) are set to 0, so that the output is always
    finite. */
class MUREL_EXPORT ShortTimeFourierStage
{
public:
    /** The frame sizes, fixed from setBlocking to the next. */
    struct Blocking
    {
        int fftSize = 0;
        int windowSize = 0;
        int hopSize = 0;
        /** Hops between a frame's end and the end of the part of it emitted first. */
        int synthesisDelay = 0;
        /** Frames summed for each output hop. */
        int numOfOverlaps = 2;
    };

    /** Takes new frame sizes and switches the stage off until configure gives it windows.
        False, with the stage cleared, for sizes that cannot be run: fftSize not a power of two
        of at least 2 or below windowSize, hopSize outside 1 ... windowSize. */
    bool setBlocking(int fftSize, int windowSize, int hopSize);
    /** Sets the windows for the blocking (one row per input or output channel), allocates
        every buffer and resets. False, with the stage cleared, for windows of another length
        or without rows, a negative synthesisDelay or numOfOverlaps below 1. */
    bool configure(const Signal32& analysisWindow, const Signal32& synthesisWindow, int synthesisDelay,
                   int numOfOverlaps);
    /** Switches the stage off and frees its buffers. */
    void clear();
    bool isConfigured() const { return inputFrame.hasStorage(); }
    const Blocking& getBlocking() const { return blocking; }
    const Signal32& getAnalysisWindow() const { return analysisWindow; }
    const Signal32& getSynthesisWindow() const { return synthesisWindow; }

    /** Empties the frames and the output queue and buffers the start-up silence again. */
    void reset() noexcept;
    /** Makes room in the output queue for what numOfSamples more input samples give, at one
        output frame per input frame (twice that, for models that release frames in bursts, and
        two windows more for a backlog the caller lets wander). Allocates only when the queue is
        too small, and then doubles it at least. */
    void reserve(int numOfSamples);
    /** Makes room for numOfSamples more output samples. */
    void reserveOutput(int64_t numOfSamples);

    /** The next input: numOfSamples samples of every input channel (rows of channels), read
        by nextSpectrum until it returns null; the rows must stay valid until then. */
    void setInput(const float* const* channels, int numOfSamples) noexcept;
    /** setInput for numOfFrames interleaved frames of the input channels. */
    void setInputInterleaved(const float* samples, int numOfFrames) noexcept;
    /** Gathers input until a frame is complete and returns its spectrum (fftSize / 2 + 1 bins
        per input channel, valid until the next call); null once the input is used up. */
    const ComplexSignal32* nextSpectrum() noexcept;
    /** One output spectrum, the oldest first. Rows beyond the output channel count are
        ignored; rows and bins it lacks count as zero. A hop that finds the output queue full
        is dropped (reserve prevents that). */
    void addOutputSpectrum(const ComplexSignal32& spectrum) noexcept;

    /** Windows, pads and transforms frame (windowSize samples per input channel) outside the
        stream; the spectrum is valid until the next frame. */
    const ComplexSignal32& analyse(const Signal32& frame) noexcept;
    /** The windowed inverse of spectrum (as addOutputSpectrum takes it) into output, one row
        of windowSize samples per output channel. */
    void synthesise(const ComplexSignal32& spectrum, Signal32& output) noexcept;

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

private:
    void emitHop() noexcept;
    template <typename Write>
    bool read(int numOfSamples, Write write) noexcept;

    Blocking blocking;
    Signal32 analysisWindow;
    Signal32 synthesisWindow;
    FourierTransform fourierTransform;

    /** The caller's input, read by nextSpectrum: rows, or interleaved frames. */
    const float* const* inputRows = nullptr;
    const float* inputFrames = nullptr;
    int inputLength = 0;
    int inputPosition = 0;

    /** The frame being gathered: windowSize samples per input channel. */
    Signal32 inputFrame;
    int numOfBuffered = 0;
    /** The windowed frame with its zero head, its spectrum, and a padded output spectrum. */
    Signal32 paddedFrame;
    ComplexSignal32 spectrum;
    ComplexSignal32 paddedSpectrum;
    Signal32 inverseFrame;
    /** numOfOverlaps synthesised frames, a ring: firstPendingFrame is the oldest. */
    std::vector<Signal32> synthesisFrames;
    int firstPendingFrame = 0;
    int numOfPendingFrames = 0;
    Signal32 hop;

    /** The output queue: a ring of outputCapacity samples per output channel. */
    Signal32 output;
    int64_t outputCapacity = 0;
    int64_t outputStart = 0;
    int64_t outputCount = 0;
};

} // namespace murel
