#include "DspCore/WindowFunctions.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace murel
{

namespace
{

constexpr double pi = 3.14159265358979323846;

/** Fills row 0 with value(n) for n below numOfSamples and copies it into the other rows. */
template <typename Generator>
Signal32 makeWindow(int numOfChannels, int numOfSamples, Generator value)
{
    if (numOfChannels < 1)
        return Signal32();
    Signal32 window(numOfChannels, numOfSamples);
    if (numOfSamples < 1)
        return window;
    float* row = window.getWritePointer(0);
    for (int n = 0; n < numOfSamples; ++n)
        row[n] = static_cast<float>(value(n));
    for (int c = 1; c < numOfChannels; ++c)
        std::memcpy(window.getWritePointer(c), window.getReadPointer(0),
                    static_cast<std::size_t>(numOfSamples) * sizeof(float));
    return window;
}

/** Centre-sampled phase 2 pi (n + 0.5) / N. */
double cellPhase(int n, int numOfSamples)
{
    return 2.0 * pi * (n + 0.5) / numOfSamples;
}

} // namespace

Signal32 WindowFunctions::generateHannWindow(int numOfChannels, int numOfSamples)
{
    return makeWindow(numOfChannels, numOfSamples,
                      [=](int n) { return 0.5 - 0.5 * std::cos(cellPhase(n, numOfSamples)); });
}

Signal32 WindowFunctions::generateHammingWindow(int numOfChannels, int numOfSamples)
{
    return makeWindow(numOfChannels, numOfSamples,
                      [=](int n) { return 0.54 - 0.46 * std::cos(cellPhase(n, numOfSamples)); });
}

Signal32 WindowFunctions::generateSqrtHannWindow(int numOfChannels, int numOfSamples)
{
    return makeWindow(numOfChannels, numOfSamples,
                      [=](int n) { return std::sqrt(0.5 - 0.5 * std::cos(cellPhase(n, numOfSamples))); });
}

Signal32 WindowFunctions::generateVorbisWindow(int numOfChannels, int numOfSamples)
{
    return makeWindow(numOfChannels, numOfSamples,
                      [=](int n)
                      {
                          const double s = std::sin((n + 0.5) * pi / numOfSamples);
                          return std::sin(0.5 * pi * s * s);
                      });
}

Signal32 WindowFunctions::generateBlackmanWindow(int numOfChannels, int numOfSamples)
{
    return makeWindow(numOfChannels, numOfSamples,
                      [=](int n)
                      {
                          const double x = cellPhase(n, numOfSamples);
                          return 0.3635819 - 0.4891775 * std::cos(x) + 0.1365995 * std::cos(2.0 * x) -
                                 0.0106411 * std::cos(3.0 * x);
                      });
}

Signal32 WindowFunctions::generateFlatTopWindow(int numOfChannels, int numOfSamples)
{
    return makeWindow(numOfChannels, numOfSamples,
                      [=](int n)
                      {
                          const double x = cellPhase(n, numOfSamples);
                          return 0.21557895 - 0.41663158 * std::cos(x) + 0.277263158 * std::cos(2.0 * x) -
                                 0.083578947 * std::cos(3.0 * x) + 0.006947368 * std::cos(4.0 * x);
                      });
}

Signal32 WindowFunctions::generateGaussianWindow(int numOfChannels, int numOfSamples, float sigma)
{
    const double centre = 0.5 * numOfSamples;
    const double width = static_cast<double>(sigma) * centre;
    return makeWindow(numOfChannels, numOfSamples,
                      [=](int n)
                      {
                          const double offset = n - centre;
                          // A zero width is the limit of ever narrower windows, not 0 / 0.
                          if (width == 0.0)
                              return offset == 0.0 ? 1.0 : 0.0;
                          const double t = offset / width;
                          return std::exp(-0.5 * t * t);
                      });
}

Signal32 WindowFunctions::generateDolphChebyshevWindow(int numOfChannels, int numOfSamples, float attenuation)
{
    // A negative length is an empty window, as for the other shapes.
    numOfSamples = std::max(numOfSamples, 0);
    const double ratio = attenuation >= 1.0f ? static_cast<double>(attenuation) : 1.0;
    const int order = numOfSamples - 1;
    const int halfOrder = order / 2;
    const double x0 = order > 1 ? std::cosh(std::acosh(ratio) / order) : 1.0;

    // The first half and the middle are summed, each value mirrored into the second half.
    std::vector<float> row(static_cast<std::size_t>(numOfSamples));
    for (int n = 0; n <= numOfSamples / 2 && n < numOfSamples; ++n)
    {
        double sum = 0.0;
        if (order > 1)
        {
            for (int k = 1; k <= halfOrder; ++k)
            {
                const double y = x0 * std::cos(k * pi / numOfSamples);
                const double chebyshev =
                    std::abs(y) <= 1.0 ? std::cos(order * std::acos(y)) : std::cosh(order * std::acosh(y));
                sum += chebyshev * std::cos(2.0 * pi * k * (n - halfOrder) / numOfSamples);
            }
        }
        sum *= 2.0;
        const auto value = static_cast<float>(sum + ratio);
        row[static_cast<std::size_t>(n)] = value;
        row[static_cast<std::size_t>(numOfSamples - 1 - n)] = value;
    }
    return makeWindow(numOfChannels, numOfSamples, [&row](int n) { return row[static_cast<std::size_t>(n)]; });
}

} // namespace murel
