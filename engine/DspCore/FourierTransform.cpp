#include "DspCore/FourierTransform.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>

#include "DspCore/MathEx.h"
#include "DspCore/VectorOps.h"

namespace murel
{

namespace
{

constexpr double pi = 3.14159265358979323846;

bool isPowerOfTwo(int n)
{
    return n > 0 && (n & (n - 1)) == 0;
}

void requireShape(bool condition, const char* message)
{
    if (!condition)
        throw std::invalid_argument(message);
}

// From this complex length on, transforms run as four-lane radix-4 passes on split real and
// imaginary arrays (Stockham order, so no bit reversal); shorter ones use the radix-2 core.
constexpr int minVectorSize = 16;
// Twiddles of one butterfly group: w, w^2 and w^3 as real and imaginary vectors of four lanes.
constexpr int groupFloats = 24;

using vec::Float4;

/** Complex sequence stored as interleaved (re, im) pairs; swapped reads it as (im, re), which
    turns the forward passes into the inverse transform. */
template <bool swapped>
struct InterleavedSource
{
    const float* data;
    void load(int i, Float4& re, Float4& im) const
    {
        const float32x4x2_t pair = vec::loadDeinterleaved(data + 2 * static_cast<std::ptrdiff_t>(i));
        re = swapped ? pair.val[1] : pair.val[0];
        im = swapped ? pair.val[0] : pair.val[1];
    }
};

struct SplitSource
{
    const float* re;
    const float* im;
    void load(int i, Float4& r, Float4& m) const
    {
        r = vec::load(re + i);
        m = vec::load(im + i);
    }
};

template <bool swapped>
struct InterleavedTarget
{
    float* data;
    void store(int i, Float4 re, Float4 im) const
    {
        float* p = data + 2 * static_cast<std::ptrdiff_t>(i);
        if (swapped)
            vec::storeInterleaved(p, im, re);
        else
            vec::storeInterleaved(p, re, im);
    }
};

struct SplitTarget
{
    float* re;
    float* im;
    void store(int i, Float4 r, Float4 m) const
    {
        vec::store(re + i, r);
        vec::store(im + i, m);
    }
};

struct Quad
{
    Float4 r0, i0, r1, i1, r2, i2, r3, i3;
};

/** Four-point forward DFT of a, b, c, d (outputs 0 .. 3), before the twiddles. */
inline Quad radix4(Float4 ar, Float4 ai, Float4 br, Float4 bi, Float4 cr, Float4 ci, Float4 dr, Float4 di)
{
    const Float4 apcR = vec::add(ar, cr);
    const Float4 apcI = vec::add(ai, ci);
    const Float4 amcR = vec::sub(ar, cr);
    const Float4 amcI = vec::sub(ai, ci);
    const Float4 bpdR = vec::add(br, dr);
    const Float4 bpdI = vec::add(bi, di);
    const Float4 bmdR = vec::sub(br, dr);
    const Float4 bmdI = vec::sub(bi, di);
    Quad y;
    y.r0 = vec::add(apcR, bpdR);
    y.i0 = vec::add(apcI, bpdI);
    y.r1 = vec::add(amcR, bmdI); // (a - c) - i (b - d)
    y.i1 = vec::sub(amcI, bmdR);
    y.r2 = vec::sub(apcR, bpdR);
    y.i2 = vec::sub(apcI, bpdI);
    y.r3 = vec::sub(amcR, bmdI); // (a - c) + i (b - d)
    y.i3 = vec::add(amcI, bmdR);
    return y;
}

/** (re, im) times the twiddle whose real lanes are at w and imaginary lanes at w + 4. */
inline void rotate(Float4& re, Float4& im, const float* w)
{
    const Float4 wr = vec::load(w);
    const Float4 wi = vec::load(w + 4);
    const Float4 r = vec::mulSub(vec::mul(re, wr), im, wi);
    im = vec::fma(vec::mul(re, wi), im, wr);
    re = r;
}

inline void rotateAll(Quad& y, const float* group)
{
    rotate(y.r1, y.i1, group);
    rotate(y.r2, y.i2, group + 8);
    rotate(y.r3, y.i3, group + 16);
}

/** First pass of an n-point transform (stride 1): lanes run over four consecutive butterflies,
    whose outputs are transposed so that each lands in its own four consecutive slots. */
template <class Source>
void firstPass(const Source& source, float* yr, float* yi, int n, const float* twiddles)
{
    const int quarter = n / 4;
    for (int p = 0; p < quarter; p += 4, twiddles += groupFloats)
    {
        Float4 ar, ai, br, bi, cr, ci, dr, di;
        source.load(p, ar, ai);
        source.load(p + quarter, br, bi);
        source.load(p + 2 * quarter, cr, ci);
        source.load(p + 3 * quarter, dr, di);
        Quad y = radix4(ar, ai, br, bi, cr, ci, dr, di);
        rotateAll(y, twiddles);
        vec::transpose(y.r0, y.r1, y.r2, y.r3);
        vec::transpose(y.i0, y.i1, y.i2, y.i3);
        float* outR = yr + 4 * p;
        float* outI = yi + 4 * p;
        vec::store(outR, y.r0);
        vec::store(outR + 4, y.r1);
        vec::store(outR + 8, y.r2);
        vec::store(outR + 12, y.r3);
        vec::store(outI, y.i0);
        vec::store(outI + 4, y.i1);
        vec::store(outI + 8, y.i2);
        vec::store(outI + 12, y.i3);
    }
}

/** A pass of sub-length n at stride s (a multiple of 4): lanes run over the stride. */
void middlePass(const float* xr, const float* xi, float* yr, float* yi, int n, int stride, const float* twiddles)
{
    const int quarter = n / 4;
    const std::ptrdiff_t s = stride;
    const std::ptrdiff_t inStep = s * quarter;
    for (int p = 0; p < quarter; ++p, twiddles += groupFloats)
    {
        const float* ar = xr + s * p;
        const float* ai = xi + s * p;
        float* outR = yr + 4 * s * p;
        float* outI = yi + 4 * s * p;
        for (std::ptrdiff_t q = 0; q < s; q += 4)
        {
            Quad y = radix4(vec::load(ar + q), vec::load(ai + q), vec::load(ar + inStep + q),
                            vec::load(ai + inStep + q), vec::load(ar + 2 * inStep + q), vec::load(ai + 2 * inStep + q),
                            vec::load(ar + 3 * inStep + q), vec::load(ai + 3 * inStep + q));
            rotateAll(y, twiddles);
            vec::store(outR + q, y.r0);
            vec::store(outI + q, y.i0);
            vec::store(outR + s + q, y.r1);
            vec::store(outI + s + q, y.i1);
            vec::store(outR + 2 * s + q, y.r2);
            vec::store(outI + 2 * s + q, y.i2);
            vec::store(outR + 3 * s + q, y.r3);
            vec::store(outI + 3 * s + q, y.i3);
        }
    }
}

/** Last pass when four points remain: no twiddles. */
template <class Target>
void lastPassRadix4(const float* xr, const float* xi, const Target& target, int stride)
{
    for (int q = 0; q < stride; q += 4)
    {
        const Quad y =
            radix4(vec::load(xr + q), vec::load(xi + q), vec::load(xr + stride + q), vec::load(xi + stride + q),
                   vec::load(xr + 2 * stride + q), vec::load(xi + 2 * stride + q), vec::load(xr + 3 * stride + q),
                   vec::load(xi + 3 * stride + q));
        target.store(q, y.r0, y.i0);
        target.store(q + stride, y.r1, y.i1);
        target.store(q + 2 * stride, y.r2, y.i2);
        target.store(q + 3 * stride, y.r3, y.i3);
    }
}

/** Last pass when eight points remain (odd powers of two): one radix-2 step whose twiddles are
    eighth roots of unity, then two four-point transforms. */
template <class Target>
void lastPassRadix8(const float* xr, const float* xi, const Target& target, int stride)
{
    const Float4 rootHalf = vec::broadcast(0.70710678118654752f);
    const std::ptrdiff_t s = stride;
    for (std::ptrdiff_t q = 0; q < s; q += 4)
    {
        Float4 ar[4], ai[4], dr[4], di[4];
        for (int j = 0; j < 4; ++j)
        {
            const Float4 lr = vec::load(xr + j * s + q);
            const Float4 li = vec::load(xi + j * s + q);
            const Float4 hr = vec::load(xr + (j + 4) * s + q);
            const Float4 hi = vec::load(xi + (j + 4) * s + q);
            ar[j] = vec::add(lr, hr);
            ai[j] = vec::add(li, hi);
            dr[j] = vec::sub(lr, hr);
            di[j] = vec::sub(li, hi);
        }
        // d1 (1 - i) / sqrt 2, d2 (-i), d3 (-1 - i) / sqrt 2
        const Float4 b1r = vec::mul(rootHalf, vec::add(dr[1], di[1]));
        const Float4 b1i = vec::mul(rootHalf, vec::sub(di[1], dr[1]));
        const Float4 b3r = vec::mul(rootHalf, vec::sub(di[3], dr[3]));
        const Float4 b3i = vec::neg(vec::mul(rootHalf, vec::add(dr[3], di[3])));
        const Quad even = radix4(ar[0], ai[0], ar[1], ai[1], ar[2], ai[2], ar[3], ai[3]);
        const Quad odd = radix4(dr[0], di[0], b1r, b1i, di[2], vec::neg(dr[2]), b3r, b3i);
        const int base = static_cast<int>(q);
        target.store(base, even.r0, even.i0);
        target.store(base + stride, odd.r0, odd.i0);
        target.store(base + 2 * stride, even.r1, even.i1);
        target.store(base + 3 * stride, odd.r1, odd.i1);
        target.store(base + 4 * stride, even.r2, even.i2);
        target.store(base + 5 * stride, odd.r2, odd.i2);
        target.store(base + 6 * stride, even.r3, even.i3);
        target.store(base + 7 * stride, odd.r3, odd.i3);
    }
}

/** Sub-lengths above 8 after the first pass take a twiddled radix-4 pass each; 4 or 8 points
    remain for the last pass. */
int numOfMiddlePasses(int m)
{
    int count = 0;
    for (int n = m / 4; n > 8; n /= 4)
        ++count;
    return count;
}

/** The work buffer that the last pass does not read, where a split result may go. */
float* freeWorkBuffer(int m, float* work0, float* work1)
{
    return numOfMiddlePasses(m) % 2 == 0 ? work1 : work0;
}

/** Forward transform of m >= 16 points from source to target through two work buffers of 2m
    floats each. The first pass writes work0, so a split source may live in work1. */
template <class Source, class Target>
void runPasses(int m, const float* twiddles, const Source& source, const Target& target, float* work0, float* work1)
{
    float* inR = work0;
    float* inI = work0 + m;
    float* outR = work1;
    float* outI = work1 + m;
    firstPass(source, inR, inI, m, twiddles);
    twiddles += (m / 16) * groupFloats;
    int n = m / 4;
    int stride = 4;
    for (; n > 8; n /= 4, stride *= 4)
    {
        middlePass(inR, inI, outR, outI, n, stride, twiddles);
        twiddles += (n / 4) * groupFloats;
        std::swap(inR, outR);
        std::swap(inI, outI);
    }
    if (n == 4)
        lastPassRadix4(inR, inI, target, stride);
    else
        lastPassRadix8(inR, inI, target, stride);
}

/** Spectrum of a real frame from the m-point spectrum Z of its packed form: X[k] = (E + t D) / 2
    with a = Z[k], b = Z[m - k], E = (a.re + b.re, a.im - b.im), D = (a.re - b.re, a.im + b.im),
    t = -i e^(-i pi k / m). Bins k and m - k share E and D: X[m - k] = conj((E - t D) / 2), so
    both come from one pair of loads. h holds t / 2. */
void splitSpectrum(const float* zr, const float* zi, float* x, int m, const float* hr, const float* hi)
{
    const Float4 half = vec::broadcast(0.5f);
    for (int k = 1; k + 3 <= m / 2; k += 4)
    {
        const int mirror = m - k - 3;
        const Float4 ar = vec::load(zr + k);
        const Float4 ai = vec::load(zi + k);
        const Float4 br = vec::reverse(vec::load(zr + mirror));
        const Float4 bi = vec::reverse(vec::load(zi + mirror));
        const Float4 dr = vec::sub(ar, br);
        const Float4 di = vec::add(ai, bi);
        const Float4 pr = vec::mul(half, vec::add(ar, br));
        const Float4 pim = vec::mul(half, vec::sub(ai, bi));
        const Float4 wr = vec::load(hr + k);
        const Float4 wi = vec::load(hi + k);
        const Float4 qr = vec::mulSub(vec::mul(wr, dr), wi, di);
        const Float4 qi = vec::fma(vec::mul(wr, di), wi, dr);
        vec::storeInterleaved(x + 2 * k, vec::add(pr, qr), vec::add(pim, qi));
        vec::storeInterleaved(x + 2 * mirror, vec::reverse(vec::sub(pr, qr)), vec::reverse(vec::sub(qi, pim)));
    }
    x[0] = zr[0] + zi[0];
    x[1] = 0.0f;
    x[2 * m] = zr[0] - zi[0];
    x[2 * m + 1] = 0.0f;
}

/** Packed spectrum Z for the inverse of a real frame's bins X: with a = X[k], b = X[m - k] and E,
    D as in splitSpectrum, Z[k] = E + t D and Z[m - k] = conj(E - t D), t = i e^(i pi k / m) held
    in g (no factor 1/2). Bins 0 and m combine into Z[0], imaginary parts included. */
void mergeSpectrum(const float* x, float* zr, float* zi, int m, const float* gr, const float* gi)
{
    for (int k = 1; k + 3 <= m / 2; k += 4)
    {
        const int mirror = m - k - 3;
        const float32x4x2_t a = vec::loadDeinterleaved(x + 2 * k);
        const float32x4x2_t b = vec::loadDeinterleaved(x + 2 * mirror);
        const Float4 br = vec::reverse(b.val[0]);
        const Float4 bi = vec::reverse(b.val[1]);
        const Float4 er = vec::add(a.val[0], br);
        const Float4 ei = vec::sub(a.val[1], bi);
        const Float4 dr = vec::sub(a.val[0], br);
        const Float4 di = vec::add(a.val[1], bi);
        const Float4 wr = vec::load(gr + k);
        const Float4 wi = vec::load(gi + k);
        const Float4 qr = vec::mulSub(vec::mul(wr, dr), wi, di);
        const Float4 qi = vec::fma(vec::mul(wr, di), wi, dr);
        vec::store(zr + k, vec::add(er, qr));
        vec::store(zi + k, vec::add(ei, qi));
        vec::store(zr + mirror, vec::reverse(vec::sub(er, qr)));
        vec::store(zi + mirror, vec::reverse(vec::sub(qi, ei)));
    }
    const float x0r = x[0], x0i = x[1], xmr = x[2 * m], xmi = x[2 * m + 1];
    zr[0] = x0r + xmr - x0i - xmi;
    zi[0] = x0i - xmi + x0r - xmr;
}

} // namespace

void FourierTransform::allocate(int newSize)
{
    requireShape(isPowerOfTwo(newSize), "FourierTransform: the length must be a power of two");
    free();
    size = newSize;
    log2Size = MathEx::log2(newSize);

    const auto half = static_cast<std::size_t>(newSize / 2);
    forwardTwiddles.resize(half);
    inverseTwiddles.resize(half);
    for (std::size_t k = 0; k < half; ++k)
    {
        const float angle = -static_cast<float>(2.0 * pi * static_cast<double>(k)) / static_cast<float>(newSize);
        forwardTwiddles[k] = {std::cos(angle), std::sin(angle)};
        inverseTwiddles[k] = {std::cos(angle), std::sin(-angle)};
    }

    bitReversal.resize(static_cast<std::size_t>(newSize));
    for (int i = 0; i < newSize; ++i)
    {
        int source = i;
        int reversed = 0;
        for (int bit = 0; bit < log2Size; ++bit)
        {
            reversed = (reversed << 1) | (source & 1);
            source >>= 1;
        }
        bitReversal[static_cast<std::size_t>(i)] = reversed;
    }
    buildVectorTables();
}

void FourierTransform::buildVectorTables()
{
    const int m = size;
    passTwiddles.clear();
    realForwardTwiddles.clear();
    realInverseTwiddles.clear();
    if (m < minVectorSize)
        return;

    // e^(-2 pi i j p / n) in double precision, then rounded once.
    const auto addGroup = [this](int n, const int(&p)[4])
    {
        for (int j = 1; j <= 3; ++j)
        {
            float re[4], im[4];
            for (int lane = 0; lane < 4; ++lane)
            {
                const double angle = -2.0 * pi * static_cast<double>((j * p[lane]) % n) / n;
                re[lane] = static_cast<float>(std::cos(angle));
                im[lane] = static_cast<float>(std::sin(angle));
            }
            passTwiddles.insert(passTwiddles.end(), re, re + 4);
            passTwiddles.insert(passTwiddles.end(), im, im + 4);
        }
    };
    for (int p = 0; p < m / 4; p += 4)
        addGroup(m, {p, p + 1, p + 2, p + 3});
    for (int n = m / 4; n > 8; n /= 4)
        for (int p = 0; p < n / 4; ++p)
            addGroup(n, {p, p, p, p});

    // t = -i e^(-i pi k / m) halved for the split, and its conjugate for the merge, for k up to
    // m / 2 (exact at m / 2, where it is -1).
    const auto count = static_cast<std::size_t>(m / 2 + 1);
    realForwardTwiddles.assign(2 * count, 0.0f);
    realInverseTwiddles.assign(2 * count, 0.0f);
    for (std::size_t k = 0; k < count; ++k)
    {
        const double angle = pi * static_cast<double>(k) / m;
        const double sine = k == count - 1 ? 1.0 : std::sin(angle);
        const double cosine = k == count - 1 ? 0.0 : std::cos(angle);
        realForwardTwiddles[k] = static_cast<float>(-0.5 * sine);
        realForwardTwiddles[count + k] = static_cast<float>(-0.5 * cosine);
        realInverseTwiddles[k] = static_cast<float>(-sine);
        realInverseTwiddles[count + k] = static_cast<float>(cosine);
    }
}

void FourierTransform::free()
{
    size = 0;
    log2Size = 0;
}

void FourierTransform::prepare(int length)
{
    if (size != length)
        allocate(length);
}

void FourierTransform::permute(const ComplexSignal32& in, ComplexSignal32& out)
{
    requireShape(in.getNumOfSamples() >= size && out.getNumOfSamples() >= size &&
                     out.getNumOfChannels() >= in.getNumOfChannels(),
                 "FourierTransform::permute: signals shorter than the table size");
    // A local handle keeps the source alive and unchanged when out is the same signal.
    const ComplexSignal32 source = in;
    for (int c = 0; c < source.getNumOfChannels(); ++c)
    {
        const std::complex<float>* x = source.getReadPointer(c);
        std::complex<float>* y = out.getWritePointer(c);
        for (std::size_t i = 0; i < static_cast<std::size_t>(size); ++i)
            y[i] = x[bitReversal[i]];
    }
}

void FourierTransform::fftCore(std::complex<float>* data, int n, bool inverse)
{
    if (n < 2)
        return;
    requireShape(isPowerOfTwo(n) && n <= size, "FourierTransform::fftCore: length not covered by the tables");
    const std::vector<std::complex<float>>& twiddles = inverse ? inverseTwiddles : forwardTwiddles;
    for (int span = 2; span <= n; span *= 2)
    {
        const int halfSpan = span / 2;
        const int step = size / span;
        for (int g = 0; g < n; g += span)
        {
            for (int j = 0; j < halfSpan; ++j)
            {
                const std::complex<float> t = twiddles[static_cast<std::size_t>(j * step)] * data[g + j + halfSpan];
                data[g + j + halfSpan] = data[g + j] - t;
                data[g + j] = data[g + j] + t;
            }
        }
    }
}

void FourierTransform::transformSmallRow(const std::complex<float>* in, std::complex<float>* out, bool inverse)
{
    std::complex<float> row[minVectorSize];
    for (std::size_t i = 0; i < static_cast<std::size_t>(size); ++i)
        row[i] = in[bitReversal[i]];
    fftCore(row, size, inverse);
    std::copy(row, row + size, out);
}

void FourierTransform::forwardRealSmallRow(const float* in, std::complex<float>* out)
{
    const int m = size;
    std::complex<float> z[minVectorSize];
    for (std::size_t i = 0; i < static_cast<std::size_t>(m); ++i)
    {
        const auto source = static_cast<std::size_t>(bitReversal[i]);
        z[i] = {in[2 * source], in[2 * source + 1]};
    }
    fftCore(z, m, false);
    for (int k = 1; k < m; ++k)
    {
        const std::complex<float> a = z[k];
        const std::complex<float> b = z[m - k];
        const std::complex<float> e(a.real() + b.real(), a.imag() - b.imag());
        const std::complex<float> d(a.real() - b.real(), a.imag() + b.imag());
        // -i e^(-i pi k / m)
        const double angle = pi * k / m;
        const std::complex<float> t(static_cast<float>(-std::sin(angle)), static_cast<float>(-std::cos(angle)));
        out[k] = 0.5f * (e + t * d);
    }
    out[0] = {z[0].real() + z[0].imag(), 0.0f};
    out[m] = {z[0].real() - z[0].imag(), 0.0f};
}

void FourierTransform::inverseRealSmallRow(const std::complex<float>* in, float* out)
{
    const int m = size;
    std::complex<float> z[minVectorSize];
    for (int k = 1; k < m; ++k)
    {
        const std::complex<float> a = in[k];
        const std::complex<float> b = in[m - k];
        const std::complex<float> e(a.real() + b.real(), a.imag() - b.imag());
        const std::complex<float> d(a.real() - b.real(), a.imag() + b.imag());
        // i e^(i pi k / m)
        const double angle = pi * k / m;
        const std::complex<float> t(static_cast<float>(-std::sin(angle)), static_cast<float>(std::cos(angle)));
        z[k] = e + t * d;
    }
    const std::complex<float> a = in[0];
    const std::complex<float> b = in[m];
    z[0] = {a.real() + b.real() - a.imag() - b.imag(), a.imag() - b.imag() + a.real() - b.real()};

    std::complex<float> y[minVectorSize];
    for (std::size_t i = 0; i < static_cast<std::size_t>(m); ++i)
        y[i] = z[bitReversal[i]];
    fftCore(y, m, true);
    for (std::size_t i = 0; i < static_cast<std::size_t>(m); ++i)
    {
        out[2 * i] = y[i].real();
        out[2 * i + 1] = y[i].imag();
    }
}

void FourierTransform::transformRow(const float* in, float* out, bool inverse)
{
    float* work0 = reinterpret_cast<float*>(packedSignal.getWritePointer(0));
    float* work1 = reinterpret_cast<float*>(packedSpectrum.getWritePointer(0));
    if (inverse)
        runPasses(size, passTwiddles.data(), InterleavedSource<true>{in}, InterleavedTarget<true>{out}, work0, work1);
    else
        runPasses(size, passTwiddles.data(), InterleavedSource<false>{in}, InterleavedTarget<false>{out}, work0, work1);
}

void FourierTransform::forwardRealRow(const float* in, std::complex<float>* out, float* work0, float* work1)
{
    const int m = size;
    float* z = freeWorkBuffer(m, work0, work1);
    runPasses(m, passTwiddles.data(), InterleavedSource<false>{in}, SplitTarget{z, z + m}, work0, work1);
    const float* h = realForwardTwiddles.data();
    splitSpectrum(z, z + m, reinterpret_cast<float*>(out), m, h, h + m / 2 + 1);
}

void FourierTransform::inverseRealRow(const std::complex<float>* in, float* out, float* work0, float* work1)
{
    const int m = size;
    const float* g = realInverseTwiddles.data();
    mergeSpectrum(reinterpret_cast<const float*>(in), work1, work1 + m, m, g, g + m / 2 + 1);
    // Reading and writing with real and imaginary parts exchanged makes the passes an inverse.
    runPasses(m, passTwiddles.data(), SplitSource{work1 + m, work1}, InterleavedTarget<true>{out}, work0, work1);
}

void FourierTransform::transformChannels(const ComplexSignal32& in, ComplexSignal32& out, int length, int numOfChannels,
                                         bool inverse)
{
    requireShape(length == 0 || isPowerOfTwo(length), "FourierTransform: the length must be a power of two");
    requireShape(std::min(in.getNumOfChannels(), out.getNumOfChannels()) >= numOfChannels &&
                     std::min(in.getNumOfSamples(), out.getNumOfSamples()) >= length,
                 inverse ? "FourierTransform::inverseComplex: input smaller than the output"
                         : "FourierTransform::forwardComplex: output smaller than the input");
    if (length == 0 || numOfChannels == 0)
        return;
    prepare(length);
    if (length >= minVectorSize)
    {
        packedSignal.resizeView(1, length);
        packedSpectrum.resizeView(1, length);
    }
    for (int c = 0; c < numOfChannels; ++c)
    {
        // Writing first: when out shares storage with in, in then reads the same samples.
        std::complex<float>* y = out.getWritePointer(c);
        const std::complex<float>* x = in.getReadPointer(c);
        if (length >= minVectorSize)
            transformRow(reinterpret_cast<const float*>(x), reinterpret_cast<float*>(y), inverse);
        else
            transformSmallRow(x, y, inverse);
    }
}

void FourierTransform::forwardComplex(const ComplexSignal32& in, ComplexSignal32& out)
{
    transformChannels(in, out, in.getNumOfSamples(), in.getNumOfChannels(), false);
}

void FourierTransform::inverseComplex(const ComplexSignal32& in, ComplexSignal32& out)
{
    transformChannels(in, out, out.getNumOfSamples(), out.getNumOfChannels(), true);
}

bool FourierTransform::prepareReal(int length, int numOfChannels, const ComplexSignal32& spectrum, const char* tooSmall,
                                   float* (&work)[2])
{
    requireShape(length == 0 || (length % 2 == 0 && isPowerOfTwo(length / 2)),
                 "FourierTransform: a real length must be twice a power of two");
    if (length == 0)
        return false;
    const int half = length / 2;
    requireShape(spectrum.getNumOfChannels() >= numOfChannels && spectrum.getNumOfSamples() >= half + 1, tooSmall);
    if (numOfChannels == 0)
        return false;
    prepare(half);
    if (half >= minVectorSize)
    {
        packedSignal.resizeView(1, half);
        packedSpectrum.resizeView(1, half);
        work[0] = reinterpret_cast<float*>(packedSignal.getWritePointer(0));
        work[1] = reinterpret_cast<float*>(packedSpectrum.getWritePointer(0));
    }
    return true;
}

void FourierTransform::forwardReal(const Signal32& in, ComplexSignal32& out)
{
    float* work[2] = {nullptr, nullptr};
    if (!prepareReal(in.getNumOfSamples(), in.getNumOfChannels(), out,
                     "FourierTransform::forwardReal: output smaller than the spectrum", work))
        return;
    for (int c = 0; c < in.getNumOfChannels(); ++c)
    {
        if (work[0] == nullptr)
            forwardRealSmallRow(in.getReadPointer(c), out.getWritePointer(c));
        else
            forwardRealRow(in.getReadPointer(c), out.getWritePointer(c), work[0], work[1]);
    }
}

void FourierTransform::inverseReal(const ComplexSignal32& in, Signal32& out)
{
    float* work[2] = {nullptr, nullptr};
    if (!prepareReal(out.getNumOfSamples(), out.getNumOfChannels(), in,
                     "FourierTransform::inverseReal: input smaller than the spectrum", work))
        return;
    for (int c = 0; c < out.getNumOfChannels(); ++c)
    {
        if (work[0] == nullptr)
            inverseRealSmallRow(in.getReadPointer(c), out.getWritePointer(c));
        else
            inverseRealRow(in.getReadPointer(c), out.getWritePointer(c), work[0], work[1]);
    }
}

ComplexSignal32 FourierTransform::forwardComplex(const ComplexSignal32& in)
{
    ComplexSignal32 result(in.getNumOfChannels(), in.getNumOfSamples());
    forwardComplex(in, result);
    return result;
}

ComplexSignal32 FourierTransform::inverseComplex(const ComplexSignal32& in)
{
    ComplexSignal32 result(in.getNumOfChannels(), in.getNumOfSamples());
    inverseComplex(in, result);
    return result;
}

ComplexSignal32 FourierTransform::forwardReal(const Signal32& in)
{
    // An empty frame has no spectrum rather than an unwritten DC bin.
    const int length = in.getNumOfSamples();
    ComplexSignal32 result(in.getNumOfChannels(), length > 0 ? length / 2 + 1 : 0);
    forwardReal(in, result);
    return result;
}

Signal32 FourierTransform::inverseReal(const ComplexSignal32& in)
{
    const int bins = in.getNumOfSamples();
    Signal32 result(in.getNumOfChannels(), bins >= 2 ? 2 * (bins - 1) : 0);
    inverseReal(in, result);
    return result;
}

} // namespace murel
