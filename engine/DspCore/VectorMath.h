#pragma once

// Vector math kernels in double precision for the spectral mask shaping: magnitude, phase and
// the way back from polar form, each rounded once to float. Built on the vector wrapper, so they
// run as NEON on aarch64 and through SIMDe elsewhere.

#include <cmath>

#include "DspCore/VectorOps.h"

namespace murel::vec
{

/** |re + i im| as the C library's cabsf gives it: the square root of the sum of squares taken in
    double precision, rounded once to float. */
inline Float4 polarMagnitude(Float4 re, Float4 im)
{
    const auto half = [](f64::Double2 r, f64::Double2 i)
    { return f64::sqrt(f64::add(f64::mul(r, r), f64::mul(i, i))); };
    return f64::narrow(half(f64::widenLow(re), f64::widenLow(im)), half(f64::widenHigh(re), f64::widenHigh(im)));
}

/** atan2 of two lanes in double precision, to within an ulp of double, for finite, non-zero x
    and y: the reduction and minimax kernel of the classic arctangent on |y| / |x| or its
    inverse (whichever is at most 1), then the octant. */
inline f64::Double2 arcTangent2(f64::Double2 y, f64::Double2 x)
{
    using f64::add;
    using f64::broadcast;
    using f64::Double2;
    using f64::mul;
    using f64::select;
    using f64::sub;
    const Double2 ax = f64::abs(x);
    const Double2 ay = f64::abs(y);
    // a = n / d in [0, 1]. a in [0, 7/16): atan(a) directly; [7/16, 11/16): atan(1/2) +
    // atan((2a - 1) / (2 + a)); [11/16, 1]: atan(1) + atan((a - 1) / (a + 1)). The reduced
    // argument is formed from n and d (exact in double for float inputs) with one division.
    const Double2 n = f64::min(ax, ay);
    const Double2 d = f64::max(ax, ay);
    const f64::Mask2 middle = f64::greaterThan(n, mul(d, broadcast(0.4375)));
    const f64::Mask2 upper = f64::greaterThan(n, mul(d, broadcast(0.6875)));
    const Double2 t = f64::div(select(upper, sub(n, d), select(middle, sub(add(n, n), d), n)),
                               select(upper, add(n, d), select(middle, add(add(d, d), n), d)));
    const Double2 hi = select(upper, broadcast(7.85398163397448278999e-01),
                              select(middle, broadcast(4.63647609000806093515e-01), broadcast(0.0)));
    const Double2 lo = select(upper, broadcast(3.06161699786838301793e-17),
                              select(middle, broadcast(2.26987774529616870924e-17), broadcast(0.0)));
    const Double2 z = mul(t, t);
    const Double2 w = mul(z, z);
    Double2 even = add(broadcast(4.97687799461593236017e-02), mul(w, broadcast(1.62858201153657823623e-02)));
    even = add(broadcast(6.66107313738753120669e-02), mul(w, even));
    even = add(broadcast(9.09088713343650656196e-02), mul(w, even));
    even = add(broadcast(1.42857142725034663711e-01), mul(w, even));
    even = add(broadcast(3.33333333333329318027e-01), mul(w, even));
    Double2 odd = add(broadcast(-5.83357013379057348645e-02), mul(w, broadcast(-3.65315727442169155270e-02)));
    odd = add(broadcast(-7.69187620504482999495e-02), mul(w, odd));
    odd = add(broadcast(-1.11111104054623557880e-01), mul(w, odd));
    odd = add(broadcast(-1.99999999998764832476e-01), mul(w, odd));
    const Double2 series = mul(t, add(mul(z, even), mul(w, odd)));
    // hi - ((t s - lo) - t), which is t - t s where hi and lo are 0.
    Double2 angle = sub(hi, sub(sub(series, lo), t));

    angle = select(f64::greaterThan(ay, ax), sub(broadcast(1.57079632679489655800e+00), angle), angle);
    angle = select(f64::lessThan(x, broadcast(0.0)), sub(broadcast(3.14159265358979311600e+00), angle), angle);
    return select(f64::lessThan(y, broadcast(0.0)), f64::neg(angle), angle);
}

/** atan2f of four lanes: computed in double and rounded once, so within rounding of the C
    library's single-precision result. Zeros, infinities and NaN (signed zeros and the branch
    cut) go to the C library itself. */
inline Float4 phaseOf(const float* re, const float* im)
{
    const Float4 x = load(re);
    const Float4 y = load(im);
    alignas(16) float phase[numOfLanes];
    store(phase, f64::narrow(arcTangent2(f64::widenLow(y), f64::widenLow(x)),
                             arcTangent2(f64::widenHigh(y), f64::widenHigh(x))));
    for (int i = 0; i < numOfLanes; ++i)
        if (re[i] == 0.0f || im[i] == 0.0f || !std::isfinite(re[i]) || !std::isfinite(im[i]))
            phase[i] = std::atan2(im[i], re[i]);
    return load(phase);
}

/** Sine and cosine in double precision of angles in [-pi, pi] (phases), to within an ulp of
    double: reduction by the nearest multiple of pi / 2 in two parts, then the classic minimax
    kernels on [-pi / 4, pi / 4]. */
inline void sineCosine(f64::Double2 x, f64::Double2& sine, f64::Double2& cosine)
{
    using f64::add;
    using f64::broadcast;
    using f64::Double2;
    using f64::mul;
    using f64::sub;
    const Double2 k = f64::roundToNearest(mul(x, broadcast(6.36619772367581382433e-01)));
    // pi / 2 = 1.57079632673412561417 (33 bits, so that k times it is exact) + 6.077100506506192e-11.
    const Double2 r =
        sub(sub(x, mul(k, broadcast(1.57079632673412561417e+00))), mul(k, broadcast(6.07710050650619224932e-11)));
    const Double2 z = mul(r, r);

    Double2 p = add(broadcast(-2.50507602534068634195e-08), mul(z, broadcast(1.58969099521155010221e-10)));
    p = add(broadcast(2.75573137070700676789e-06), mul(z, p));
    p = add(broadcast(-1.98412698298579493134e-04), mul(z, p));
    p = add(broadcast(8.33333333332248946124e-03), mul(z, p));
    const Double2 s = add(r, mul(mul(z, r), add(broadcast(-1.66666666666666324348e-01), mul(z, p))));

    Double2 q = add(broadcast(2.08757232129817482790e-09), mul(z, broadcast(-1.13596475577881948265e-11)));
    q = add(broadcast(-2.75573143513906633035e-07), mul(z, q));
    q = add(broadcast(2.48015872894767294178e-05), mul(z, q));
    q = add(broadcast(-1.38888888888741095749e-03), mul(z, q));
    q = add(broadcast(4.16666666666666019037e-02), mul(z, q));
    const Double2 hz = mul(broadcast(0.5), z);
    const Double2 w = sub(broadcast(1.0), hz);
    const Double2 c = add(w, add(sub(sub(broadcast(1.0), w), hz), mul(mul(z, z), q)));

    // k is -2 ... 2. Odd k swaps sine and cosine (k - 2 round(k / 2) is then +-1, else 0); the
    // signs follow the quadrant: sine is negative for k in {-2, -1, 2}, cosine for {-2, 1, 2}.
    const Double2 parity = sub(k, mul(broadcast(2.0), f64::roundToNearest(mul(k, broadcast(0.5)))));
    const f64::Mask2 odd =
        f64::either(f64::greaterThan(parity, broadcast(0.5)), f64::lessThan(parity, broadcast(-0.5)));
    const Double2 swappedSine = f64::select(odd, c, s);
    const Double2 swappedCosine = f64::select(odd, s, c);
    const f64::Mask2 negativeSine = f64::either(f64::greaterThan(k, broadcast(1.5)), f64::lessThan(k, broadcast(-0.5)));
    const f64::Mask2 negativeCosine =
        f64::either(f64::greaterThan(k, broadcast(0.5)), f64::lessThan(k, broadcast(-1.5)));
    sine = f64::select(negativeSine, f64::neg(swappedSine), swappedSine);
    cosine = f64::select(negativeCosine, f64::neg(swappedCosine), swappedCosine);
}

/** (cos(phase) m, sin(phase) m) with the sine, cosine and products in double precision, each
    rounded once to float. */
inline void fromPolar(Float4 phase, Float4 magnitude, Float4& re, Float4& im)
{
    f64::Double2 sineLow, cosineLow, sineHigh, cosineHigh;
    sineCosine(f64::widenLow(phase), sineLow, cosineLow);
    sineCosine(f64::widenHigh(phase), sineHigh, cosineHigh);
    const f64::Double2 mLow = f64::widenLow(magnitude);
    const f64::Double2 mHigh = f64::widenHigh(magnitude);
    re = f64::narrow(f64::mul(cosineLow, mLow), f64::mul(cosineHigh, mHigh));
    im = f64::narrow(f64::mul(sineLow, mLow), f64::mul(sineHigh, mHigh));
}

/** e^x in double precision for |x| below 700, to within a few ulp of double: x = k ln 2 + r
    with |r| at most ln 2 / 2 (ln 2 in two parts, so that k ln 2 is exact), the Taylor series of
    e^r to the 13th power (its remainder is below 1e-17), then the factor 2^k built in the
    exponent bits. NaN stays NaN. */
inline f64::Double2 exponential(f64::Double2 x)
{
    using f64::add;
    using f64::broadcast;
    using f64::Double2;
    using f64::mul;
    using f64::sub;
    const Double2 k = f64::roundToNearest(mul(x, broadcast(1.44269504088896338700e+00)));
    const Double2 r =
        sub(sub(x, mul(k, broadcast(6.93147180369123816490e-01))), mul(k, broadcast(1.90821492927058770002e-10)));
    Double2 p = broadcast(1.0 / 6227020800.0);
    const double inverseFactorials[] = {1.0 / 479001600.0,
                                        1.0 / 39916800.0,
                                        1.0 / 3628800.0,
                                        1.0 / 362880.0,
                                        1.0 / 40320.0,
                                        1.0 / 5040.0,
                                        1.0 / 720.0,
                                        1.0 / 120.0,
                                        1.0 / 24.0,
                                        1.0 / 6.0,
                                        0.5,
                                        1.0,
                                        1.0};
    for (const double coefficient : inverseFactorials)
        p = add(broadcast(coefficient), mul(r, p));
    // 2^52 + 1023 + k holds 1023 + k in its lowest bits; shifted into the exponent field it is 2^k.
    const Double2 biased = add(k, broadcast(4503599627370496.0 + 1023.0));
    const Double2 scale = vreinterpretq_f64_u64(vshlq_n_u64(vreinterpretq_u64_f64(biased), 52));
    return mul(p, scale);
}

} // namespace murel::vec
