#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "DspCore/WindowFunctions.h"

using namespace murel;

namespace
{

constexpr double pi = 3.14159265358979323846;

void expectWindow(const Signal32& window, int numOfChannels, int numOfSamples,
                  const std::function<double(int)>& formula)
{
    ASSERT_EQ(window.getNumOfChannels(), numOfChannels);
    ASSERT_EQ(window.getNumOfSamples(), numOfSamples);
    for (int c = 0; c < numOfChannels; ++c)
        for (int n = 0; n < numOfSamples; ++n)
            ASSERT_EQ(window.getReadPointer(c)[n], static_cast<float>(formula(n))) << "channel " << c << " n " << n;
}

double cell(int n, int length)
{
    return 2.0 * pi * (n + 0.5) / length;
}

/** Dolph-Chebyshev window evaluated by its defining frequency-sampling sum. */
std::vector<double> referenceDolphChebyshev(int length, double ratio)
{
    const int order = length - 1;
    const double x0 = std::cosh(std::acosh(ratio) / order);
    std::vector<double> window(static_cast<std::size_t>(length));
    for (int n = 0; n < length; ++n)
    {
        double sum = 0.0;
        for (int k = 1; k <= order / 2; ++k)
        {
            const double y = x0 * std::cos(k * pi / length);
            const double t = std::abs(y) <= 1.0 ? std::cos(order * std::acos(y)) : std::cosh(order * std::acosh(y));
            sum += t * std::cos(2.0 * pi * k * (n - order / 2) / length);
        }
        window[static_cast<std::size_t>(n)] = 2.0 * sum + ratio;
    }
    return window;
}

} // namespace

TEST(WindowFunctions, CosineSumsAndVorbisMatchTheirFormulas)
{
    for (int length : {1, 2, 5, 64, 1000})
    {
        expectWindow(WindowFunctions::generateHannWindow(2, length), 2, length,
                     [=](int n) { return 0.5 - 0.5 * std::cos(cell(n, length)); });
        expectWindow(WindowFunctions::generateHammingWindow(1, length), 1, length,
                     [=](int n) { return 0.54 - 0.46 * std::cos(cell(n, length)); });
        expectWindow(WindowFunctions::generateSqrtHannWindow(3, length), 3, length,
                     [=](int n) { return std::sqrt(0.5 - 0.5 * std::cos(cell(n, length))); });
        expectWindow(WindowFunctions::generateVorbisWindow(1, length), 1, length,
                     [=](int n)
                     {
                         const double s = std::sin((n + 0.5) * pi / length);
                         return std::sin(pi / 2 * s * s);
                     });
        expectWindow(WindowFunctions::generateBlackmanWindow(1, length), 1, length,
                     [=](int n)
                     {
                         const double x = cell(n, length);
                         return 0.3635819 - 0.4891775 * std::cos(x) + 0.1365995 * std::cos(2 * x) -
                                0.0106411 * std::cos(3 * x);
                     });
        expectWindow(WindowFunctions::generateFlatTopWindow(1, length), 1, length,
                     [=](int n)
                     {
                         const double x = cell(n, length);
                         return 0.21557895 - 0.41663158 * std::cos(x) + 0.277263158 * std::cos(2 * x) -
                                0.083578947 * std::cos(3 * x) + 0.006947368 * std::cos(4 * x);
                     });
    }
}

TEST(WindowFunctions, HannOfLengthFour)
{
    const Signal32 hann = WindowFunctions::generateHannWindow(1, 4);
    const float* w = hann.getReadPointer(0);
    EXPECT_NEAR(w[0], 0.1464466f, 1e-6f);
    EXPECT_NEAR(w[1], 0.8535534f, 1e-6f);
    EXPECT_NEAR(w[2], 0.8535534f, 1e-6f);
    EXPECT_NEAR(w[3], 0.1464466f, 1e-6f);
}

TEST(WindowFunctions, CentreSampledWindowsAreSymmetricWithoutZeros)
{
    for (int length : {7, 8, 256})
        for (const Signal32& window :
             {WindowFunctions::generateHannWindow(1, length), WindowFunctions::generateSqrtHannWindow(1, length),
              WindowFunctions::generateVorbisWindow(1, length), WindowFunctions::generateBlackmanWindow(1, length)})
        {
            const float* w = window.getReadPointer(0);
            for (int n = 0; n < length; ++n)
            {
                EXPECT_NEAR(w[n], w[length - 1 - n], 1e-6f);
                EXPECT_GT(w[n], 0.0f);
            }
        }
}

TEST(WindowFunctions, OverlapAddSumsToOne)
{
    for (int hop : {1, 2, 64, 512})
    {
        const int length = 2 * hop;
        const Signal32 hann = WindowFunctions::generateHannWindow(1, length);
        const Signal32 sqrtHann = WindowFunctions::generateSqrtHannWindow(1, length);
        const Signal32 vorbis = WindowFunctions::generateVorbisWindow(1, length);
        for (int n = 0; n < hop; ++n)
        {
            EXPECT_NEAR(hann.getReadPointer(0)[n] + hann.getReadPointer(0)[n + hop], 1.0f, 2e-7f);
            const float a = sqrtHann.getReadPointer(0)[n];
            const float b = sqrtHann.getReadPointer(0)[n + hop];
            EXPECT_NEAR(a * a + b * b, 1.0f, 4e-7f);
            // The Vorbis window is power complementary as well.
            const float v = vorbis.getReadPointer(0)[n];
            const float u = vorbis.getReadPointer(0)[n + hop];
            EXPECT_NEAR(v * v + u * u, 1.0f, 4e-7f);
        }
    }
}

TEST(WindowFunctions, GaussianSymmetryFacts)
{
    const float sigma = 0.4f;
    for (int length : {8, 64})
    {
        const Signal32 window = WindowFunctions::generateGaussianWindow(1, length, sigma);
        const float* w = window.getReadPointer(0);
        EXPECT_EQ(w[length / 2], 1.0f);
        EXPECT_NE(w[0], w[length - 1]);
        for (int n = 1; n < length / 2; ++n)
            EXPECT_EQ(w[length / 2 - n], w[length / 2 + n]);
        const double c = 0.5 * length;
        for (int n = 0; n < length; ++n)
        {
            const double t = (n - c) / (static_cast<double>(sigma) * c);
            EXPECT_EQ(w[n], static_cast<float>(std::exp(-0.5 * t * t)));
        }
    }
    for (int length : {7, 63})
    {
        const Signal32 window = WindowFunctions::generateGaussianWindow(2, length, sigma);
        const float* w = window.getReadPointer(1);
        for (int n = 0; n < length; ++n)
            EXPECT_LT(w[n], 1.0f);
        EXPECT_EQ(w[(length - 1) / 2], w[(length + 1) / 2]);
    }

    // A zero width is the limit of narrowing windows.
    const Signal32 spike = WindowFunctions::generateGaussianWindow(1, 8, 0.0f);
    for (int n = 0; n < 8; ++n)
        EXPECT_EQ(spike.getReadPointer(0)[n], n == 4 ? 1.0f : 0.0f);
}

TEST(WindowFunctions, DolphChebyshev)
{
    for (int length : {1, 2})
    {
        const Signal32 window = WindowFunctions::generateDolphChebyshevWindow(2, length, 100.0f);
        ASSERT_EQ(window.getNumOfSamples(), length);
        for (int c = 0; c < 2; ++c)
            for (int n = 0; n < length; ++n)
                EXPECT_EQ(window.getReadPointer(c)[n], 100.0f);
    }

    // Odd lengths: the frequency-sampling sum itself, and its defining property, equal
    // sidelobes at 1 / attenuation of the main lobe.
    for (int length : {3, 9, 33, 101})
    {
        const double ratio = 1000.0;
        const Signal32 window = WindowFunctions::generateDolphChebyshevWindow(1, length, static_cast<float>(ratio));
        const std::vector<double> expected = referenceDolphChebyshev(length, ratio);
        const float* w = window.getReadPointer(0);
        for (int n = 0; n < length; ++n)
        {
            const double e = expected[static_cast<std::size_t>(n)];
            EXPECT_NEAR(w[n], e, 1e-6 * std::abs(e) + 1e-9 * length * ratio) << "N " << length << " n " << n;
            EXPECT_NEAR(w[n], w[length - 1 - n], 1e-5f * std::abs(w[n]));
        }
        if (length < 9)
            continue;

        // Response on a fine grid: main lobe at 0, every sidelobe at most 1/ratio of it.
        const int order = length - 1;
        const double x0 = std::cosh(std::acosh(ratio) / order);
        const double edge = 2.0 * std::acos(1.0 / x0); // first null, radians per sample
        const auto response = [&](double omega)
        {
            double re = 0.0, im = 0.0;
            for (int n = 0; n < length; ++n)
            {
                re += static_cast<double>(w[n]) * std::cos(omega * n);
                im -= static_cast<double>(w[n]) * std::sin(omega * n);
            }
            return std::hypot(re, im);
        };
        const double mainLobe = response(0.0);
        double largestSidelobe = 0.0;
        for (int i = 0; i <= 2000; ++i)
        {
            const double omega = edge + (pi - edge) * i / 2000.0;
            largestSidelobe = std::max(largestSidelobe, response(omega));
        }
        EXPECT_NEAR(mainLobe / largestSidelobe, ratio, 0.01 * ratio) << "N " << length;
        // Not normalised: the peak is about N times that of the unit-peak form.
        EXPECT_GT(w[order / 2], 0.5 * length);
    }

    // Even lengths: the sum is centred on the integer (N - 2) / 2 and mirrored from its first
    // half, so the two middle samples are equal and a length of 4 is flat.
    for (int length : {4, 32})
    {
        const Signal32 window = WindowFunctions::generateDolphChebyshevWindow(1, length, 1000.0f);
        const std::vector<double> formula = referenceDolphChebyshev(length, 1000.0);
        const float* w = window.getReadPointer(0);
        for (int n = 0; n < length / 2 - 1; ++n)
            EXPECT_NEAR(w[n], formula[static_cast<std::size_t>(n)],
                        1e-6 * std::abs(formula[static_cast<std::size_t>(n)]) + 1e-3);
        EXPECT_NEAR(w[length / 2 - 1], formula[static_cast<std::size_t>(length / 2)], 1e-3);
        for (int n = 0; n < length; ++n)
            EXPECT_EQ(w[n], w[length - 1 - n]);
    }
    const Signal32 four = WindowFunctions::generateDolphChebyshevWindow(1, 4, 1000.0f);
    for (int n = 0; n < 4; ++n)
        EXPECT_NEAR(four.getReadPointer(0)[n], 1000.0f, 1e-3f);

    // Three points by hand: x0 = cosh(acosh(r) / 2), one term k = 1 with T2(y) = 2 y^2 - 1.
    const double r = 10.0;
    const double x0 = std::cosh(std::acosh(r) / 2.0);
    const double y = x0 * std::cos(pi / 3.0);
    const double t2 = 2.0 * y * y - 1.0;
    const Signal32 three = WindowFunctions::generateDolphChebyshevWindow(1, 3, static_cast<float>(r));
    EXPECT_NEAR(three.getReadPointer(0)[1], 2.0 * t2 + r, 1e-5);
    EXPECT_NEAR(three.getReadPointer(0)[0], 2.0 * t2 * std::cos(-2.0 * pi / 3.0) + r, 1e-5);
    EXPECT_EQ(three.getReadPointer(0)[0], three.getReadPointer(0)[2]);

    // Ratios below 1 are taken as 1 instead of producing NaN.
    const Signal32 low = WindowFunctions::generateDolphChebyshevWindow(1, 16, 0.5f);
    const Signal32 unit = WindowFunctions::generateDolphChebyshevWindow(1, 16, 1.0f);
    for (int n = 0; n < 16; ++n)
    {
        EXPECT_TRUE(std::isfinite(low.getReadPointer(0)[n]));
        EXPECT_EQ(low.getReadPointer(0)[n], unit.getReadPointer(0)[n]);
    }
}

TEST(WindowFunctions, ChannelsAndEmptyLengths)
{
    const Signal32 three = WindowFunctions::generateHammingWindow(3, 33);
    ASSERT_EQ(three.getNumOfChannels(), 3);
    for (int c = 1; c < 3; ++c)
        for (int n = 0; n < 33; ++n)
            EXPECT_EQ(three.getReadPointer(c)[n], three.getReadPointer(0)[n]);

    for (int length : {0, -3})
    {
        const Signal32 none = WindowFunctions::generateHannWindow(2, length);
        EXPECT_EQ(none.getNumOfChannels(), 2);
        EXPECT_EQ(none.getNumOfSamples(), 0);
        EXPECT_EQ(WindowFunctions::generateDolphChebyshevWindow(1, length, 100.0f).getNumOfSamples(), 0);
        EXPECT_EQ(WindowFunctions::generateGaussianWindow(1, length, 0.5f).getNumOfSamples(), 0);
    }
    for (int channels : {0, -1})
    {
        EXPECT_EQ(WindowFunctions::generateHannWindow(channels, 16).getNumOfChannels(), 0);
        EXPECT_EQ(WindowFunctions::generateHannWindow(channels, 16).getNumOfSamples(), 0);
        EXPECT_EQ(WindowFunctions::generateDolphChebyshevWindow(channels, 16, 10.0f).getNumOfSamples(), 0);
    }
}
