#pragma once

#include <array>
#include <atomic>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "DspCore/BaseSpectralProcessor.h"
#include "DspCore/Export.h"
#include "DspCore/Files.h"
#include "DspCore/Signals.h"
#include "Neural/NeuralModel.h"
#include "Processor/ThreadPool.h"

namespace murel
{

/** Cleans or separates audio with one or more neural models working on short-time spectra.

    Every analysis frame goes to every model (one worker thread per model when there are two
    or more). The models' output frames are split into buses and queued per bus; as soon as
    every bus holds a frame, the frames are shaped by each bus's sensitivity (masking models
    only), weighted by each bus's gain, mixed with a residual bus and, for masking models,
    applied to the input spectrum of the same age.

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
        processor then keeps its previous formats and blocking). */
    bool setFormat(const AudioFormat& newInputFormat, const AudioFormat& newOutputFormat) override;
    /** The frame's latency plus the models' largest latency in hops, in samples. */
    int getLatency(int blockSize) const override;
    /** Empties every frame queue and resets every model's streaming state; parameters stay. */
    void reset() override;
    /** What the spectral frame makes of the block. */
    Signal32 process(const Signal32& block) override;
    /** The per-frame work: zero or more mixed output spectra of the output channel count. */
    std::list<ComplexSignal32> process(const ComplexSignal32& spectrum) override;

    std::vector<NeuralModel<float>>& getNeuralModels() { return neuralModels; }
    const std::vector<NeuralModel<float>>& getNeuralModels() const { return neuralModels; }
    int getNumOfModels() const { return numOfModels; }
    /** Worker threads: 0 with fewer than two models. */
    int getNumOfThreads() const { return threadPool != nullptr ? threadPool->getNumOfThreads() : 0; }

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
        above fftSize / 2 only pass through the polar conversion. */
    ComplexSignal32 processSensitivity(float sensitivity, const ComplexSignal32& mask) const;
    /** spectrum with numOfChannels channels: itself when the count matches, else copies of the
        channel average (or of the single channel). */
    ComplexSignal32 ensureChannelFormat(const ComplexSignal32& spectrum, int numOfChannels) const;

    /** Input spectra waiting for their bus frames. */
    std::size_t getNumOfWaitingFrames() const { return inputFrames.size(); }

private:
    bool updateBlockSize();
    bool isQueueEmpty() const;
    void appendToBusOutputs(int& busIndex, int numOfBusses, const std::vector<ComplexSignal32>& outputs);
    std::vector<std::vector<ComplexSignal32>> runModels(const ComplexSignal32& modelInput);
    ComplexSignal32 mixOldestFrames();
    /** processSensitivity into shaped, which must have mask's shape and may be mask itself. */
    void shapeMask(float sensitivity, const ComplexSignal32& mask, ComplexSignal32& shaped) const;

    std::array<std::atomic<float>, maxNumOfBusses> sensitivity;
    std::array<std::atomic<float>, maxNumOfBusses> gain;
    std::atomic<float> maskExtrapolationEnabled{1.0f};
    std::unique_ptr<ThreadPool> threadPool;
    int numOfModels = 0;
    std::vector<NeuralModel<float>> neuralModels;
    AudioFormat modelInputFormat;
    AudioFormat modelOutputFormat;
    std::vector<std::string> outputBusNames;
    /** Bus queues each model fills, in model order. */
    std::vector<int> numOfModelBusses;
    bool outputsMasks = true;
    std::list<ComplexSignal32> inputFrames;
    std::vector<std::list<ComplexSignal32>> busQueues;

    // Scratch of the mix, reused from frame to frame.
    ComplexSignal32 busFrame;
    ComplexSignal32 busSum;
    ComplexSignal32 residual;
};

} // namespace murel
