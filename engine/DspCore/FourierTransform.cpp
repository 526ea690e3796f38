#include "DspCore/FourierTransform.h"

#include <cmath>
#include <stdexcept>

#include "DspCore/MathEx.h"

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

void FourierTransform::transformComplex(const ComplexSignal32& in, ComplexSignal32& out, int length, int numOfChannels,
                                        bool inverse)
{
    if (length == 0 || numOfChannels == 0)
        return;
    prepare(length);
    const ComplexSignal32 source = in;
    for (int c = 0; c < numOfChannels; ++c)
    {
        const std::complex<float>* x = source.getReadPointer(c);
        std::complex<float>* y = out.getWritePointer(c);
        for (std::size_t i = 0; i < static_cast<std::size_t>(size); ++i)
            y[i] = x[bitReversal[i]];
        fftCore(y, size, inverse);
    }
}

void FourierTransform::forwardComplex(const ComplexSignal32& in, ComplexSignal32& out)
{
    const int length = in.getNumOfSamples();
    requireShape(length == 0 || isPowerOfTwo(length), "FourierTransform: the length must be a power of two");
    requireShape(out.getNumOfChannels() >= in.getNumOfChannels() && out.getNumOfSamples() >= length,
                 "FourierTransform::forwardComplex: output smaller than the input");
    transformComplex(in, out, length, in.getNumOfChannels(), false);
}

void FourierTransform::inverseComplex(const ComplexSignal32& in, ComplexSignal32& out)
{
    const int length = out.getNumOfSamples();
    requireShape(length == 0 || isPowerOfTwo(length), "FourierTransform: the length must be a power of two");
    requireShape(in.getNumOfChannels() >= out.getNumOfChannels() && in.getNumOfSamples() >= length,
                 "FourierTransform::inverseComplex: input smaller than the output");
    transformComplex(in, out, length, out.getNumOfChannels(), true);
}

void FourierTransform::forwardReal(const Signal32& in, ComplexSignal32& out)
{
    const int length = in.getNumOfSamples();
    const int numOfChannels = in.getNumOfChannels();
    requireShape(length == 0 || (length % 2 == 0 && isPowerOfTwo(length / 2)),
                 "FourierTransform: a real length must be twice a power of two");
    if (length == 0)
        return;
    const int half = length / 2;
    requireShape(out.getNumOfChannels() >= numOfChannels && out.getNumOfSamples() >= half + 1,
                 "FourierTransform::forwardReal: output smaller than the spectrum");
    if (numOfChannels == 0)
        return;

    packedSignal.resizeView(numOfChannels, half);
    for (int c = 0; c < numOfChannels; ++c)
    {
        const float* x = in.getReadPointer(c);
        std::complex<float>* z = packedSignal.getWritePointer(c);
        for (int m = 0; m < half; ++m)
            z[m] = {x[2 * m], x[2 * m + 1]};
    }
    packedSpectrum.resizeView(numOfChannels, half);
    forwardComplex(packedSignal, packedSpectrum);

    for (int c = 0; c < numOfChannels; ++c)
    {
        const std::complex<float>* z = packedSpectrum.getReadPointer(c);
        std::complex<float>* X = out.getWritePointer(c);
        for (int k = 1; k < half; ++k)
        {
            // -i e^(-i pi k / M), evaluated directly rather than by a drifting recurrence.
            const double angle = pi * k / half;
            const std::complex<float> t(static_cast<float>(-std::sin(angle)), static_cast<float>(-std::cos(angle)));
            const std::complex<float> a = z[k];
            const std::complex<float> b = z[half - k];
            const std::complex<float> e(a.real() + b.real(), a.imag() - b.imag());
            const std::complex<float> d(a.real() - b.real(), a.imag() + b.imag());
            X[k] = 0.5f * (e + t * d);
        }
        X[0] = {z[0].real() + z[0].imag(), 0.0f};
        X[half] = {z[0].real() - z[0].imag(), 0.0f};
    }
}

void FourierTransform::inverseReal(const ComplexSignal32& in, Signal32& out)
{
    const int length = out.getNumOfSamples();
    const int numOfChannels = out.getNumOfChannels();
    requireShape(length == 0 || (length % 2 == 0 && isPowerOfTwo(length / 2)),
                 "FourierTransform: a real length must be twice a power of two");
    if (length == 0)
        return;
    const int half = length / 2;
    requireShape(in.getNumOfChannels() >= numOfChannels && in.getNumOfSamples() >= half + 1,
                 "FourierTransform::inverseReal: input smaller than the spectrum");
    if (numOfChannels == 0)
        return;

    packedSpectrum.resizeView(numOfChannels, half);
    for (int c = 0; c < numOfChannels; ++c)
    {
        const std::complex<float>* X = in.getReadPointer(c);
        std::complex<float>* z = packedSpectrum.getWritePointer(c);
        for (int k = 1; k < half; ++k)
        {
            // i e^(i pi k / M)
            const double angle = pi * k / half;
            const std::complex<float> t(static_cast<float>(-std::sin(angle)), static_cast<float>(std::cos(angle)));
            const std::complex<float> a = X[k];
            const std::complex<float> b = X[half - k];
            const std::complex<float> e(a.real() + b.real(), a.imag() - b.imag());
            const std::complex<float> d(a.real() - b.real(), a.imag() + b.imag());
            z[k] = e + t * d;
        }
        const std::complex<float> a = X[0];
        const std::complex<float> b = X[half];
        z[0] = {a.real() + b.real() - a.imag() - b.imag(), a.imag() - b.imag() + a.real() - b.real()};
    }
    packedSignal.resizeView(numOfChannels, half);
    inverseComplex(packedSpectrum, packedSignal);

    for (int c = 0; c < numOfChannels; ++c)
    {
        const std::complex<float>* z = packedSignal.getReadPointer(c);
        float* x = out.getWritePointer(c);
        for (int m = 0; m < half; ++m)
        {
            x[2 * m] = z[m].real();
            x[2 * m + 1] = z[m].imag();
        }
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
