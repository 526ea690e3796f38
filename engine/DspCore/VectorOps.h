#pragma once

// The engine's one vector wrapper: four-lane float operations written with NEON intrinsics.
// On aarch64 they compile to native NEON; on other hosts SIMDe translates the same intrinsics.

#include <cmath>
#include <limits>

#if defined(__aarch64__) || defined(_M_ARM64)
#include <arm_neon.h>
#else
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/arm/neon.h>
#endif

namespace murel::vec
{

using Float4 = float32x4_t;
using Mask4 = uint32x4_t;

/** Name of the vector arithmetic back end. */
constexpr const char* backEndName = "ARM NEON";
constexpr int numOfLanes = 4;

// One-line wrappers, spelt once: each is an inline function that calls its intrinsic.
#define MUREL_VEC_UNARY(Type, name, intrinsic)                                                                         \
    inline Type name(Type a)                                                                                           \
    {                                                                                                                  \
        return intrinsic(a);                                                                                           \
    }
#define MUREL_VEC_BINARY(Type, Result, name, intrinsic)                                                                \
    inline Result name(Type a, Type b)                                                                                 \
    {                                                                                                                  \
        return intrinsic(a, b);                                                                                        \
    }

inline Float4 load(const float* p)
{
    return vld1q_f32(p);
}
inline void store(float* p, Float4 v)
{
    vst1q_f32(p, v);
}
inline Float4 broadcast(float x)
{
    return vdupq_n_f32(x);
}
inline Float4 zero()
{
    return vdupq_n_f32(0.0f);
}
/** Loads one float into all four lanes. */
inline Float4 loadBroadcast(const float* p)
{
    return vld1q_dup_f32(p);
}

MUREL_VEC_BINARY(Float4, Float4, add, vaddq_f32)
MUREL_VEC_BINARY(Float4, Float4, sub, vsubq_f32)
MUREL_VEC_BINARY(Float4, Float4, mul, vmulq_f32)
MUREL_VEC_UNARY(Float4, neg, vnegq_f32)
MUREL_VEC_UNARY(Float4, abs, vabsq_f32)
/** Lane-wise maximum and minimum; NaN handling follows the hardware. */
MUREL_VEC_BINARY(Float4, Float4, max, vmaxq_f32)
MUREL_VEC_BINARY(Float4, Float4, min, vminq_f32)
MUREL_VEC_BINARY(Float4, Mask4, lessThan, vcltq_f32)
MUREL_VEC_BINARY(Float4, Mask4, greaterThan, vcgtq_f32)

/** acc + a * b, fused where the hardware has it. */
inline Float4 fma(Float4 acc, Float4 a, Float4 b)
{
    return vfmaq_f32(acc, a, b);
}
/** acc + a * v[lane], fused where the hardware has it. */
template <int lane>
inline Float4 fmaLane(Float4 acc, Float4 a, Float4 v)
{
    return vfmaq_laneq_f32(acc, a, v, lane);
}

#if defined(__aarch64__) || defined(_M_ARM64)
MUREL_VEC_BINARY(Float4, Float4, div, vdivq_f32)
MUREL_VEC_UNARY(Float4, sqrt, vsqrtq_f32)
#else
// SIMDe translates no AArch64 division or square root; lane loops give the same IEEE results
// and the compiler vectorises them.
inline Float4 div(Float4 a, Float4 b)
{
    float x[4], y[4];
    vst1q_f32(x, a);
    vst1q_f32(y, b);
    for (int i = 0; i < 4; ++i)
        x[i] /= y[i];
    return vld1q_f32(x);
}
inline Float4 sqrt(Float4 a)
{
    float x[4];
    vst1q_f32(x, a);
    for (float& lane : x)
        lane = __builtin_sqrtf(lane);
    return vld1q_f32(x);
}
#endif

/** Lane-wise mask ? a : b. */
inline Float4 select(Mask4 mask, Float4 a, Float4 b)
{
    return vbslq_f32(mask, a, b);
}

/** Sum of the four lanes. */
inline float horizontalSum(Float4 a)
{
    return vaddvq_f32(a);
}

/** Multiplies two pairs of interleaved complex numbers: lanes are (re0, im0, re1, im1). */
inline Float4 complexMul(Float4 a, Float4 b)
{
    // Built from unzip/zip rather than trn1/trn2, which SIMDe can only emulate lane by lane.
    const Float4 aRe = vzip1q_f32(vuzp1q_f32(a, a), vuzp1q_f32(a, a));
    const Float4 aIm = vzip1q_f32(vuzp2q_f32(a, a), vuzp2q_f32(a, a));
    const Float4 bSwapped = vrev64q_f32(b);
    const float signs[4] = {-1.0f, 1.0f, -1.0f, 1.0f};
    return vfmaq_f32(vmulq_f32(aRe, b), vmulq_f32(aIm, bSwapped), vld1q_f32(signs));
}

/** Loads eight interleaved floats as their even and odd lanes: (x0, x2, x4, x6), (x1, x3, x5, x7). */
inline float32x4x2_t loadDeinterleaved(const float* p)
{
    return vld2q_f32(p);
}
/** Stores two vectors interleaved: a0, b0, a1, b1, ... */
inline void storeInterleaved(float* p, Float4 a, Float4 b)
{
    float32x4x2_t pair;
    pair.val[0] = a;
    pair.val[1] = b;
    vst2q_f32(p, pair);
}

/** acc - a * b: fused on aarch64; SIMDe 0.7.4 has no vfmsq_f32, so a multiply and a subtract
    elsewhere (cheaper there than negating first and fusing). */
#if defined(__aarch64__) || defined(_M_ARM64)
inline Float4 mulSub(Float4 acc, Float4 a, Float4 b)
{
    return vfmsq_f32(acc, a, b);
}
#else
inline Float4 mulSub(Float4 acc, Float4 a, Float4 b)
{
    return vsubq_f32(acc, vmulq_f32(a, b));
}
#endif

/** Lanes in reverse order: (a3, a2, a1, a0). */
inline Float4 reverse(Float4 a)
{
    const Float4 pairsSwapped = vrev64q_f32(a);
    return vextq_f32(pairsSwapped, pairsSwapped, 2);
}

/** Transposes the 4 x 4 matrix whose rows are a, b, c, d. Built from zips, which SIMDe
    translates to single instructions (its vtrn1q/vtrn2q become lane-by-lane moves). */
inline void transpose(Float4& a, Float4& b, Float4& c, Float4& d)
{
    const Float4 ac0 = vzip1q_f32(a, c);
    const Float4 ac1 = vzip2q_f32(a, c);
    const Float4 bd0 = vzip1q_f32(b, d);
    const Float4 bd1 = vzip2q_f32(b, d);
    a = vzip1q_f32(ac0, bd0);
    b = vzip2q_f32(ac0, bd0);
    c = vzip1q_f32(ac1, bd1);
    d = vzip2q_f32(ac1, bd1);
}

/** dst[i] += src[i] over n floats: whole vectors, then a scalar tail. */
inline void addTo(float* dst, const float* src, int n)
{
    int i = 0;
    for (; i + numOfLanes <= n; i += numOfLanes)
        store(dst + i, add(load(dst + i), load(src + i)));
    for (; i < n; ++i)
        dst[i] += src[i];
}

/** Sets every NaN or infinite value of x[0 ... n - 1] to 0; finite values stay as they are. */
inline void replaceNonFinite(float* x, int n)
{
    const Float4 infinity = broadcast(std::numeric_limits<float>::infinity());
    int i = 0;
    for (; i + numOfLanes <= n; i += numOfLanes)
    {
        const Float4 v = load(x + i);
        store(x + i, select(lessThan(abs(v), infinity), v, zero()));
    }
    for (; i < n; ++i)
        x[i] = std::isfinite(x[i]) ? x[i] : 0.0f;
}

/** Two-lane double precision, for steps that must be computed in double. A namespace of its own
    keeps the float operations' names unambiguous where they are passed as functions. */
namespace f64
{

using Double2 = float64x2_t;
using Mask2 = uint64x2_t;

inline Double2 broadcast(double x)
{
    return vdupq_n_f64(x);
}
/** Lanes 0, 1 and lanes 2, 3 of a, widened exactly. */
inline Double2 widenLow(Float4 a)
{
    return vcvt_f64_f32(vget_low_f32(a));
}
inline Double2 widenHigh(Float4 a)
{
    return vcvt_f64_f32(vget_high_f32(a));
}
/** Both pairs rounded to float: (low0, low1, high0, high1). */
inline Float4 narrow(Double2 low, Double2 high)
{
    return vcombine_f32(vcvt_f32_f64(low), vcvt_f32_f64(high));
}

MUREL_VEC_BINARY(Double2, Double2, add, vaddq_f64)
MUREL_VEC_BINARY(Double2, Double2, sub, vsubq_f64)
MUREL_VEC_BINARY(Double2, Double2, mul, vmulq_f64)
MUREL_VEC_UNARY(Double2, neg, vnegq_f64)
MUREL_VEC_UNARY(Double2, abs, vabsq_f64)
MUREL_VEC_BINARY(Double2, Double2, max, vmaxq_f64)
MUREL_VEC_BINARY(Double2, Double2, min, vminq_f64)
MUREL_VEC_BINARY(Double2, Mask2, lessThan, vcltq_f64)
MUREL_VEC_BINARY(Double2, Mask2, greaterThan, vcgtq_f64)
MUREL_VEC_BINARY(Mask2, Mask2, either, vorrq_u64)
/** Nearest integer, ties to even, for |a| below 2^51: the addition rounds in the default mode. */
inline Double2 roundToNearest(Double2 a)
{
    const Double2 shift = vdupq_n_f64(6755399441055744.0);
    return vsubq_f64(vaddq_f64(a, shift), shift);
}
#if defined(__aarch64__) || defined(_M_ARM64)
MUREL_VEC_BINARY(Double2, Double2, div, vdivq_f64)
MUREL_VEC_UNARY(Double2, sqrt, vsqrtq_f64)
#else
// SIMDe 0.7.4 has no vdivq_f64 or vsqrtq_f64; lane loops give the same IEEE results.
inline Double2 div(Double2 a, Double2 b)
{
    double x[2], y[2];
    vst1q_f64(x, a);
    vst1q_f64(y, b);
    for (int i = 0; i < 2; ++i)
        x[i] /= y[i];
    return vld1q_f64(x);
}
inline Double2 sqrt(Double2 a)
{
    double x[2];
    vst1q_f64(x, a);
    for (double& lane : x)
        lane = __builtin_sqrt(lane);
    return vld1q_f64(x);
}
#endif

/** Lane-wise mask ? a : b. */
inline Double2 select(Mask2 mask, Double2 a, Double2 b)
{
    return vbslq_f64(mask, a, b);
}

} // namespace f64

#undef MUREL_VEC_UNARY
#undef MUREL_VEC_BINARY

} // namespace murel::vec
