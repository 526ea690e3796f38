#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "DspCore/SampleRateConversion.h"

using namespace murel;

namespace
{

constexpr double pi = 3.14159265358979323846;
constexpr int resolution = 64;

AudioFormat makeFormat(int channels, double rate)
{
    AudioFormat format;
    format.createDefaultChannelMapping(channels);
    format.setSampleRate(rate);
    return format;
}

void configure(SampleRateConversion& converter, int channels, double inputRate, double outputRate)
{
    ASSERT_TRUE(converter.setFormat(makeFormat(channels, inputRate), makeFormat(channels, outputRate)));
}

// The kernel written out from its definition: a Gaussian-windowed sinc of N taps, centred at tap
// N/2 + p/R, cut off at 95 % of the lower Nyquist frequency.
struct ReferenceKernel
{
    ReferenceKernel(double inputRate, double outputRate)
    {
        numOfTaps = static_cast<int>(std::nearbyint(1.5 * inputRate / 1000.0));
        cutoff = 0.95f;
        if (outputRate < inputRate)
            cutoff *= static_cast<float>(outputRate / inputRate);
        sigma = static_cast<double>(static_cast<float>(numOfTaps) * 0.1f);
        centre = numOfTaps / 2;
    }

    double tap(int phase, int k) const
    {
        const double d = (k - centre) - static_cast<double>(phase) / resolution;
        const double fc = static_cast<double>(cutoff);
        const double window = std::exp(-0.5 * (d / sigma) * (d / sigma));
        const double a = fc * pi * d;
        return a == 0.0 ? fc * window : fc * window * std::sin(a) / a;
    }

    // Value at fixed-point position P (log2 R fractional bits) of a sample row.
    double at(int64_t position, const std::vector<double>& x) const
    {
        const int64_t index = position / resolution;
        const int phase = static_cast<int>(position % resolution);
        double sum = 0.0;
        for (int k = 0; k < numOfTaps; ++k)
            sum += tap(phase, k) * x[static_cast<std::size_t>(index + k)];
        return sum;
    }

    // The first numOfOutputs output samples for a stream whose gathered samples are x, starting at
    // read position 0, stepping by step input samples.
    std::vector<double> outputs(const std::vector<double>& x, double step, int numOfOutputs) const
    {
        std::vector<double> result;
        double position = 0.0;
        for (int m = 0; m < numOfOutputs; ++m)
        {
            const double p = resolution * position;
            const auto i = static_cast<int64_t>(p);
            const auto f = static_cast<double>(static_cast<float>(p - static_cast<double>(i)));
            const double a = at(i, x);
            const double b = at(i + 1, x);
            result.push_back(a + (b - a) * f);
            position += step;
        }
        return result;
    }

    int numOfTaps = 0;
    float cutoff = 0.0f;
    double sigma = 0.0;
    int centre = 0;
};

Signal32 makeNoise(int channels, int samples, unsigned seed)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> distribution(-1.0f, 1.0f);
    Signal32 signal(channels, samples);
    for (int c = 0; c < channels; ++c)
    {
        float* row = signal.getWritePointer(c);
        for (int i = 0; i < samples; ++i)
            row[i] = distribution(generator);
    }
    return signal;
}

Signal32 makeSine(int channels, int samples, double frequency, double rate, double amplitude)
{
    Signal32 signal(channels, samples);
    for (int c = 0; c < channels; ++c)
    {
        float* row = signal.getWritePointer(c);
        for (int i = 0; i < samples; ++i)
            row[i] = static_cast<float>(amplitude * std::sin(2.0 * pi * frequency * i / rate));
    }
    return signal;
}

Signal32 slice(const Signal32& signal, int start, int length)
{
    Signal32 part(signal.getNumOfChannels(), length);
    for (int c = 0; c < signal.getNumOfChannels(); ++c)
        for (int i = 0; i < length; ++i)
            part.getWritePointer(c)[i] = signal.getReadPointer(c)[start + i];
    return part;
}

// One row per channel, every output of the stream in order.
std::vector<std::vector<float>> runInBlocks(SampleRateConversion& converter, const Signal32& input,
                                            const std::vector<int>& blockSizes)
{
    std::vector<std::vector<float>> output(static_cast<std::size_t>(input.getNumOfChannels()));
    int start = 0;
    std::size_t next = 0;
    while (start < input.getNumOfSamples())
    {
        const int length = std::min(blockSizes[next++ % blockSizes.size()], input.getNumOfSamples() - start);
        const Signal32 result = converter.process(slice(input, start, length));
        start += length;
        if (result.isEmpty())
            continue;
        EXPECT_EQ(result.getNumOfChannels(), input.getNumOfChannels());
        for (int c = 0; c < result.getNumOfChannels(); ++c)
            for (int i = 0; i < result.getNumOfSamples(); ++i)
                output[static_cast<std::size_t>(c)].push_back(result.getReadPointer(c)[i]);
    }
    return output;
}

// Priming zeros followed by channel 0 of the input, as the converter gathers it.
std::vector<double> primedRow(const Signal32& input, int channel, int numOfZeros)
{
    std::vector<double> row(static_cast<std::size_t>(numOfZeros), 0.0);
    for (int i = 0; i < input.getNumOfSamples(); ++i)
        row.push_back(static_cast<double>(input.getReadPointer(channel)[i]));
    return row;
}

} // namespace

TEST(SampleRateConversion, TableHoldsTheKernelFormulaForEveryTap)
{
    const double rates[][2] = {{48000.0, 16000.0}, {16000.0, 48000.0}, {44100.0, 48000.0}, {48000.0, 44100.0}};
    const int expectedTaps[] = {72, 24, 66, 72};
    for (int r = 0; r < 4; ++r)
    {
        SCOPED_TRACE(testing::Message() << rates[r][0] << " -> " << rates[r][1]);
        SampleRateConversion converter;
        configure(converter, 1, rates[r][0], rates[r][1]);
        const ReferenceKernel kernel(rates[r][0], rates[r][1]);
        ASSERT_EQ(converter.getNumOfTaps(), expectedTaps[r]);
        ASSERT_EQ(kernel.numOfTaps, expectedTaps[r]);
        EXPECT_EQ(converter.getDirectPhase(), -1);
        EXPECT_EQ(converter.getLatency(512), expectedTaps[r] / 2 + 1);

        const Signal64 table = converter.getSincTable();
        ASSERT_EQ(table.getNumOfChannels(), resolution);
        ASSERT_EQ(table.getNumOfSamples(), expectedTaps[r]);
        EXPECT_EQ(table.getStride() % 8, 0);
        for (int phase : {0, 1, 17, 32, 63})
        {
            double dcGain = 0.0;
            for (int k = 0; k < kernel.numOfTaps; ++k)
            {
                EXPECT_NEAR(table.getReadPointer(phase)[k], kernel.tap(phase, k), 1e-15)
                    << "phase " << phase << " tap " << k;
                dcGain += table.getReadPointer(phase)[k];
            }
            EXPECT_NEAR(dcGain, 1.0, 1e-6) << "phase " << phase;
        }
    }
    // The cut-off scales with the ratio when down-sampling, in single precision.
    EXPECT_EQ(ReferenceKernel(48000.0, 16000.0).cutoff, 0.95f * static_cast<float>(1.0 / 3.0));
}

TEST(SampleRateConversion, SubSampleValueIsTheKernelWeightedSum)
{
    SampleRateConversion converter;
    configure(converter, 1, 44100.0, 48000.0);
    const ReferenceKernel kernel(44100.0, 48000.0);
    std::vector<double> x(200);
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] = std::sin(0.37 * static_cast<double>(i)) + 0.25 * std::cos(1.9 * static_cast<double>(i));

    for (int position : {0, 1, 63, 64, 65, 1000, 64 * 100 + 31})
        EXPECT_NEAR(converter.calculateSubSampleValue(position, x.data()), kernel.at(position, x), 1e-12)
            << "position " << position;
}

TEST(SampleRateConversion, OutputSamplesFollowTheFormula)
{
    const double rates[][2] = {{48000.0, 16000.0}, {16000.0, 48000.0}, {44100.0, 48000.0}};
    for (const auto& rate : rates)
    {
        SCOPED_TRACE(testing::Message() << rate[0] << " -> " << rate[1]);
        SampleRateConversion converter;
        configure(converter, 2, rate[0], rate[1]);
        const ReferenceKernel kernel(rate[0], rate[1]);
        const Signal32 input = makeNoise(2, 480, 7);
        const Signal32 output = converter.process(input);
        ASSERT_EQ(output.getNumOfChannels(), 2);
        ASSERT_GT(output.getNumOfSamples(), 20);

        for (int c = 0; c < 2; ++c)
        {
            const std::vector<double> expected =
                kernel.outputs(primedRow(input, c, kernel.centre), rate[0] / rate[1], output.getNumOfSamples());
            for (int m = 0; m < output.getNumOfSamples(); ++m)
                ASSERT_NEAR(output.getReadPointer(c)[m], expected[static_cast<std::size_t>(m)], 1e-6)
                    << "channel " << c << " sample " << m;
        }
    }
}

TEST(SampleRateConversion, EqualRatesDelayNothingAndCopySamples)
{
    SampleRateConversion converter;
    configure(converter, 1, 48000.0, 48000.0);
    EXPECT_EQ(converter.getNumOfTaps(), 72);
    EXPECT_EQ(converter.getLatency(0), 37);
    EXPECT_EQ(converter.getNumOfPendingSamples(), 36);

    const Signal32 input = makeNoise(1, 200, 3);
    // Shorter than N + 2 - h = 38 samples: nothing yet.
    EXPECT_FALSE(converter.process(slice(input, 0, 37)).hasStorage());
    EXPECT_EQ(converter.getNumOfPendingSamples(), 73);

    const Signal32 first = converter.process(slice(input, 37, 1));
    ASSERT_EQ(first.getNumOfSamples(), 1);
    EXPECT_EQ(first.getReadPointer(0)[0], input.getReadPointer(0)[0]);

    const Signal32 second = converter.process(slice(input, 38, 100));
    ASSERT_EQ(second.getNumOfSamples(), 100);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(second.getReadPointer(0)[i], input.getReadPointer(0)[1 + i]);

    SampleRateConversion fresh;
    configure(fresh, 1, 48000.0, 48000.0);
    const Signal32 whole = fresh.process(slice(input, 0, 100));
    ASSERT_EQ(whole.getNumOfSamples(), 100 - 37);
    for (int i = 0; i < whole.getNumOfSamples(); ++i)
        ASSERT_EQ(whole.getReadPointer(0)[i], input.getReadPointer(0)[i]);
}

TEST(SampleRateConversion, OutputCountsFollowThePendingInput)
{
    SampleRateConversion down;
    configure(down, 1, 48000.0, 16000.0);
    EXPECT_EQ(down.process(makeNoise(1, 480, 1)).getNumOfSamples(), 147); // trunc((36 + 480 - 73) / 3)
    EXPECT_EQ(down.getNumOfPendingSamples(), 36 + 480 - 3 * 147);

    SampleRateConversion up;
    configure(up, 1, 16000.0, 48000.0);
    EXPECT_EQ(up.getNumOfTaps(), 24);
    EXPECT_EQ(up.getLatency(0), 13);
    EXPECT_EQ(up.process(makeNoise(1, 480, 1)).getNumOfSamples(), 1401); // trunc((12 + 480 - 25) * 3)

    // Over a long stream the output count tracks the rate ratio.
    for (const auto& rate : {std::pair<double, double>{48000.0, 16000.0}, {16000.0, 48000.0}, {44100.0, 48000.0}})
    {
        SampleRateConversion converter;
        configure(converter, 1, rate.first, rate.second);
        const int numOfInputs = 44100;
        const auto output = runInBlocks(converter, makeNoise(1, numOfInputs, 2), {512});
        const double expected = numOfInputs * rate.second / rate.first;
        EXPECT_NEAR(static_cast<double>(output[0].size()), expected,
                    (converter.getNumOfTaps() + 2) * rate.second / rate.first + 1);
    }
}

TEST(SampleRateConversion, SettlesOnAConstant)
{
    for (const auto& rate : {std::pair<double, double>{16000.0, 48000.0}, {48000.0, 16000.0}, {44100.0, 48000.0}})
    {
        SCOPED_TRACE(testing::Message() << rate.first << " -> " << rate.second);
        SampleRateConversion converter;
        configure(converter, 1, rate.first, rate.second);
        Signal32 constant(1, 4000);
        for (int i = 0; i < 4000; ++i)
            constant.getWritePointer(0)[i] = 0.5f;
        const auto output = runInBlocks(converter, constant, {256});
        ASSERT_GT(output[0].size(), 200u);
        // Past the kernel's reach into the start-up silence, the output is the constant.
        const std::size_t settled =
            static_cast<std::size_t>(std::ceil(converter.getLatency(0) * rate.second / rate.first));
        for (std::size_t m = settled; m < output[0].size(); ++m)
            ASSERT_NEAR(output[0][m], 0.5f, 1e-6) << "sample " << m;
    }
}

TEST(SampleRateConversion, PassesTonesBelowTheCutoffAndRejectsTonesAbove)
{
    struct Case
    {
        double inputRate, outputRate, frequency;
        double limitDecibels; // error below the cut-off, output level above it
    };
    // The Gaussian window makes the transition band about 2 kHz wide below and above the
    // cut-off (95 % of the lower Nyquist frequency); the limits are set well clear of it.
    const Case cases[] = {{48000.0, 16000.0, 1000.0, -60.0},  {48000.0, 16000.0, 4000.0, -60.0},
                          {44100.0, 48000.0, 1000.0, -60.0},  {44100.0, 48000.0, 15000.0, -60.0},
                          {16000.0, 48000.0, 2000.0, -60.0},  {48000.0, 16000.0, 12000.0, -80.0},
                          {48000.0, 16000.0, 20000.0, -80.0}, {48000.0, 44100.0, 23800.0, -30.0}};
    for (const Case& test : cases)
    {
        SCOPED_TRACE(testing::Message() << test.inputRate << " -> " << test.outputRate << " at " << test.frequency);
        SampleRateConversion converter;
        configure(converter, 1, test.inputRate, test.outputRate);
        const int length = static_cast<int>(test.inputRate / 4);
        const auto output = runInBlocks(converter, makeSine(1, length, test.frequency, test.inputRate, 0.5), {480});
        const std::size_t start = 100;
        ASSERT_GT(output[0].size(), start + 1000);
        double errorEnergy = 0.0, signalEnergy = 0.0, outputEnergy = 0.0;
        for (std::size_t m = start; m < output[0].size(); ++m)
        {
            // Output sample m sits at input position m * step.
            const double ideal = 0.5 * std::sin(2.0 * pi * test.frequency * static_cast<double>(m) / test.outputRate);
            const double error = static_cast<double>(output[0][m]) - ideal;
            errorEnergy += error * error;
            signalEnergy += ideal * ideal;
            outputEnergy += static_cast<double>(output[0][m]) * static_cast<double>(output[0][m]);
        }
        if (test.frequency < 0.5 * std::min(test.inputRate, test.outputRate))
            EXPECT_LT(10.0 * std::log10(errorEnergy / signalEnergy), test.limitDecibels);
        else
            EXPECT_LT(10.0 * std::log10(outputEnergy / signalEnergy), test.limitDecibels);
    }
}

TEST(SampleRateConversion, StreamingGivesTheSameOutputForAnySplit)
{
    for (const auto& rate :
         {std::pair<double, double>{48000.0, 16000.0}, {16000.0, 48000.0}, {44100.0, 48000.0}, {48000.0, 48000.0}})
    {
        SCOPED_TRACE(testing::Message() << rate.first << " -> " << rate.second);
        const Signal32 input = makeNoise(2, 3000, 11);
        SampleRateConversion whole, irregular, single;
        configure(whole, 2, rate.first, rate.second);
        configure(irregular, 2, rate.first, rate.second);
        configure(single, 2, rate.first, rate.second);
        const auto reference = runInBlocks(whole, input, {3000});
        const auto split = runInBlocks(irregular, input, {1, 7, 300, 2, 64, 1000, 13});
        const auto bySample = runInBlocks(single, input, {1});
        for (std::size_t c = 0; c < 2; ++c)
        {
            // The count of complete outputs per call ignores the fractional read position, so at
            // the end of the input one output more or less may be out, depending on the split.
            const std::size_t common = std::min({reference[c].size(), split[c].size(), bySample[c].size()});
            EXPECT_LE(reference[c].size() - common, 1u);
            EXPECT_LE(split[c].size() - common, 1u);
            EXPECT_LE(bySample[c].size() - common, 1u);
            ASSERT_GT(common, 900u);
            // Exact when the read positions are exact (integer steps); otherwise the position's
            // rounding depends on where calls end, which shows only in the last bits.
            const bool exactSteps = rate.first == 48000.0;
            for (std::size_t m = 0; m < common; ++m)
            {
                if (exactSteps)
                {
                    ASSERT_EQ(split[c][m], reference[c][m]) << "sample " << m;
                    ASSERT_EQ(bySample[c][m], reference[c][m]) << "sample " << m;
                }
                ASSERT_NEAR(split[c][m], reference[c][m], 1e-6) << "sample " << m;
                ASSERT_NEAR(bySample[c][m], reference[c][m], 1e-6) << "sample " << m;
            }
        }
    }
}

TEST(SampleRateConversion, ChannelChangeDropsPendingInput)
{
    SampleRateConversion converter;
    configure(converter, 1, 48000.0, 16000.0);
    const ReferenceKernel kernel(48000.0, 16000.0);

    EXPECT_TRUE(converter.process(makeNoise(1, 30, 1)).isEmpty());
    EXPECT_EQ(converter.getNumOfPendingSamples(), 66);

    // The stereo block starts a new stream of its own, without the start-up silence, and the
    // output has the block's channel count although the format is mono.
    const Signal32 stereo = makeNoise(2, 200, 2);
    const Signal32 output = converter.process(stereo);
    ASSERT_EQ(output.getNumOfChannels(), 2);
    ASSERT_EQ(output.getNumOfSamples(), 42); // trunc((200 - 73) / 3)
    for (int c = 0; c < 2; ++c)
    {
        const auto expected = kernel.outputs(primedRow(stereo, c, 0), 3.0, 42);
        for (int m = 0; m < 42; ++m)
            ASSERT_NEAR(output.getReadPointer(c)[m], expected[static_cast<std::size_t>(m)], 1e-6);
    }

    // Back to one channel: the stereo remainder goes, only mono samples are ever read.
    const Signal32 mono = makeNoise(1, 120, 3);
    const Signal32 back = converter.process(mono);
    ASSERT_EQ(back.getNumOfChannels(), 1);
    EXPECT_EQ(back.getNumOfSamples(), 15); // trunc((120 - 73) / 3)
    const auto expected = kernel.outputs(primedRow(mono, 0, 0), 3.0, 15);
    for (int m = 0; m < back.getNumOfSamples(); ++m)
        EXPECT_NEAR(back.getReadPointer(0)[m], expected[static_cast<std::size_t>(m)], 1e-6);

    // A format of more channels than the blocks: the output keeps the blocks' count.
    SampleRateConversion wide;
    configure(wide, 4, 16000.0, 48000.0);
    const Signal32 narrow = wide.process(makeNoise(2, 100, 4));
    EXPECT_EQ(narrow.getNumOfChannels(), 2);
    EXPECT_GT(narrow.getNumOfSamples(), 0);
}

TEST(SampleRateConversion, SetFormatRejectsWhatItCannotConvert)
{
    SampleRateConversion converter;
    configure(converter, 2, 48000.0, 16000.0);
    converter.process(makeNoise(2, 10, 1));
    const int64_t pending = converter.getNumOfPendingSamples();

    EXPECT_FALSE(converter.setFormat(makeFormat(1, 48000.0), makeFormat(2, 16000.0)));
    EXPECT_FALSE(converter.setFormat(makeFormat(2, 0.0), makeFormat(2, 16000.0)));
    EXPECT_FALSE(converter.setFormat(makeFormat(2, 48000.0), makeFormat(2, -16000.0)));
    EXPECT_FALSE(converter.setFormat(makeFormat(2, std::numeric_limits<double>::quiet_NaN()), makeFormat(2, 16000.0)));
    EXPECT_FALSE(converter.setFormat(makeFormat(2, std::numeric_limits<double>::infinity()), makeFormat(2, 16000.0)));
    EXPECT_FALSE(converter.setFormat(makeFormat(2, 1e300), makeFormat(2, 16000.0)));

    EXPECT_EQ(converter.getInputFormat(), makeFormat(2, 48000.0));
    EXPECT_EQ(converter.getOutputFormat(), makeFormat(2, 16000.0));
    EXPECT_EQ(converter.getNumOfPendingSamples(), pending);
    EXPECT_EQ(converter.getNumOfTaps(), 72);

    // Setting the same formats again rebuilds and restarts.
    EXPECT_TRUE(converter.setFormat(makeFormat(2, 48000.0), makeFormat(2, 16000.0)));
    EXPECT_EQ(converter.getNumOfPendingSamples(), 36);
}

TEST(SampleRateConversion, EdgeCasesReportNothingAndKeepState)
{
    SampleRateConversion unconfigured;
    EXPECT_TRUE(unconfigured.process(makeNoise(1, 1000, 1)).isEmpty());
    EXPECT_EQ(unconfigured.getNumOfPendingSamples(), 0);
    unconfigured.updateSincTables();
    EXPECT_TRUE(unconfigured.process(makeNoise(1, 1000, 1)).isEmpty());
    EXPECT_EQ(unconfigured.calculateSubSampleValue(0, nullptr), 0.0);

    SampleRateConversion converter;
    configure(converter, 1, 48000.0, 16000.0);
    EXPECT_TRUE(converter.process(Signal32()).isEmpty());
    EXPECT_TRUE(converter.process(Signal32(1, 0)).isEmpty());
    EXPECT_TRUE(converter.process(Signal32(0, 10)).isEmpty());
    EXPECT_EQ(converter.getNumOfPendingSamples(), 36);

    // Reset returns to the primed start.
    const Signal32 input = makeNoise(1, 500, 5);
    const Signal32 first = converter.process(input);
    converter.process(makeNoise(1, 77, 6));
    converter.reset();
    const Signal32 again = converter.process(input);
    ASSERT_EQ(again.getNumOfSamples(), first.getNumOfSamples());
    for (int i = 0; i < first.getNumOfSamples(); ++i)
        ASSERT_EQ(again.getReadPointer(0)[i], first.getReadPointer(0)[i]);

    // Rates so low that the kernel has no taps still convert without reading outside the input.
    SampleRateConversion tiny;
    ASSERT_TRUE(tiny.setFormat(makeFormat(1, 200.0), makeFormat(1, 300.0)));
    EXPECT_EQ(tiny.getNumOfTaps(), 0);
    EXPECT_EQ(tiny.process(makeNoise(1, 10, 1)).getNumOfSamples(), 13);

    // The queued block is shared, not copied; the caller writing to it afterwards copies it.
    SampleRateConversion sharing;
    configure(sharing, 1, 48000.0, 16000.0);
    Signal32 block = makeNoise(1, 20, 8);
    sharing.process(block);
    EXPECT_EQ(block.getUseCount(), 2);
    block.getWritePointer(0)[0] = 100.0f;
    EXPECT_EQ(block.getUseCount(), 1);
}

TEST(SampleRateConversion, ResetFromAnotherThreadWhileProcessing)
{
    SampleRateConversion converter;
    configure(converter, 2, 44100.0, 48000.0);
    // Both sides do a fixed amount of work, so the test ends however the lock is scheduled.
    std::thread control(
        [&]
        {
            for (int i = 0; i < 200; ++i)
            {
                converter.reset();
                converter.setFormat(makeFormat(2, 44100.0), makeFormat(2, 48000.0));
                std::this_thread::yield();
            }
        });
    const Signal32 block = makeNoise(2, 256, 9);
    for (int i = 0; i < 300; ++i)
    {
        const Signal32 output = converter.process(block);
        if (!output.isEmpty())
        {
            EXPECT_EQ(output.getNumOfChannels(), 2);
            EXPECT_LE(output.getNumOfSamples(), 400);
        }
    }
    control.join();
}
