#include "DspCore/MathEx.h"

#include <cmath>
#include <cstring>

namespace murel
{

float MathEx::toDecibel(float gain)
{
    return 20.0f * std::log10(gain);
}

float MathEx::toDecibel(float gain, float floorDecibel)
{
    if (gain == 0.0f)
        return floorDecibel;
    const float decibel = 20.0f * std::log10(gain);
    return decibel > floorDecibel ? decibel : floorDecibel;
}

float MathEx::fromDecibel(float decibel)
{
    return std::pow(10.0f, decibel / 20.0f);
}

int MathEx::findLargerPowerOfTwo(int n)
{
    int power = 1;
    while (power < n && power <= (1 << 29))
        power <<= 1;
    return power;
}

int MathEx::findNearestPowerOfTwo(int n)
{
    if (n <= 0)
        return 0;
    const int larger = findLargerPowerOfTwo(n);
    const int smaller = larger / 2;
    return std::abs(larger - n) < std::abs(n - smaller) ? larger : smaller;
}

int MathEx::log2(int n)
{
    int result = 0;
    for (n >>= 1; n > 0; n >>= 1)
        ++result;
    return result;
}

int64_t MathEx::roundToInt64(double x)
{
    return x > 0.0 ? static_cast<int64_t>(x + 0.5) : static_cast<int64_t>(x - 0.5);
}

float MathEx::toMinusPiToPi(float phase)
{
    // Adding 1.5 * 2^52 leaves the quotient rounded to the nearest integer (ties to even) in the
    // low bits of the mantissa.
    const double shifted = static_cast<double>(phase) / 6.283185307179586 + 6755399441055744.0;
    uint64_t bits = 0;
    std::memcpy(&bits, &shifted, sizeof(bits));
    const auto k = static_cast<int32_t>(static_cast<uint32_t>(bits & 0xFFFFFFFFu));
    return phase - static_cast<float>(static_cast<double>(k) * 6.283185307179586);
}

float MathEx::reverbTimeToGain(float reverbTime, float interval)
{
    return std::pow(1000.0f, -interval / reverbTime);
}

float MathEx::gainToReverbTime(float gain, float interval)
{
    return static_cast<float>(-3.0 * static_cast<double>(interval) / static_cast<double>(std::log10(gain)));
}

float remainder(float a, float b)
{
    if (b == 0.0f)
        return a;
    return a - b * std::floor(a / b);
}

} // namespace murel
