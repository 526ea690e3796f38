#include <gtest/gtest.h>

#include <complex>
#include <cstring>
#include <vector>

#include "DspCore/VectorOps.h"

using namespace murel;

namespace
{

// Integer-valued lanes keep every result exact, so the wrapper must match bit for bit on
// every back end.
vec::Float4 make(float a, float b, float c, float d)
{
    const float values[4] = {a, b, c, d};
    return vec::load(values);
}

void expectLanes(vec::Float4 x, float a, float b, float c, float d)
{
    float lanes[4];
    vec::store(lanes, x);
    EXPECT_EQ(std::vector<float>(lanes, lanes + 4), (std::vector<float>{a, b, c, d}));
}

} // namespace

TEST(VectorOps, ArithmeticIsExactOnIntegerLanes)
{
    const auto a = make(1, -2, 3, 8);
    const auto b = make(5, 6, -7, 2);
    expectLanes(vec::add(a, b), 6, 4, -4, 10);
    expectLanes(vec::sub(a, b), -4, -8, 10, 6);
    expectLanes(vec::mul(a, b), 5, -12, -21, 16);
    expectLanes(vec::div(a, b), 0.2f, -2.0f / 6.0f, -3.0f / 7.0f, 4);
    expectLanes(vec::fma(make(1, 1, 1, 1), a, b), 6, -11, -20, 17);
    expectLanes(vec::max(a, b), 5, 6, 3, 8);
    expectLanes(vec::min(a, b), 1, -2, -7, 2);
    expectLanes(vec::neg(a), -1, 2, -3, -8);
    expectLanes(vec::abs(a), 1, 2, 3, 8);
    expectLanes(vec::sqrt(make(4, 9, 16, 0)), 2, 3, 4, 0);
    expectLanes(vec::broadcast(3), 3, 3, 3, 3);
    expectLanes(vec::zero(), 0, 0, 0, 0);
    EXPECT_EQ(vec::horizontalSum(a), 10.0f);
}

TEST(VectorOps, SelectFollowsComparisonMasks)
{
    const auto a = make(1, -2, 3, -4);
    const auto z = vec::zero();
    expectLanes(vec::select(vec::lessThan(a, z), z, a), 1, 0, 3, 0);
    expectLanes(vec::select(vec::greaterThan(a, z), z, a), 0, -2, 0, -4);
}

TEST(VectorOps, ComplexMultiplyMatchesStdComplex)
{
    const std::complex<float> x[2] = {{1, 2}, {-3, 4}};
    const std::complex<float> y[2] = {{5, -6}, {7, 8}};
    float xf[4], yf[4];
    std::memcpy(xf, x, sizeof(xf));
    std::memcpy(yf, y, sizeof(yf));
    const auto product = vec::complexMul(vec::load(xf), vec::load(yf));
    const std::complex<float> a = x[0] * y[0];
    const std::complex<float> b = x[1] * y[1];
    expectLanes(product, a.real(), a.imag(), b.real(), b.imag());
}

TEST(VectorOps, InterleavedLoadAndStoreRoundTrip)
{
    const float in[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    const auto pair = vec::loadDeinterleaved(in);
    expectLanes(pair.val[0], 0, 2, 4, 6);
    expectLanes(pair.val[1], 1, 3, 5, 7);
    float out[8] = {};
    vec::storeInterleaved(out, pair.val[0], pair.val[1]);
    EXPECT_EQ(std::memcmp(out, in, sizeof(in)), 0);
    EXPECT_STREQ(vec::backEndName, "ARM NEON");
}

TEST(VectorOps, ShufflesTheTransformBuildsOn)
{
    auto a = make(0, 1, 2, 3), b = make(4, 5, 6, 7), c = make(8, 9, 10, 11), d = make(12, 13, 14, 15);
    expectLanes(vec::reverse(a), 3, 2, 1, 0);
    expectLanes(vec::mulSub(c, a, b), 8, 4, -2, -10);
    vec::transpose(a, b, c, d);
    expectLanes(a, 0, 4, 8, 12);
    expectLanes(b, 1, 5, 9, 13);
    expectLanes(c, 2, 6, 10, 14);
    expectLanes(d, 3, 7, 11, 15);
}
