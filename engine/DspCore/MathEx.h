#pragma once

#include <cstdint>

#include "DspCore/Export.h"

namespace murel
{

/** Numeric helpers shared by the engine. */
class MUREL_EXPORT MathEx
{
public:
    /** 20 log10(gain) in single precision; 0 gives minus infinity. */
    static float toDecibel(float gain);
    /** As toDecibel, but never below floorDecibel (also for 0 and negative gains). */
    static float toDecibel(float gain, float floorDecibel);
    /** 10^(decibel / 20) in single precision. */
    static float fromDecibel(float decibel);

    /** Smallest power of two that is at least n; 1 for n below 2. */
    static int findLargerPowerOfTwo(int n);
    /** The nearer of the two powers of two around n; a tie goes to the smaller. */
    static int findNearestPowerOfTwo(int n);
    /** Floor of the base-2 logarithm for n >= 1; 0 for n of 0 or less. */
    static int log2(int n);

    /** Rounds halves away from zero. */
    static int64_t roundToInt64(double x);
    /** Wraps a phase into about [-pi, pi]. */
    static float toMinusPiToPi(float phase);

    /** Per-interval gain of a decay that falls by 60 dB in reverbTime. */
    static float reverbTimeToGain(float reverbTime, float interval);
    /** Inverse of reverbTimeToGain. */
    static float gainToReverbTime(float gain, float interval);
};

/** a - b floor(a / b), taking the sign of b; a itself when b is 0. */
MUREL_EXPORT float remainder(float a, float b);

} // namespace murel
