#pragma once

#include <list>
#include <vector>

#include "DspCore/BaseAudioProcessor.h"
#include "DspCore/Export.h"
#include "DspCore/ShortTimeFourierStage.h"
#include "DspCore/Signals.h"

namespace murel
{

/** Short-time Fourier frame for spectral processors.

    Incoming audio is cut into frames of windowSize samples every hopSize samples; each frame is
    windowed, zero-padded in front to fftSize and transformed. The subclass turns each spectrum
    into zero, one or more spectra, which are transformed back, windowed again and overlap-added
    into the output. With a subclass that returns its input unchanged the output stream is the
    input stream exactly, emitted getLatency samples late, when fftSize equals windowSize and
    windowSize is 2 * hopSize (square-root Hann windows) or 4 * hopSize (Hann windows).

    Until setBlocking succeeds the frame is bypassed: process returns its argument. Blocks
    whose channel count differs from the input format's are ignored (nothing buffered changes,
    no samples come out). Subclasses that override process(const ComplexSignal32&) should
    bring the block overload into scope with a using-declaration. */
class MUREL_EXPORT BaseSpectralProcessor : public BaseAudioProcessor
{
public:
    BaseSpectralProcessor() = default;
    ~BaseSpectralProcessor() override = default;

    /** hopSize * (synthesisDelay + numOfOverlaps) when blockSize is not a multiple of
        hopSize, one hop less when it is; 0 while bypassed. */
    int getLatency(int blockSize) const override;
    /** Drops buffered audio and pending frames and queues the start-up silence again. */
    void reset() override;
    /** Streaming entry: returns the output channels and a whole number of hops. */
    Signal32 process(const Signal32& block) override;
    /** The subclass's spectral work. Receives one row of fftSize / 2 + 1 bins per input
        channel and returns any number of spectra, taken as consecutive frames one hop apart.
        Rows beyond the output channel count are ignored; rows and bins a spectrum lacks count
        as zero. */
    virtual std::list<ComplexSignal32> process(const ComplexSignal32& spectrum) = 0;
    /** Builds both windows, synthesisDelay and numOfOverlaps for the current blocking and
        formats and hands them to the stage. Keeps the old windows when the output format has
        no speakers or no rate. */
    virtual void generateWindows();

    /** Sets the blocking, builds windows and transform tables and resets. The formats must be
        set before. Rejects (returns false and switches processing off, so blocks pass
        through) a hopSize below 1 or above windowSize, an fftSize that is below windowSize,
        below 2 or not a power of two, and formats without speakers or without a positive
        sample rate. */
    bool setBlocking(int newFftSize, int newWindowSize, int newHopSize);

    /** One frame of the input channels and windowSize samples through window, transform,
        subclass, inverse transform and synthesis window: one output frame per returned
        spectrum. A frame of another shape gives no output frames. */
    std::list<Signal32> processBlock(const Signal32& frame);

    /** Shares the storage of the analysis window (one row per input channel). */
    Signal32 getAnalysisWindow() const { return stage.getAnalysisWindow(); }
    /** Shares the storage of the synthesis window (one row per output channel). */
    Signal32 getSynthesisWindow() const { return stage.getSynthesisWindow(); }

    int getFftSize() const { return stage.getBlocking().fftSize; }
    int getWindowSize() const { return stage.getBlocking().windowSize; }
    int getHopSize() const { return stage.getBlocking().hopSize; }
    int getSynthesisDelay() const { return stage.getBlocking().synthesisDelay; }
    int getNumOfOverlaps() const { return stage.getBlocking().numOfOverlaps; }
    /** Input samples buffered and not yet consumed by a hop (start-up silence included). */
    int64_t getNumOfBufferedSamples() const { return stage.getNumOfBufferedSamples(); }
    std::size_t getNumOfPendingFrames() const { return static_cast<std::size_t>(stage.getNumOfPendingFrames()); }

protected:
    /** The framing, transforms, windows and overlap-add: all of this class's state. Subclasses
        on the real-time path drive it directly. */
    ShortTimeFourierStage stage;
};

} // namespace murel
