#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "DspCore/VectorMath.h"
#include "DspCore/VectorOps.h"

using namespace murel;

namespace
{

// Each kernel against the same step in double precision through the C library, rounded once:
// the kernels are exact to the last bit but for rare double roundings.
TEST(VectorMath, PolarKernelsRoundOnceFromDoublePrecision)
{
    std::vector<float> re = {1.0f, 0.0f, -1.0f, 0.0f, 3e-39f, 1e30f, -1e20f, 1e-20f, -0.0f, 0.0f};
    std::vector<float> im = {0.0f, 1.0f, 1e-30f, -1.0f, 0.0f, -2e30f, 1e-20f, 1e20f, -0.0f, 0.0f};
    std::mt19937 generator(11);
    std::uniform_real_distribution<float> distribution(-4.0f, 4.0f);
    while (re.size() < 4000)
    {
        re.push_back(distribution(generator));
        im.push_back(distribution(generator));
    }
    int numOfDifferences = 0;
    for (std::size_t i = 0; i < re.size(); i += 4)
    {
        const vec::Float4 x = vec::load(re.data() + i);
        const vec::Float4 y = vec::load(im.data() + i);
        alignas(16) float magnitude[4];
        alignas(16) float phase[4];
        alignas(16) float outRe[4];
        alignas(16) float outIm[4];
        vec::store(magnitude, vec::polarMagnitude(x, y));
        vec::store(phase, vec::phaseOf(re.data() + i, im.data() + i));
        vec::Float4 a;
        vec::Float4 b;
        vec::fromPolar(vec::load(phase), vec::load(magnitude), a, b);
        vec::store(outRe, a);
        vec::store(outIm, b);
        for (std::size_t k = 0; k < 4; ++k)
        {
            const double xr = re[i + k];
            const double yi = im[i + k];
            ASSERT_EQ(magnitude[k], static_cast<float>(std::sqrt(xr * xr + yi * yi))) << re[i + k] << " " << im[i + k];
            numOfDifferences += phase[k] != static_cast<float>(std::atan2(yi, xr)) ? 1 : 0;
            const double m = magnitude[k];
            const double p = phase[k];
            numOfDifferences += outRe[k] != static_cast<float>(std::cos(p) * m) ? 1 : 0;
            numOfDifferences += outIm[k] != static_cast<float>(std::sin(p) * m) ? 1 : 0;
        }
    }
    EXPECT_LE(numOfDifferences, 3);
}

TEST(VectorMath, ExponentialIsWithinAFewUlpOfDouble)
{
    for (double x = -30.0; x <= 30.0; x += 0.0137)
    {
        double lanes[2];
        vst1q_f64(lanes, vec::exponential(vec::f64::broadcast(x)));
        ASSERT_NEAR(lanes[0], std::exp(x), 4e-16 * std::exp(x)) << x;
    }
    double lanes[2];
    vst1q_f64(lanes, vec::exponential(vec::f64::broadcast(std::nan(""))));
    EXPECT_TRUE(std::isnan(lanes[0]));
}

TEST(VectorMath, ReplaceNonFiniteKeepsFiniteValues)
{
    const float infinity = std::numeric_limits<float>::infinity();
    std::vector<float> x = {1.0f, std::nanf(""), infinity, -infinity, -0.0f, 3e38f, -2.5f};
    vec::replaceNonFinite(x.data(), static_cast<int>(x.size()));
    EXPECT_EQ(x, (std::vector<float>{1.0f, 0.0f, 0.0f, 0.0f, -0.0f, 3e38f, -2.5f}));
}

} // namespace
