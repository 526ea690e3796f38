#include "Toolbox/SampleRateConversion.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>

namespace murel
{

namespace
{

constexpr double pi = 3.14159265358979323846;

// Beyond this the table alone would take gigabytes; no audio rate comes near it.
constexpr double maxNumOfTaps = 1 << 24;

// Caps one call's output so that sample counts stay within int.
constexpr double maxNumOfOutputSamples = INT_MAX / 2;

// Zero samples appended to each gathered row: the last output sample's upper neighbour reads at
// most one sample past the consumed range, and rounding of the read position must never reach
// past the row.
constexpr std::size_t rowPadding = 2;

double roundHalfToEven(double x)
{
    const double lower = std::floor(x);
    const double fraction = x - lower;
    if (fraction > 0.5)
        return lower + 1.0;
    if (fraction < 0.5)
        return lower;
    return std::fmod(lower, 2.0) == 0.0 ? lower : lower + 1.0;
}

double tapCountFor(double inputRate, float filterLengthMs)
{
    return roundHalfToEven(static_cast<double>(filterLengthMs) * inputRate / 1000.0);
}

/** Positive finite rates whose kernel table stays within bounds. */
bool canBuildTable(double inputRate, double outputRate, float filterLengthMs)
{
    return inputRate > 0.0 && outputRate > 0.0 && std::isfinite(inputRate) && std::isfinite(outputRate) &&
           tapCountFor(inputRate, filterLengthMs) <= maxNumOfTaps;
}

// Four partial sums, so that the loop vectorises; the result differs from a strictly sequential
// sum only in the last bits.
double dotProduct(const double* taps, const double* samples, int numOfTaps)
{
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    int k = 0;
    for (; k + 4 <= numOfTaps; k += 4)
    {
        s0 += taps[k] * samples[k];
        s1 += taps[k + 1] * samples[k + 1];
        s2 += taps[k + 2] * samples[k + 2];
        s3 += taps[k + 3] * samples[k + 3];
    }
    for (; k < numOfTaps; ++k)
        s0 += taps[k] * samples[k];
    return (s0 + s1) + (s2 + s3);
}

} // namespace

SampleRateConversion::SampleRateConversion()
    : filterLengthMs(1.5f), cutoffPercent(95.0f), tableResolution(64), interpolatePhases(true),
      phaseMask(tableResolution - 1)
{
}

SampleRateConversion::~SampleRateConversion() = default;

bool SampleRateConversion::setFormat(const AudioFormat& newInputFormat, const AudioFormat& newOutputFormat)
{
    std::lock_guard<std::recursive_mutex> guard(lock);

    // The converter never remaps channels.
    if (newInputFormat.getNumOfChannels() != newOutputFormat.getNumOfChannels())
        return false;
    if (!canBuildTable(newInputFormat.sampleRate, newOutputFormat.sampleRate, filterLengthMs))
        return false;

    // Everything that can throw happens before the first member changes.
    Table table = buildTable(newInputFormat.sampleRate, newOutputFormat.sampleRate);
    if (!(newInputFormat == inputFormat && newOutputFormat == outputFormat))
    {
        AudioFormat inputCopy = newInputFormat;
        AudioFormat outputCopy = newOutputFormat;
        inputFormat = std::move(inputCopy);
        outputFormat = std::move(outputCopy);
    }
    tapCount = table.tapCount;
    directPhase = table.directPhase;
    sincTable = std::move(table.taps);
    reset();
    return true;
}

void SampleRateConversion::updateSincTables()
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (!canBuildTable(inputFormat.sampleRate, outputFormat.sampleRate, filterLengthMs))
        return;
    Table table = buildTable(inputFormat.sampleRate, outputFormat.sampleRate);
    tapCount = table.tapCount;
    directPhase = table.directPhase;
    sincTable = std::move(table.taps);
}

SampleRateConversion::Table SampleRateConversion::buildTable(double inputRate, double outputRate) const
{
    const double ratio = outputRate / inputRate;
    const int resolution = tableResolution;

    Table table;
    table.tapCount = static_cast<int>(tapCountFor(inputRate, filterLengthMs));
    const int numOfTaps = table.tapCount;

    float cutoff = cutoffPercent / 100.0f;
    if (ratio < 1.0)
        cutoff = cutoff * static_cast<float>(ratio);

    const double sigma = static_cast<double>(static_cast<float>(numOfTaps) * 0.1f);
    const int centre = numOfTaps / 2;
    const double cutoffWide = static_cast<double>(cutoff);

    table.taps = Signal64(resolution, numOfTaps);
    for (int p = 0; p < resolution; ++p)
    {
        double* row = table.taps.getWritePointer(p);
        for (int k = 0; k < numOfTaps; ++k)
        {
            const double d = static_cast<double>(k - centre) - static_cast<double>(p) / static_cast<double>(resolution);
            const double q = d / sigma;
            const double g = std::exp(-0.5 * (q * q));
            const double a = (cutoffWide * pi) * d;
            row[k] = a == 0.0 ? cutoffWide * g : cutoffWide * g * std::sin(a) / a;
        }
        std::fill(row + numOfTaps, row + table.taps.getStride(), 0.0);
    }
    table.directPhase = cutoff == 1.0f ? 0 : -1;
    return table;
}

double SampleRateConversion::subSample(int64_t position, const double* samples) const
{
    const int64_t index = position / tableResolution;
    const int phase = static_cast<int>(position & phaseMask);
    const double* x = samples + index;
    if (phase == directPhase)
        return x[tapCount / 2];
    return dotProduct(sincTable.getReadPointer(phase), x, tapCount);
}

double SampleRateConversion::calculateSubSampleValue(int position, const double* samples) const
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (!sincTable.hasStorage() || position < 0 || samples == nullptr)
        return 0.0;
    return subSample(position, samples);
}

void SampleRateConversion::reset()
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    pendingBlocks.clear();
    pendingSamples = 0;
    firstBlockOffset = 0;
    pendingChannels = -1;
    resamplePosition = 0.0;

    // Half a kernel of silence puts the first input sample at the centre of the first output's kernel.
    const int centre = tapCount / 2;
    if (centre > 0)
    {
        Signal32 silence(inputFormat.getNumOfChannels(), centre);
        silence.setToZero();
        pendingChannels = silence.getNumOfChannels();
        pendingBlocks.push_back(std::move(silence));
        pendingSamples += centre;
    }
}

int SampleRateConversion::getLatency(int /*blockSize*/) const
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    return tapCount / 2 + 1;
}

int SampleRateConversion::getNumOfTaps() const
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    return tapCount;
}

int SampleRateConversion::getDirectPhase() const
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    return directPhase;
}

Signal64 SampleRateConversion::getSincTable() const
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    return sincTable;
}

int64_t SampleRateConversion::getNumOfPendingSamples() const
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    return pendingSamples;
}

void SampleRateConversion::dropFront(int64_t numOfSamples)
{
    while (numOfSamples > 0 && !pendingBlocks.empty())
    {
        const int64_t rest = pendingBlocks.front().getNumOfSamples() - firstBlockOffset;
        if (numOfSamples >= rest)
        {
            pendingBlocks.pop_front();
            firstBlockOffset = 0;
            numOfSamples -= rest;
        }
        else
        {
            firstBlockOffset += static_cast<int>(numOfSamples);
            numOfSamples = 0;
        }
    }
}

Signal32 SampleRateConversion::process(const Signal32& input)
{
    if (input.isEmpty())
        return Signal32::empty;

    std::lock_guard<std::recursive_mutex> guard(lock);

    // Nothing to convert with before setFormat has built a table.
    const double inputRate = inputFormat.sampleRate;
    const double outputRate = outputFormat.sampleRate;
    if (!sincTable.hasStorage() || !(inputRate > 0.0 && outputRate > 0.0))
        return Signal32::empty;
    const double step = inputRate / outputRate;

    const int numOfChannels = input.getNumOfChannels();
    if (pendingChannels != -1 && pendingChannels != numOfChannels)
    {
        pendingBlocks.clear();
        pendingSamples = 0;
        firstBlockOffset = 0;
    }
    pendingChannels = numOfChannels;
    pendingBlocks.push_back(input);
    pendingSamples += input.getNumOfSamples();

    double count = std::trunc(static_cast<double>(pendingSamples - tapCount - 1) / step);
    if (!(count >= 1.0))
        return Signal32::empty;
    count = std::min(count, maxNumOfOutputSamples);
    const int numOfOutputSamples = static_cast<int>(count);

    // Gather the pending input into one contiguous double row per channel.
    const std::size_t rowLength = static_cast<std::size_t>(pendingSamples) + rowPadding;
    gatherBuffer.assign(static_cast<std::size_t>(numOfChannels) * rowLength, 0.0);
    std::size_t filled = 0;
    int offset = firstBlockOffset;
    for (const Signal32& block : pendingBlocks)
    {
        const int length = block.getNumOfSamples() - offset;
        for (int c = 0; c < numOfChannels; ++c)
        {
            const float* source = block.getReadPointer(c) + offset;
            double* target = gatherBuffer.data() + static_cast<std::size_t>(c) * rowLength + filled;
            for (int i = 0; i < length; ++i)
                target[i] = static_cast<double>(source[i]);
        }
        filled += static_cast<std::size_t>(length);
        offset = 0;
    }

    Signal32 output(numOfChannels, numOfOutputSamples);
    std::vector<float*>& outputRows = output.getChannelPointers();
    const double* rows = gatherBuffer.data();

    if (step != 1.0)
    {
        const double resolution = static_cast<double>(tableResolution);
        for (int m = 0; m < numOfOutputSamples; ++m)
        {
            const double position = resolution * resamplePosition;
            const auto index = static_cast<int64_t>(position);
            // Linear between the two nearest tabulated phases (interpolatePhases is always set).
            const auto fraction = static_cast<double>(static_cast<float>(position - static_cast<double>(index)));
            for (int c = 0; c < numOfChannels; ++c)
            {
                const double* x = rows + static_cast<std::size_t>(c) * rowLength;
                const double a = subSample(index, x);
                const double b = subSample(index + 1, x);
                outputRows[static_cast<std::size_t>(c)][m] = static_cast<float>(a + (b - a) * fraction);
            }
            resamplePosition += step;
        }
    }
    else
    {
        const std::size_t centre = static_cast<std::size_t>(tapCount / 2);
        for (int c = 0; c < numOfChannels; ++c)
        {
            const double* x = rows + static_cast<std::size_t>(c) * rowLength + centre;
            float* target = outputRows[static_cast<std::size_t>(c)];
            for (int m = 0; m < numOfOutputSamples; ++m)
                target[m] = static_cast<float>(x[m]);
        }
        resamplePosition += static_cast<double>(numOfOutputSamples);
    }

    // Consume the whole input samples the read position has passed.
    const double consumed = std::trunc(resamplePosition);
    resamplePosition -= consumed;
    // Dropping all of it (or more) empties the queue and restarts the offset.
    const auto numOfConsumed = static_cast<int64_t>(consumed);
    dropFront(numOfConsumed);
    pendingSamples = std::max<int64_t>(pendingSamples - numOfConsumed, 0);
    return output;
}

} // namespace murel
