#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <vector>

#include "DspCore/BaseAudioProcessor.h"
#include "DspCore/Export.h"
#include "DspCore/Signals.h"

namespace murel
{

/** Streaming sample-rate converter for multichannel float blocks: a Gaussian-windowed sinc
    interpolator whose kernel is tabulated at a fixed number of fractional positions per input
    sample. Blocks of any length go in; each call returns as many output samples as the input
    received so far allows and keeps the rest. Every public operation holds a recursive lock, so
    a control thread may reconfigure or reset the converter while another thread processes. */
class MUREL_EXPORT SampleRateConversion : public BaseAudioProcessor
{
public:
    SampleRateConversion();
    ~SampleRateConversion() override;

    SampleRateConversion(const SampleRateConversion&) = delete;
    SampleRateConversion& operator=(const SampleRateConversion&) = delete;

    /** Takes both formats, rebuilds the kernel table and restarts the stream (also when the
        formats are unchanged). Returns false and changes nothing when the channel counts differ
        or a sample rate is not a positive finite number. */
    bool setFormat(const AudioFormat& newInputFormat, const AudioFormat& newOutputFormat) override;
    /** Input samples from the first input sample to the kernel centre of the first output sample,
        plus one; independent of the block size. */
    int getLatency(int blockSize) const override;
    /** Drops all pending input and primes the stream with half a kernel of silence. */
    void reset() override;
    /** Queues the block and returns every output sample the pending input completes, with the
        block's channel count; Signal32::empty when none is complete. A block whose channel count
        differs from the pending blocks' drops the pending input first. */
    Signal32 process(const Signal32& input) override;

    /** Tabulates the kernel for the held formats. */
    void updateSincTables();
    /** Kernel-weighted sum of samples[i .. i + N - 1] with i = position / R and table row
        position & (R - 1): the input signal at i + row / R + N / 2. */
    double calculateSubSampleValue(int position, const double* samples) const;

    /** Kernel length N in input samples of the current table. */
    int getNumOfTaps() const;
    /** Number R of tabulated fractional positions per input sample. */
    int getTableResolution() const { return tableResolution; }
    /** The tabulated position at which the kernel picks a single sample, or -1. */
    int getDirectPhase() const;
    /** The table: R rows of N taps (shares storage with the converter). */
    Signal64 getSincTable() const;

    /** Input samples per channel queued and not yet consumed. */
    int64_t getNumOfPendingSamples() const;

private:
    struct Table
    {
        int tapCount = 0;
        int directPhase = -1;
        Signal64 taps;
    };
    Table buildTable(double inputRate, double outputRate) const;
    double subSample(int64_t position, const double* samples) const;
    void dropFront(int64_t numOfSamples);

    mutable std::recursive_mutex lock;

    const float filterLengthMs;
    const float cutoffPercent;
    const int tableResolution;
    // Always set: the converter interpolates between phases. Kept for the class's layout.
    [[maybe_unused]] const bool interpolatePhases;
    const int phaseMask;

    int tapCount = 0;
    int directPhase = -1;
    Signal64 sincTable;

    std::list<Signal32> pendingBlocks;
    int64_t pendingSamples = 0;
    int firstBlockOffset = 0;
    int pendingChannels = -1;
    double resamplePosition = 0.0;

    // Gathered pending input, one row per channel; kept to avoid reallocating per block.
    std::vector<double> gatherBuffer;
};

} // namespace murel
