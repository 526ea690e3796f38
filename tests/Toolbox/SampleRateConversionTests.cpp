#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "Toolbox/SampleRateConversion.h"

using namespace murel;
using namespace murel::test;

namespace
{

constexpr int resolution = 64;

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

Signal32 makeSignal(int channels, int samples, const std::function<float(int i)>& value)
{
    Signal32 signal(channels, samples);
    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < samples; ++i)
            signal.getWritePointer(c)[i] = value(i);
    return signal;
}

// One row per channel, every output of the stream in order.
std::vector<std::vector<float>> runInBlocks(SampleRateConversion& converter, const Signal32& input,
                                            const std::vector<int>& blockSizes)
{
    std::vector<std::vector<float>> output(static_cast<std::size_t>(input.getNumOfChannels()));
    for (int start = 0, next = 0; start < input.getNumOfSamples(); ++next)
    {
        const int length =
            std::min(blockSizes[static_cast<std::size_t>(next) % blockSizes.size()], input.getNumOfSamples() - start);
        const Signal32 result = converter.process(slice(input, start, length));
        start += length;
        if (result.isEmpty())
            continue;
        EXPECT_EQ(result.getNumOfChannels(), input.getNumOfChannels());
        for (int c = 0; c < result.getNumOfChannels(); ++c)
            output[static_cast<std::size_t>(c)].insert(output[static_cast<std::size_t>(c)].end(),
                                                       result.getReadPointer(c),
                                                       result.getReadPointer(c) + result.getNumOfSamples());
    }
    return output;
}

// Every output sample against the formula, for a stream of numOfZeros priming zeros followed
// by the input, read from position 0 in steps of step input samples.
void expectKernelOutputs(const Signal32& output, const ReferenceKernel& kernel, const Signal32& input, int numOfZeros,
                         double step)
{
    for (int c = 0; c < output.getNumOfChannels(); ++c)
    {
        std::vector<double> row(static_cast<std::size_t>(numOfZeros), 0.0);
        row.insert(row.end(), input.getReadPointer(c), input.getReadPointer(c) + input.getNumOfSamples());
        const std::vector<double> expected = kernel.outputs(row, step, output.getNumOfSamples());
        for (int m = 0; m < output.getNumOfSamples(); ++m)
            ASSERT_NEAR(output.getReadPointer(c)[m], expected[static_cast<std::size_t>(m)], 1e-6)
                << "channel " << c << " sample " << m;
    }
}

} // namespace

TEST(SampleRateConversion, TableAndOutputSamplesFollowTheKernelFormula)
{
    const double rates[][2] = {{48000.0, 16000.0}, {16000.0, 48000.0}, {44100.0, 48000.0}, {48000.0, 44100.0}};
    const int expectedTaps[] = {72, 24, 66, 72};
    for (int r = 0; r < 4; ++r)
    {
        SCOPED_TRACE(testing::Message() << rates[r][0] << " -> " << rates[r][1]);
        SampleRateConversion converter;
        configure(converter, 2, rates[r][0], rates[r][1]);
        const ReferenceKernel kernel(rates[r][0], rates[r][1]);
        ASSERT_EQ(kernel.numOfTaps, expectedTaps[r]);
        ASSERT_EQ(converter.getNumOfTaps(), expectedTaps[r]);
        EXPECT_EQ(converter.getDirectPhase(), -1);
        EXPECT_EQ(converter.getLatency(512), expectedTaps[r] / 2 + 1);

        const Signal64 table = converter.getSincTable();
        ASSERT_EQ(table.getNumOfChannels(), resolution);
        ASSERT_EQ(table.getNumOfSamples(), expectedTaps[r]);
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

        const Signal32 input = makeNoise(2, 480, 7);
        const Signal32 output = converter.process(input);
        ASSERT_EQ(output.getNumOfChannels(), 2);
        ASSERT_GT(output.getNumOfSamples(), 20);
        expectKernelOutputs(output, kernel, input, kernel.centre, rates[r][0] / rates[r][1]);
    }
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
}

TEST(SampleRateConversion, OutputCountsFollowThePendingInput)
{
    SampleRateConversion down;
    configure(down, 1, 48000.0, 16000.0);
    EXPECT_EQ(down.process(makeNoise(1, 480, 1)).getNumOfSamples(), 147); // trunc((36 + 480 - 73) / 3)
    EXPECT_EQ(down.getNumOfPendingSamples(), 36 + 480 - 3 * 147);

    SampleRateConversion up;
    configure(up, 1, 16000.0, 48000.0);
    EXPECT_EQ(up.getLatency(0), 13);
    EXPECT_EQ(up.process(makeNoise(1, 480, 1)).getNumOfSamples(), 1401); // trunc((12 + 480 - 25) * 3)
}

TEST(SampleRateConversion, LongStreamsSettleOnAConstantAndTrackTheRateRatio)
{
    for (const auto& rate : {std::pair<double, double>{16000.0, 48000.0}, {48000.0, 16000.0}, {44100.0, 48000.0}})
    {
        SCOPED_TRACE(testing::Message() << rate.first << " -> " << rate.second);
        SampleRateConversion converter;
        configure(converter, 1, rate.first, rate.second);
        const auto output = runInBlocks(converter, makeSignal(1, 44100, [](int) { return 0.5f; }), {512});
        EXPECT_NEAR(static_cast<double>(output[0].size()), 44100 * rate.second / rate.first,
                    (converter.getNumOfTaps() + 2) * rate.second / rate.first + 1);
        // Past the kernel's reach into the start-up silence, the output is the constant.
        const auto settled = static_cast<std::size_t>(std::ceil(converter.getLatency(0) * rate.second / rate.first));
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
        const auto output = runInBlocks(
            converter,
            makeSignal(1, length,
                       [&test](int i)
                       { return static_cast<float>(0.5 * std::sin(2.0 * pi * test.frequency * i / test.inputRate)); }),
            {480});
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
        SampleRateConversion whole;
        configure(whole, 2, rate.first, rate.second);
        const auto reference = runInBlocks(whole, input, {3000});
        for (const std::vector<int>& split : {std::vector<int>{1, 7, 300, 2, 64, 1000, 13}, std::vector<int>{1}})
        {
            SampleRateConversion converter;
            configure(converter, 2, rate.first, rate.second);
            const auto output = runInBlocks(converter, input, split);
            for (std::size_t c = 0; c < 2; ++c)
            {
                // The count of complete outputs per call ignores the fractional read position, so
                // at the end of the input one output more or less may be out, depending on the split.
                const std::size_t common = std::min(reference[c].size(), output[c].size());
                ASSERT_GT(common, 900u);
                EXPECT_LE(std::max(reference[c].size(), output[c].size()) - common, 1u);
                // Exact when the read positions are exact (integer steps); otherwise the position's
                // rounding depends on where calls end, which shows only in the last bits.
                const double tolerance = rate.first == 48000.0 ? 0.0 : 1e-6;
                for (std::size_t m = 0; m < common; ++m)
                    ASSERT_NEAR(output[c][m], reference[c][m], tolerance) << "sample " << m;
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
    expectKernelOutputs(output, kernel, stereo, 0, 3.0);

    // Back to one channel: the stereo remainder goes, only mono samples are ever read.
    const Signal32 mono = makeNoise(1, 120, 3);
    const Signal32 back = converter.process(mono);
    ASSERT_EQ(back.getNumOfChannels(), 1);
    EXPECT_EQ(back.getNumOfSamples(), 15); // trunc((120 - 73) / 3)
    expectKernelOutputs(back, kernel, mono, 0, 3.0);

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
    EXPECT_FALSE(converter.setFormat(makeFormat(2, 48000.0), makeFormat(2, -16000.0)));
    for (double rate : {0.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(), 1e300})
        EXPECT_FALSE(converter.setFormat(makeFormat(2, rate), makeFormat(2, 16000.0))) << rate;

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
    unconfigured.updateSincTables();
    EXPECT_TRUE(unconfigured.process(makeNoise(1, 1000, 1)).isEmpty());
    EXPECT_EQ(unconfigured.getNumOfPendingSamples(), 0);
    EXPECT_EQ(unconfigured.calculateSubSampleValue(0, nullptr), 0.0);

    SampleRateConversion converter;
    configure(converter, 1, 48000.0, 16000.0);
    for (const Signal32& nothing : {Signal32(), Signal32(1, 0), Signal32(0, 10)})
        EXPECT_TRUE(converter.process(nothing).isEmpty());
    EXPECT_EQ(converter.getNumOfPendingSamples(), 36);

    // Reset returns to the primed start.
    const Signal32 input = makeNoise(1, 500, 5);
    const Signal32 first = converter.process(input);
    converter.process(makeNoise(1, 77, 6));
    converter.reset();
    const Signal32 again = converter.process(input);
    ASSERT_EQ(again.getNumOfSamples(), first.getNumOfSamples());
    EXPECT_TRUE(std::equal(first.getReadPointer(0), first.getReadPointer(0) + first.getNumOfSamples(),
                           again.getReadPointer(0)));

    // Rates so low that the kernel has no taps still convert without reading outside the input.
    SampleRateConversion tiny;
    ASSERT_TRUE(tiny.setFormat(makeFormat(1, 200.0), makeFormat(1, 300.0)));
    EXPECT_EQ(tiny.getNumOfTaps(), 0);
    EXPECT_EQ(tiny.process(makeNoise(1, 10, 1)).getNumOfSamples(), 13);
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
