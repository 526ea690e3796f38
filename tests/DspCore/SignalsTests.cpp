#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <thread>
#include <vector>

#include "DspCore/Signals.h"

using namespace murel;

namespace
{

template <typename SignalType>
void fillRamp(SignalType& signal, float offset)
{
    using T = typename SignalType::SampleType;
    for (int c = 0; c < signal.getNumOfChannels(); ++c)
        for (int i = 0; i < signal.getNumOfSamples(); ++i)
            signal.getWritePointer(c)[i] = T(static_cast<float>(c * 1000 + i) + offset);
}

template <typename SignalType>
void expectLayout(int channels, int samples, int expectedStride)
{
    SCOPED_TRACE(testing::Message() << sizeof(typename SignalType::SampleType) << "-byte samples, " << channels << " x "
                                    << samples);
    SignalType signal(channels, samples);
    EXPECT_EQ(signal.getStride(), expectedStride);
    for (int c = 0; c < channels; ++c)
    {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(signal.getReadPointer(c)) % 64, 0u) << "row " << c;
        EXPECT_EQ(signal.getReadPointer(c) - signal.getReadPointer(0), c * expectedStride);
    }
}

} // namespace

TEST(Signals, RowsAre64ByteAlignedAndPaddedForEverySampleType)
{
    expectLayout<Signal32>(2, 5, 16);
    expectLayout<Signal32>(3, 16, 16);
    expectLayout<Signal32>(3, 17, 32);
    expectLayout<Signal64>(3, 5, 8);
    expectLayout<Signal64>(2, 9, 16);
    expectLayout<ComplexSignal32>(1, 9, 16);
    expectLayout<ComplexSignal32>(4, 3, 8);
    expectLayout<ComplexSignal64>(1, 5, 8);
    expectLayout<ComplexSignal64>(3, 4, 4);
    EXPECT_EQ(Signal32(2, 0).getStride(), 0);

    EXPECT_FALSE(Signal32::empty.hasStorage());
    EXPECT_EQ(Signal64::empty.getNumOfChannels(), 0);
    EXPECT_EQ(ComplexSignal32::empty.getNumOfSamples(), 0);
    EXPECT_TRUE(ComplexSignal64::empty.isEmpty());
}

TEST(Signals, CopiesShareStorageUntilOneIsWritten)
{
    Signal32 a(2, 20);
    fillRamp(a, 0.0f);
    Signal32 b = a;
    EXPECT_EQ(a.getReadPointer(0), b.getReadPointer(0));
    EXPECT_EQ(a.getUseCount(), 2);

    b.getWritePointer(1)[3] = -1.0f;
    EXPECT_NE(a.getReadPointer(0), b.getReadPointer(0));
    EXPECT_EQ(a.getReadPointer(1)[3], 1003.0f);
    EXPECT_EQ(b.getReadPointer(1)[3], -1.0f);
    EXPECT_EQ(b.getReadPointer(0)[7], 7.0f) << "the copy keeps the other rows";

    const float* before = a.getReadPointer(0);
    a.getWritePointer(0)[0] = 5.0f;
    EXPECT_EQ(a.getReadPointer(0), before) << "an unshared signal is written in place";

    // Writable channel pointers make the storage unique as well.
    Signal64 signal(3, 10);
    const Signal64 shared = signal;
    auto& pointers = signal.getChannelPointers();
    ASSERT_EQ(pointers.size(), 3u);
    EXPECT_NE(pointers[0], shared.getReadPointer(0));
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(pointers[static_cast<std::size_t>(c)], signal.getReadPointer(c));
}

TEST(Signals, CopyOnWriteIsolatesCopiesWrittenOnOtherThreads)
{
    Signal32 original(4, 1000);
    fillRamp(original, 0.0f);
    std::vector<Signal32> copies(4, original);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(
            [&copies, t]
            {
                for (int repeat = 0; repeat < 50; ++repeat)
                {
                    Signal32 local = copies[static_cast<std::size_t>(t)];
                    float* row = local.getWritePointer(t);
                    for (int i = 0; i < local.getNumOfSamples(); ++i)
                        row[i] = static_cast<float>(-t - 1);
                    copies[static_cast<std::size_t>(t)] = local;
                }
            });
    for (auto& thread : threads)
        thread.join();
    for (int c = 0; c < 4; ++c)
        for (int i = 0; i < 1000; ++i)
            ASSERT_EQ(original.getReadPointer(c)[i], static_cast<float>(c * 1000 + i));
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(copies[static_cast<std::size_t>(t)].getReadPointer(t)[999], static_cast<float>(-t - 1));
}

TEST(Signals, ConversionsKeepSamples)
{
    Signal32 a(3, 37);
    fillRamp(a, 0.25f);
    const Signal32 back = a.toSignal64().toSignal32();
    const auto channels = a.toVectorOfChannels();
    ASSERT_EQ(channels.size(), 3u);
    for (int c = 0; c < 3; ++c)
    {
        ASSERT_EQ(channels[static_cast<std::size_t>(c)].getNumOfChannels(), 1);
        for (int i = 0; i < 37; ++i)
        {
            EXPECT_EQ(back.getReadPointer(c)[i], a.getReadPointer(c)[i]);
            EXPECT_EQ(channels[static_cast<std::size_t>(c)].getReadPointer(0)[i], a.getReadPointer(c)[i]);
        }
    }
    EXPECT_TRUE(Signal32(0, 5).toVectorOfChannels().empty());

    ComplexSignal64 wide(1, 3);
    wide.getWritePointer(0)[2] = {1.0 / 3.0, -2.0};
    const ComplexSignal32 narrow = wide.toComplexSignal32();
    EXPECT_EQ(narrow.getReadPointer(0)[2], std::complex<float>(1.0f / 3.0f, -2.0f));
    EXPECT_EQ(narrow.toComplexSignal64().getReadPointer(0)[2].imag(), -2.0);
}

TEST(Signals, ComplexScalingMatchesComplexProduct)
{
    ComplexSignal32 spectrum(2, 7);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < 7; ++i)
            spectrum.getWritePointer(c)[i] = {static_cast<float>(i) - 3.0f, static_cast<float>(c + 1)};
    spectrum.getWritePointer(1)[4] = {INFINITY, 0.0f};
    const std::complex<float> factor(0.5f, -2.0f);
    const ComplexSignal32 scaled = spectrum * factor;
    ASSERT_EQ(scaled.getNumOfSamples(), 7);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < 7; ++i)
        {
            const std::complex<float> expected = spectrum.getReadPointer(c)[i] * factor;
            const std::complex<float> actual = scaled.getReadPointer(c)[i];
            if (std::isfinite(expected.real()))
                EXPECT_LT(std::abs(actual - expected), 1e-5f);
            else
                EXPECT_TRUE(std::isinf(actual.real()));
        }
}

TEST(Signals, ResizeViewReusesLargerStorage)
{
    ComplexSignal32 scratch(2, 64);
    const auto* storage = scratch.getReadPointer(0);
    scratch.resizeView(1, 32);
    EXPECT_EQ(scratch.getReadPointer(0), storage);
    EXPECT_EQ(scratch.getNumOfSamples(), 32);
    EXPECT_EQ(scratch.getStride(), 64);
    scratch.resizeView(2, 128);
    EXPECT_NE(scratch.getData()->numOfSamples, 64);
}
