#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "DspCore/WindowFunctions.h"

using namespace murel;

namespace
{

constexpr double pi = 3.14159265358979323846;

// Every row of window equals formula(n) rounded to float.
void expectWindow(const Signal32& window, int numOfChannels, int numOfSamples,
                  const std::function<double(int)>& formula)
{
    ASSERT_EQ(window.getNumOfChannels(), numOfChannels);
    ASSERT_EQ(window.getNumOfSamples(), numOfSamples);
    for (int c = 0; c < numOfChannels; ++c)
        for (int n = 0; n < numOfSamples; ++n)
            ASSERT_EQ(window.getReadPointer(c)[n], static_cast<float>(formula(n))) << "channel " << c << " n " << n;
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
        SCOPED_TRACE(testing::Message() << "N = " << length);
        // Sampled at the centres of N cells spanning one period.
        const auto cosines = [length](std::vector<double> a)
        {
            return [length, a](int n)
            {
                double sum = 0.0;
                for (std::size_t k = 0; k < a.size(); ++k)
                    sum += a[k] * std::cos(static_cast<double>(k) * 2.0 * pi * (n + 0.5) / length);
                return sum;
            };
        };
        expectWindow(WindowFunctions::generateHannWindow(2, length), 2, length, cosines({0.5, -0.5}));
        expectWindow(WindowFunctions::generateHammingWindow(1, length), 1, length, cosines({0.54, -0.46}));
        expectWindow(WindowFunctions::generateSqrtHannWindow(3, length), 3, length,
                     [&](int n) {
                         return std::sqrt(cosines({0.5, -0.5})(n));
                     });
        expectWindow(WindowFunctions::generateBlackmanWindow(1, length), 1, length,
                     cosines({0.3635819, -0.4891775, 0.1365995, -0.0106411}));
        expectWindow(WindowFunctions::generateFlatTopWindow(1, length), 1, length,
                     cosines({0.21557895, -0.41663158, 0.277263158, -0.083578947, 0.006947368}));
        expectWindow(WindowFunctions::generateVorbisWindow(1, length), 1, length,
                     [=](int n)
                     {
                         const double s = std::sin((n + 0.5) * pi / length);
                         return std::sin(pi / 2 * s * s);
                     });
    }
}

TEST(WindowFunctions, OverlapAddSumsToOne)
{
    for (int hop : {1, 2, 64, 512})
    {
        const Signal32 hann = WindowFunctions::generateHannWindow(1, 2 * hop);
        const Signal32 sqrtHann = WindowFunctions::generateSqrtHannWindow(1, 2 * hop);
        const Signal32 vorbis = WindowFunctions::generateVorbisWindow(1, 2 * hop);
        for (int n = 0; n < hop; ++n)
        {
            const auto sum = [n, hop](const Signal32& w, int power)
            {
                return std::pow(static_cast<double>(w.getReadPointer(0)[n]), power) +
                       std::pow(static_cast<double>(w.getReadPointer(0)[n + hop]), power);
            };
            EXPECT_NEAR(sum(hann, 1), 1.0, 2e-7);
            // Square-root Hann and Vorbis windows are power complementary.
            EXPECT_NEAR(sum(sqrtHann, 2), 1.0, 4e-7);
            EXPECT_NEAR(sum(vorbis, 2), 1.0, 4e-7);
        }
    }
}

TEST(WindowFunctions, GaussianIsSampledAtTheIntegers)
{
    const float sigma = 0.4f;
    for (int length : {7, 8, 63, 64})
    {
        const double c = 0.5 * length;
        expectWindow(WindowFunctions::generateGaussianWindow(2, length, sigma), 2, length,
                     [&](int n)
                     {
                         const double t = (n - c) / (static_cast<double>(sigma) * c);
                         return std::exp(-0.5 * t * t);
                     });
    }
    // A zero width is the limit of narrowing windows.
    expectWindow(WindowFunctions::generateGaussianWindow(1, 8, 0.0f), 1, 8, [](int n) { return n == 4 ? 1.0 : 0.0; });
}

TEST(WindowFunctions, DolphChebyshev)
{
    for (int length : {1, 2})
        expectWindow(WindowFunctions::generateDolphChebyshevWindow(2, length, 100.0f), 2, length,
                     [](int) { return 100.0; });

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
        const double edge = 2.0 * std::acos(1.0 / std::cosh(std::acosh(ratio) / order)); // first null
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
        double largestSidelobe = 0.0;
        for (int i = 0; i <= 2000; ++i)
            largestSidelobe = std::max(largestSidelobe, response(edge + (pi - edge) * i / 2000.0));
        EXPECT_NEAR(response(0.0) / largestSidelobe, ratio, 0.01 * ratio) << "N " << length;
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
        if (length == 4)
        {
            EXPECT_NEAR(w[0], 1000.0f, 1e-3f);
        }
    }

    // Ratios below 1 are taken as 1 instead of producing NaN.
    const Signal32 unit = WindowFunctions::generateDolphChebyshevWindow(1, 16, 1.0f);
    expectWindow(WindowFunctions::generateDolphChebyshevWindow(1, 16, 0.5f), 1, 16,
                 [&unit](int n) { return static_cast<double>(unit.getReadPointer(0)[n]); });
}

TEST(WindowFunctions, EmptyLengthsAndChannelCounts)
{
    for (int length : {0, -3})
    {
        EXPECT_EQ(WindowFunctions::generateHannWindow(2, length).getNumOfChannels(), 2);
        EXPECT_EQ(WindowFunctions::generateHannWindow(2, length).getNumOfSamples(), 0);
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
