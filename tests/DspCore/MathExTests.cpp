#include <gtest/gtest.h>

#include <cmath>

#include "DspCore/MathEx.h"

using namespace murel;

TEST(MathEx, DecibelConversions)
{
    EXPECT_EQ(MathEx::toDecibel(1.0f), 0.0f);
    EXPECT_TRUE(std::isinf(MathEx::toDecibel(0.0f)));
    EXPECT_EQ(MathEx::toDecibel(0.0f, -96.0f), -96.0f);
    EXPECT_EQ(MathEx::toDecibel(0.00001f, -96.0f), -96.0f);
    EXPECT_EQ(MathEx::toDecibel(-1.0f, -96.0f), -96.0f);
    EXPECT_NEAR(MathEx::toDecibel(0.5f, -96.0f), -6.0206f, 1e-4f);
    EXPECT_NEAR(MathEx::fromDecibel(-6.0f), 0.501187f, 1e-6f);
    EXPECT_NEAR(MathEx::fromDecibel(MathEx::toDecibel(0.123f)), 0.123f, 1e-6f);
}

TEST(MathEx, PowersOfTwoAndLogarithm)
{
    EXPECT_EQ(MathEx::findLargerPowerOfTwo(-5), 1);
    EXPECT_EQ(MathEx::findLargerPowerOfTwo(1), 1);
    EXPECT_EQ(MathEx::findLargerPowerOfTwo(3), 4);
    EXPECT_EQ(MathEx::findLargerPowerOfTwo(1000), 1024);
    EXPECT_EQ(MathEx::findLargerPowerOfTwo(1024), 1024);
    EXPECT_EQ(MathEx::findNearestPowerOfTwo(0), 0);
    EXPECT_EQ(MathEx::findNearestPowerOfTwo(768), 512);
    EXPECT_EQ(MathEx::findNearestPowerOfTwo(769), 1024);
    const int expectedLog[] = {0, 0, 1, 1, 2, 2, 2, 2, 3};
    for (int n = 0; n <= 8; ++n)
        EXPECT_EQ(MathEx::log2(n), expectedLog[n]) << n;
    EXPECT_EQ(MathEx::log2(1023), 9);
    EXPECT_EQ(MathEx::log2(1024), 10);
}

TEST(MathEx, RoundingAndRemainder)
{
    EXPECT_EQ(MathEx::roundToInt64(2.5), 3);
    EXPECT_EQ(MathEx::roundToInt64(-2.5), -3);
    EXPECT_EQ(MathEx::roundToInt64(0.0), 0);
    EXPECT_EQ(MathEx::roundToInt64(2.4999), 2);
    EXPECT_EQ(murel::remainder(-1.0f, 3.0f), 2.0f);
    EXPECT_EQ(murel::remainder(1.0f, -3.0f), -2.0f);
    EXPECT_EQ(murel::remainder(7.5f, 2.0f), 1.5f);
    EXPECT_EQ(murel::remainder(4.0f, 0.0f), 4.0f);
}

TEST(MathEx, PhaseWrapping)
{
    const float pi = 3.14159265f;
    EXPECT_NEAR(MathEx::toMinusPiToPi(1.5f * pi), -0.5f * pi, 1e-6f);
    EXPECT_NEAR(MathEx::toMinusPiToPi(-1.5f * pi), 0.5f * pi, 1e-6f);
    EXPECT_NEAR(MathEx::toMinusPiToPi(0.25f), 0.25f, 1e-7f);
    EXPECT_NEAR(MathEx::toMinusPiToPi(100.0f), static_cast<float>(std::remainder(100.0, 2.0 * M_PI)), 1e-5f);
}

TEST(MathEx, ReverbTimeAndGainAreInverse)
{
    const float gain = MathEx::reverbTimeToGain(2.0f, 0.1f);
    EXPECT_NEAR(gain, std::pow(10.0f, -0.15f), 1e-6f);
    EXPECT_NEAR(MathEx::gainToReverbTime(gain, 0.1f), 2.0f, 1e-4f);
}
