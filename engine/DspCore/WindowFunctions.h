#pragma once

#include "DspCore/Export.h"
#include "DspCore/Signals.h"

namespace murel
{

/** Window generators. Each returns numOfChannels identical rows of one window of numOfSamples
    samples, computed in double precision and stored as float.

    The cosine-sum windows and the Vorbis window are sampled at the centres n + 0.5 of N cells
    spanning one period: they are symmetric about (N - 1) / 2 and have no zero sample, and two
    Hann windows (or the squares of two square-root Hann windows) shifted by N / 2 sum to 1.

    Fewer than 1 channel gives a signal of no channels and no samples; fewer than 1 sample gives
    numOfChannels rows of no samples. */
class MUREL_EXPORT WindowFunctions
{
public:
    /** 0.5 - 0.5 cos(x), x = 2 pi (n + 0.5) / N. */
    static Signal32 generateHannWindow(int numOfChannels, int numOfSamples);
    /** 0.54 - 0.46 cos(x). */
    static Signal32 generateHammingWindow(int numOfChannels, int numOfSamples);
    /** sqrt(0.5 - 0.5 cos(x)). */
    static Signal32 generateSqrtHannWindow(int numOfChannels, int numOfSamples);
    /** sin(pi / 2 s^2), s = sin((n + 0.5) pi / N). */
    static Signal32 generateVorbisWindow(int numOfChannels, int numOfSamples);
    /** Four-term Blackman-Harris style cosine sum. */
    static Signal32 generateBlackmanWindow(int numOfChannels, int numOfSamples);
    /** Five-term flat-top cosine sum. */
    static Signal32 generateFlatTopWindow(int numOfChannels, int numOfSamples);
    /** exp(-t^2 / 2), t = (n - N/2) / (sigma N/2), sampled at n itself. A sigma of 0 gives the
        limit: 1 at n = N/2 and 0 elsewhere. */
    static Signal32 generateGaussianWindow(int numOfChannels, int numOfSamples, float sigma);
    /** Dolph-Chebyshev window for the linear sidelobe ratio attenuation (values below 1, or not
        a number, are taken as 1). Not rescaled: its peak is about N times the normalised form. */
    static Signal32 generateDolphChebyshevWindow(int numOfChannels, int numOfSamples, float attenuation);
};

} // namespace murel
