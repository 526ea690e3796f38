#pragma once

// Mask shaping and mixing: what the processor does with the models' bus frames of one hop.

#include "DspCore/Signals.h"

namespace murel
{

/** Bends the magnitudes of mask by sensitivity (positive: stricter, negative: more permissive)
    and keeps the phases, writing into shaped (mask's shape; may be mask itself). Only channels
    below numOfShapedChannels and bins below numOfShapedBins are bent; the others pass the polar
    conversion alone. */
void shapeMask(float sensitivity, const ComplexSignal32& mask, ComplexSignal32& shaped, int numOfShapedChannels,
               int numOfShapedBins) noexcept;

/** Mixes the bus frames of one hop. Each model-produced bus is shaped by its sensitivity (masking
    models only; at sensitivity 0 the mask is taken as it is) and weighted by its gain; the
    residual is what the buses leave of the unity mask (masking models) or of the input spectrum,
    shaped and weighted likewise; masks are then applied to the input spectrum. Every frame has
    the shape given to prepare. */
class SpectralMixer
{
public:
    /** Sizes the scratch; allocates. */
    void prepare(int numOfChannels, int numOfBins);

    /** busFrames: numOfBusses frames; gains and sensitivities: numOfBusses + 1 values, the
        residual's last. Non-finite results become 0. */
    void mix(const ComplexSignal32* const* busFrames, int numOfBusses, const float* gains, const float* sensitivities,
             bool masks, const ComplexSignal32& input, ComplexSignal32& output) noexcept;

private:
    int numOfChannels = 0;
    int numOfBins = 0;
    ComplexSignal32 shaped;
    ComplexSignal32 busSum;
    ComplexSignal32 residual;
};

} // namespace murel
