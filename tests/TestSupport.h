#pragma once

// Helpers shared by the test programs of every subsystem.

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "DspCore/AudioFormat.h"
#include "DspCore/Signals.h"

namespace murel::test
{

constexpr double pi = 3.14159265358979323846;

/** Default channel mapping at the given rate. */
inline AudioFormat makeFormat(int numOfChannels, double sampleRate = 48000.0)
{
    AudioFormat format;
    format.createDefaultChannelMapping(numOfChannels);
    format.setSampleRate(sampleRate);
    return format;
}

/** Uniform noise in [-1, 1], channel after channel. */
inline Signal32 makeNoise(int numOfChannels, int numOfSamples, unsigned seed)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> distribution(-1.0f, 1.0f);
    Signal32 noise(numOfChannels, numOfSamples);
    for (int c = 0; c < numOfChannels; ++c)
        for (int i = 0; i < numOfSamples; ++i)
            noise.getWritePointer(c)[i] = distribution(generator);
    return noise;
}

/** length samples of every channel from start on. */
inline Signal32 slice(const Signal32& signal, int start, int length)
{
    Signal32 part(signal.getNumOfChannels(), length);
    for (int c = 0; length > 0 && c < signal.getNumOfChannels(); ++c)
        std::copy_n(signal.getReadPointer(c) + start, length, part.getWritePointer(c));
    return part;
}

/** The rows of channels (vectors of samples) from start on; read-only rows for const channels. */
template <typename Rows>
auto pointers(Rows& channels, std::size_t start)
{
    std::vector<decltype(channels[0].data())> result;
    for (auto& channel : channels)
        result.push_back(channel.data() + start);
    return result;
}

/** The first numOfBins (0: all) of the unscaled DFT of x in double precision; sign -1 forward,
    +1 inverse. Plain doubles and an incremental root index keep the O(N^2) sums quick in
    unoptimised builds. */
inline std::vector<std::complex<double>> directDft(const std::vector<std::complex<double>>& x, int sign,
                                                   int numOfBins = 0)
{
    const std::size_t n = x.size();
    std::vector<double> roots(2 * n), in(2 * n);
    for (std::size_t m = 0; m < n; ++m)
    {
        roots[2 * m] = std::cos(sign * 2.0 * pi * static_cast<double>(m) / static_cast<double>(n));
        roots[2 * m + 1] = std::sin(sign * 2.0 * pi * static_cast<double>(m) / static_cast<double>(n));
        in[2 * m] = x[m].real();
        in[2 * m + 1] = x[m].imag();
    }
    const double* w = roots.data();
    const double* v = in.data();
    std::vector<std::complex<double>> result(numOfBins == 0 ? n : static_cast<std::size_t>(numOfBins));
    for (std::size_t k = 0; k < result.size(); ++k)
    {
        double re = 0.0, im = 0.0;
        for (std::size_t i = 0, r = 0; i < n; ++i, r = r + k >= n ? r + k - n : r + k) // r = k * i mod n
        {
            re += v[2 * i] * w[2 * r] - v[2 * i + 1] * w[2 * r + 1];
            im += v[2 * i] * w[2 * r + 1] + v[2 * i + 1] * w[2 * r];
        }
        result[k] = {re, im};
    }
    return result;
}

/** The unscaled inverse DFT of the Hermitian spectrum that bins 0 .. n/2 imply; the imaginary
    parts at DC and Nyquist are dropped. */
inline std::vector<std::complex<double>> hermitianInverse(const std::vector<std::complex<double>>& bins, std::size_t n)
{
    std::vector<std::complex<double>> full(n);
    for (std::size_t k = 0; k <= n / 2; ++k)
    {
        full[k] = bins[k];
        full[(n - k) % n] = std::conj(bins[k]);
    }
    full[0] = bins[0].real();
    full[n / 2] = bins[n / 2].real();
    return directDft(full, 1);
}

} // namespace murel::test
