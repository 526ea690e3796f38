#include "Processor/MaskMixing.h"

#include <algorithm>
#include <cmath>
#include <complex>

#include "DspCore/VectorMath.h"
#include "DspCore/VectorOps.h"
#include "Neural/LayerKernels.h"

namespace murel
{

namespace
{

using Complex = std::complex<float>;

// Complex spectra are handled as interleaved float pairs (re, im), which lets the additions
// and real scalings run four floats at a time with exactly the scalar results.
float* floats(Complex* p)
{
    return reinterpret_cast<float*>(p);
}
const float* floats(const Complex* p)
{
    return reinterpret_cast<const float*>(p);
}

/** dst += g * src over n floats; the product is rounded before the sum. */
void addScaled(float* dst, const float* src, float g, int n)
{
    const vec::Float4 gains = vec::broadcast(g);
    int i = 0;
    for (; i + vec::numOfLanes <= n; i += vec::numOfLanes)
        vec::store(dst + i, vec::add(vec::load(dst + i), vec::mul(vec::load(src + i), gains)));
    for (; i < n; ++i)
        dst[i] += src[i] * g;
}

/** dst = a - b over n floats. */
void subtract(float* dst, const float* a, const float* b, int n)
{
    int i = 0;
    for (; i + vec::numOfLanes <= n; i += vec::numOfLanes)
        vec::store(dst + i, vec::sub(vec::load(a + i), vec::load(b + i)));
    for (; i < n; ++i)
        dst[i] = a[i] - b[i];
}

/** dst = (1, 0) - src over n complex values. */
void oneMinus(Complex* dst, const Complex* src, int n)
{
    const float onePattern[4] = {1.0f, 0.0f, 1.0f, 0.0f};
    const vec::Float4 ones = vec::load(onePattern);
    float* d = floats(dst);
    const float* s = floats(src);
    const int numOfFloats = 2 * n;
    int i = 0;
    for (; i + vec::numOfLanes <= numOfFloats; i += vec::numOfLanes)
        vec::store(d + i, vec::sub(ones, vec::load(s + i)));
    for (; i < numOfFloats; i += 2)
    {
        d[i] = 1.0f - s[i];
        d[i + 1] = 0.0f - s[i + 1];
    }
}

/** dst = a * b, complex, over n values: (ar br - ai bi, ar bi + ai br), no fused operations. */
void multiplyComplex(Complex* dst, const Complex* a, const Complex* b, int n)
{
    float* d = floats(dst);
    const float* x = floats(a);
    const float* y = floats(b);
    int i = 0;
    for (; i + vec::numOfLanes <= n; i += vec::numOfLanes)
    {
        const float32x4x2_t p = vec::loadDeinterleaved(x + 2 * i);
        const float32x4x2_t q = vec::loadDeinterleaved(y + 2 * i);
        const vec::Float4 re = vec::sub(vec::mul(p.val[0], q.val[0]), vec::mul(p.val[1], q.val[1]));
        const vec::Float4 im = vec::add(vec::mul(p.val[0], q.val[1]), vec::mul(p.val[1], q.val[0]));
        vec::storeInterleaved(d + 2 * i, re, im);
    }
    for (; i < n; ++i)
    {
        const float ar = x[2 * i];
        const float ai = x[2 * i + 1];
        const float br = y[2 * i];
        const float bi = y[2 * i + 1];
        d[2 * i] = ar * br - ai * bi;
        d[2 * i + 1] = ar * bi + ai * br;
    }
}

/** The power the magnitudes are raised by; 1 leaves them as they are. */
float shapingExponent(float sensitivity)
{
    return static_cast<float>(std::pow(2.718281828459045, static_cast<double>(sensitivity * 0.0075f)));
}

} // namespace

void shapeMask(float sensitivityValue, const ComplexSignal32& mask, ComplexSignal32& shaped, int numOfShapedChannels,
               int numOfShapedBins) noexcept
{
    const float exponent = shapingExponent(sensitivityValue);
    const float power = exponent - 1.0f;
    const int numOfBins = mask.getNumOfSamples();
    constexpr int lanes = vec::numOfLanes;

    for (int c = 0; c < mask.getNumOfChannels(); ++c)
    {
        // Read before the write pointer is taken: shaped may share mask's storage.
        const Complex* in = mask.getReadPointer(c);
        Complex* out = shaped.getWritePointer(c);
        in = &shaped == &mask ? out : in;
        const int shapedEnd = c < numOfShapedChannels ? std::min(numOfBins, numOfShapedBins) : 0;
        // Four bins at a time; a last partial group runs through the same code, padded, so that
        // every bin gets the same arithmetic.
        for (int k = 0; k < numOfBins; k += lanes)
        {
            const int count = std::min(lanes, numOfBins - k);
            alignas(16) float re[lanes] = {};
            alignas(16) float im[lanes] = {};
            if (count == lanes)
            {
                const float32x4x2_t parts = vec::loadDeinterleaved(floats(in + k));
                vec::store(re, parts.val[0]);
                vec::store(im, parts.val[1]);
            }
            else
            {
                for (int i = 0; i < count; ++i)
                {
                    re[i] = in[k + i].real();
                    im[i] = in[k + i].imag();
                }
            }
            const vec::Float4 phase = vec::phaseOf(re, im);
            alignas(16) float magnitude[lanes];
            vec::store(magnitude, vec::polarMagnitude(vec::load(re), vec::load(im)));
            // With the exponent 1 the factor is a power 0 of a positive number: exactly 1.
            if (exponent != 1.0f)
                for (int i = 0; i < count && k + i < shapedEnd; ++i)
                {
                    const float m = magnitude[i];
                    if (exponent < 1.0f)
                        magnitude[i] = m * std::pow(m + 1e-12f, power);
                    else
                        magnitude[i] = m * std::pow((0.5f - std::cos(m * 3.1415927f) * 0.5f) + 1e-12f, power);
                }
            vec::Float4 outRe;
            vec::Float4 outIm;
            vec::fromPolar(phase, vec::load(magnitude), outRe, outIm);
            if (count == lanes)
            {
                vec::storeInterleaved(floats(out + k), outRe, outIm);
            }
            else
            {
                vec::store(re, outRe);
                vec::store(im, outIm);
                for (int i = 0; i < count; ++i)
                    out[k + i] = Complex(re[i], im[i]);
            }
        }
    }
}

void SpectralMixer::prepare(int channels, int bins)
{
    numOfChannels = std::max(channels, 0);
    numOfBins = std::max(bins, 0);
    shaped = ComplexSignal32(numOfChannels, numOfBins);
    busSum = ComplexSignal32(numOfChannels, numOfBins);
    residual = ComplexSignal32(numOfChannels, numOfBins);
}

void SpectralMixer::mix(const ComplexSignal32* const* busFrames, int numOfBusses, const float* gains,
                        const float* sensitivities, bool masks, const ComplexSignal32& input,
                        ComplexSignal32& output) noexcept
{
    const int numOfFloats = 2 * numOfBins;
    for (int b = 0; b < numOfBusses; ++b)
    {
        const ComplexSignal32* y = busFrames[b];
        // An exponent of 1 leaves a mask as it is: the polar round trip would only round it.
        if (masks && shapingExponent(sensitivities[b]) != 1.0f)
        {
            shapeMask(sensitivities[b], *y, shaped, numOfChannels, numOfBins);
            y = &shaped;
        }
        const float g = gains[b];
        for (int c = 0; c < numOfChannels; ++c)
        {
            const float* source = floats(y->getReadPointer(c));
            float* sum = floats(busSum.getWritePointer(c));
            float* weighted = floats(output.getWritePointer(c));
            if (b == 0)
            {
                std::copy_n(source, numOfFloats, sum);
                kernels::scale(source, g, weighted, numOfFloats);
            }
            else
            {
                vec::addTo(sum, source, numOfFloats);
                addScaled(weighted, source, g, numOfFloats);
            }
        }
    }

    // The residual: what the model-produced buses leave of the unity mask, or of the spectrum.
    for (int c = 0; c < numOfChannels; ++c)
    {
        if (masks)
            oneMinus(residual.getWritePointer(c), busSum.getReadPointer(c), numOfBins);
        else
            subtract(floats(residual.getWritePointer(c)), floats(input.getReadPointer(c)),
                     floats(busSum.getReadPointer(c)), numOfFloats);
    }
    const float residualSensitivity = sensitivities[numOfBusses];
    if (masks && shapingExponent(residualSensitivity) != 1.0f)
        shapeMask(residualSensitivity, residual, residual, numOfChannels, numOfBins);
    const float residualGain = gains[numOfBusses];
    for (int c = 0; c < numOfChannels; ++c)
    {
        float* weighted = floats(output.getWritePointer(c));
        addScaled(weighted, floats(residual.getReadPointer(c)), residualGain, numOfFloats);
        if (masks)
            multiplyComplex(output.getWritePointer(c), output.getReadPointer(c), input.getReadPointer(c), numOfBins);
        vec::replaceNonFinite(weighted, numOfFloats);
    }
}

} // namespace murel
