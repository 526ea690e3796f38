#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "DspCore/BaseSpectralProcessor.h"
#include "DspCore/Export.h"
#include "DspCore/Files.h"
#include "DspCore/Signals.h"
#include "Neural/NeuralModel.h"
#include "Processor/MaskMixing.h"
#include "Processor/ModelWorker.h"

namespace murel
{

/** Cleans or separates audio with one or more neural models working on short-time spectra.

    The pipeline: the short-time Fourier stage cuts the audio into spectra; every spectrum goes
    to every model (the caller runs the first, one persistent worker thread each of the others);
    the models' mask frames are queued per bus; the mixer shapes and weighs them into one output
    spectrum, which the stage turns back into audio.

    Every analysis frame goes to every model. The models' output frames are split into buses and queued per bus; as soon
   as every bus holds a frame, the frames are shaped by each bus's sensitivity (masking models only), weighted by each
   bus's gain, mixed with a residual bus and, for masking models, applied to the input spectrum of the same age.

    Buses: each model contributes its first numOutputs names, in model order; one residual bus
    follows, named by the first model's last name. Model m fills the queues after those of the
    models before it. Gains and sensitivities are atomics and may be changed from any thread;
    everything else runs on one thread at a time. */
class MUREL_EXPORT MurelProcessor : public BaseSpectralProcessor
{
public:
    /** Buses that hold a gain and a sensitivity, the residual included. */
    static constexpr int maxNumOfBusses = 16;

    MurelProcessor();
    ~MurelProcessor() override;

    MurelProcessor(const MurelProcessor&) = delete;
    MurelProcessor& operator=(const MurelProcessor&) = delete;

    /** Loads one model per file, in order. False, with the processor left as it was, when a
        file cannot be opened or read, or the set cannot be run (see loadModels). */
    bool loadModelFiles(const std::vector<File>& files);
    /** Loads one model per stream. False, with the processor left as it was, when a model
        cannot be read, when the models disagree in window size, hop size, sample rate,
        channel counts or processing mode, when they produce no bus or more than
        maxNumOfBusses - 1 buses in all, when a model's packing cannot be processed (code 5),
        when its graph emits frames at another rate than it takes them, or when its sample rate
        is not a positive finite number. */
    bool loadModels(const std::vector<std::shared_ptr<InputStream>>& streams);

    /** Sets the caller-side formats and the frame sizes that follow from the input rate. False
        before a model is loaded, and for formats whose frame sizes cannot be run (the
        processor then keeps its previous formats and blocking): among them host rates more than
        maxRateScale times the model's and frames beyond maxFftSize; getLastError says why. */
    bool setFormat(const AudioFormat& newInputFormat, const AudioFormat& newOutputFormat) override;
    /** The frame's latency plus the models' largest latency in hops, in samples. */
    int getLatency(int blockSize) const override;
    /** Empties every frame queue and resets every model's streaming state; parameters stay.
        Allocates nothing once the processor has run (or been prepared). */
    void reset() override;
    /** Sizes every buffer for blocks of up to maximumBlockSize samples by running silence through
        the models, then resets: the real-time entries then allocate nothing from the first frame
        on. Allocates; call it before audio starts. */
    void prepare(int maximumBlockSize);
    /** What the spectral frame makes of the block. */
    Signal32 process(const Signal32& block) override;

    // The real-time entries: once the first frames have passed at a block size, they neither
    // allocate nor block. Non-finite input samples count as silence; the output is finite.

    /** Pushes numOfSamples samples of every input channel (rows of channels). */
    void addAudio(const float* const* channels, int numOfSamples);
    /** Pushes numOfFrames interleaved frames. */
    void addAudioInterleaved(const float* samples, int numOfFrames);
    /** Takes exactly numOfSamples processed samples per output channel; false, taking nothing,
        when fewer are waiting. */
    bool getAudio(float* const* channels, int numOfSamples) noexcept;
    bool getAudioInterleaved(float* samples, int numOfFrames) noexcept;
    /** Processed samples per channel waiting to be taken. */
    int64_t getNumOfPendingSamples() const noexcept { return stage.getNumOfOutputSamples(); }

    /** Largest factor by which the frame grows for a host rate above the model's. */
    static constexpr int maxRateScale = 32;
    /** Largest transform the frame may need after that scaling. */
    static constexpr int maxFftSize = 1 << 16;
    /** Why the last loadModelFiles, loadModels or setFormat failed; else empty. */
    const std::string& getLastError() const { return lastError; }
    /** The per-frame work: zero or more mixed output spectra of the output channel count. */
    std::list<ComplexSignal32> process(const ComplexSignal32& spectrum) override;

    std::vector<NeuralModel<float>>& getNeuralModels() { return neuralModels; }
    const std::vector<NeuralModel<float>>& getNeuralModels() const { return neuralModels; }
    /** Threads that run the models side by side, the caller's included: 0 with fewer than two
        models. */
    int getNumOfThreads() const { return workers.empty() ? 0 : static_cast<int>(workers.size()) + 1; }

    /** Bus names, the residual included or not (never below 0). */
    int getNumOfOutputBusses(bool includeResidual) const;
    /** The name of bus index; empty outside 0 ... getNumOfOutputBusses(true) - 1. */
    std::string getOutputBusName(int index) const;

    /** Buses outside 0 ... 15 read as 0 and ignore writes; so do NaN values. Sensitivities
        are clamped to [-100, 100]; negative gains store 0. */
    float getSensitivity(int bus) const;
    void setSensitivity(int bus, float value);
    float getGain(int bus) const;
    void setGain(int bus, float value);
    bool getMaskExtrapolationEnabled() const;
    void setMaskExtrapolationEnabled(bool enabled);

    /** Bends the magnitudes of mask by sensitivity (positive: stricter, negative: more
        permissive) and keeps the phases. Channels from the output channel count on and bins
        above fftSize / 2 only pass through the polar conversion (the mix skips that round trip
        where the sensitivity leaves the magnitudes as they are). */
    ComplexSignal32 processSensitivity(float sensitivity, const ComplexSignal32& mask) const;
    /** spectrum with numOfChannels channels: itself when the count matches, else copies of the
        channel average (or of the single channel). */
    ComplexSignal32 ensureChannelFormat(const ComplexSignal32& spectrum, int numOfChannels) const;

    /** Input spectra waiting for their bus frames. */
    std::size_t getNumOfWaitingFrames() const { return static_cast<std::size_t>(inputFrames.size()); }

private:
    /** A queue of spectra of one shape in slots kept from frame to frame; it grows (allocating)
        only when a model holds back more frames than it was sized for. */
    class SpectrumRing
    {
    public:
        void prepare(int capacity, int numOfChannels, int numOfBins);
        void clear() { first = count = 0; }
        int size() const { return count; }
        bool empty() const { return count == 0; }
        /** The slot behind the last, to be written and then kept with push. */
        ComplexSignal32& back();
        void push() { ++count; }
        ComplexSignal32& front() { return slots[static_cast<std::size_t>(first)]; }
        void pop();

    private:
        std::vector<ComplexSignal32> slots;
        int first = 0;
        int count = 0;
        int numOfChannels = 0;
        int numOfBins = 0;
    };

    /** loadModels naming the models in its reasons by modelNames. */
    bool loadModels(const std::vector<std::shared_ptr<InputStream>>& streams,
                    const std::vector<std::string>& modelNames);
    /** Keeps reason for getLastError; false. */
    bool refuse(const std::string& reason);
    bool updateBlockSize();
    /** Sizes every per-frame buffer for the current blocking and formats. */
    void prepareFrameStorage();
    /** Every spectrum the stage's input completes through processFrame and back. */
    void processSpectra() noexcept;
    /** One spectrum through the models, queues and mixer; emit receives each mixed spectrum. */
    template <typename Emit>
    void processFrame(const ComplexSignalView& spectrum, Emit&& emit);
    /** Runs every model on modelInput, the first on this thread; false when one failed. */
    bool runModels();
    void queueModelFrames(int model, int& busIndex);
    bool canMix() const;
    void mixOldestFrames();

    std::array<std::atomic<float>, maxNumOfBusses> sensitivity;
    std::array<std::atomic<float>, maxNumOfBusses> gain;
    std::atomic<float> maskExtrapolationEnabled{1.0f};
    /** One worker per model after the first. */
    std::vector<std::unique_ptr<ModelWorker>> workers;
    std::string lastError;
    int numOfModels = 0;
    std::vector<NeuralModel<float>> neuralModels;
    AudioFormat modelInputFormat;
    AudioFormat modelOutputFormat;
    std::vector<std::string> outputBusNames;
    /** Bus queues each model fills, in model order. */
    std::vector<int> numOfModelBusses;
    bool outputsMasks = true;

    // Per-frame storage, sized by prepareFrameStorage.
    /** The spectrum in the models' channel count, when it differs from the host's. */
    ComplexSignal32 modelInputFrame;
    ComplexSignalView modelSpectrum;
    std::vector<int> numOfModelFrames;
    /** Input spectra in the output channel count, and each bus's frames, oldest first. */
    SpectrumRing inputFrames;
    std::vector<SpectrumRing> busQueues;
    std::vector<const ComplexSignal32*> mixFrames;
    std::array<float, maxNumOfBusses> mixGains{};
    std::array<float, maxNumOfBusses> mixSensitivities{};
    /** A model's bus frame before it takes the host's channel count. */
    ComplexSignal32 modelBusFrame;
    SpectralMixer mixer;
    ComplexSignal32 mixed;
};

} // namespace murel
