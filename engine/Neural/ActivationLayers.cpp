#include "Neural/ActivationLayers.h"

#include <cmath>

#include "DspCore/VectorMath.h"
#include "DspCore/VectorOps.h"

namespace murel
{

namespace
{

// The base of the exponentials, rounded to single precision; the powers are taken in double
// precision and rounded back.
constexpr double e = static_cast<double>(2.7182817459106445f);

inline float exponential(float x)
{
    return static_cast<float>(std::pow(e, static_cast<double>(x)));
}

/** exponential of four lanes: the power in double precision, rounded once, as the scalar form
    computes it but for a last-bit difference of the double result (well below float rounding). */
inline vec::Float4 exponentials(vec::Float4 x)
{
    // ln of the single-precision base: e^(x ln b) is b^x.
    const vec::f64::Double2 logOfBase = vec::f64::broadcast(0.99999996963214);
    return vec::f64::narrow(vec::exponential(vec::f64::mul(vec::f64::widenLow(x), logOfBase)),
                            vec::exponential(vec::f64::mul(vec::f64::widenHigh(x), logOfBase)));
}

/** Applies a scalar function to each lane of a vector. */
template <typename Function>
inline vec::Float4 perLane(vec::Float4 v, Function function)
{
    float lanes[vec::numOfLanes];
    vec::store(lanes, v);
    for (float& lane : lanes)
        lane = function(lane);
    return vec::load(lanes);
}

/** out[i] = scalar(in[i]), four lanes at a time through vector where they fit. */
template <typename Vector, typename Scalar>
inline void map(const float* in, float* out, int numOfElements, Vector vector, Scalar scalar)
{
    int i = 0;
    for (; i + vec::numOfLanes <= numOfElements; i += vec::numOfLanes)
        vec::store(out + i, vector(vec::load(in + i)));
    for (; i < numOfElements; ++i)
        out[i] = scalar(in[i]);
}

/** out[i] = max(x, 0) + negativePart(min(x, 0)) for x = in[i], as map does it. */
template <typename Vector, typename Scalar>
inline void mapParts(const float* in, float* out, int numOfElements, Vector negativePart, Scalar scalarNegativePart)
{
    const vec::Float4 zero = vec::zero();
    map(
        in, out, numOfElements,
        [&](vec::Float4 x)
        {
            const vec::Float4 positive = vec::select(vec::lessThan(x, zero), zero, x);
            return vec::add(positive, negativePart(vec::select(vec::greaterThan(x, zero), zero, x)));
        },
        [&](float x) { return (x < 0.0f ? 0.0f : x) + scalarNegativePart(x > 0.0f ? 0.0f : x); });
}

/** value below low gives low, above high gives high, anything else (NaN too) stays. */
inline vec::Float4 clamp(vec::Float4 value, vec::Float4 low, vec::Float4 high)
{
    value = vec::select(vec::lessThan(value, low), low, value);
    return vec::select(vec::greaterThan(value, high), high, value);
}

inline float clamp(float value, float low, float high)
{
    if (value < low)
        return low;
    if (value > high)
        return high;
    return value;
}

} // namespace

ActivationLayer::ActivationLayer(const LayerMap& layers, const std::string& source, LayerType layerType)
    : BaseLayer<float>(layers, source, layerType)
{
}

bool ActivationLayer::push(const TensorView<const float>& input, BaseLayer<float>*)
{
    output.ensureShape(input.shape[0], input.shape[1], input.shape[2]);
    const int numOfElements = input.getNumOfElements();
    if (numOfElements > 0)
        apply(input.getReadPointer(), output.data->data, numOfElements);
    return pushToFollowingLayers(output);
}

ReLULayer::ReLULayer(const LayerMap& layers, const ActivationLayerRecord& record)
    : ActivationLayer(layers, record.source, LayerType::relu)
{
}

void ReLULayer::apply(const float* in, float* out, int numOfElements) const
{
    const vec::Float4 zero = vec::zero();
    map(
        in, out, numOfElements, [zero](vec::Float4 x) { return vec::select(vec::lessThan(x, zero), zero, x); },
        [](float x) { return x < 0.0f ? 0.0f : x; });
}

LeakyReLULayer::LeakyReLULayer(const LayerMap& layers, const LeakyReLULayerRecord& record)
    : ActivationLayer(layers, record.source, LayerType::leakyRelu), negativeSlope(record.negativeSlope)
{
}

void LeakyReLULayer::apply(const float* in, float* out, int numOfElements) const
{
    const vec::Float4 slope = vec::broadcast(negativeSlope);
    mapParts(
        in, out, numOfElements, [slope](vec::Float4 negative) { return vec::mul(slope, negative); },
        [this](float negative) { return negativeSlope * negative; });
}

ELULayer::ELULayer(const LayerMap& layers, const ActivationLayerRecord& record)
    : ActivationLayer(layers, record.source, LayerType::elu)
{
}

void ELULayer::apply(const float* in, float* out, int numOfElements) const
{
    const auto expMinusOne = [](float x) { return exponential(x) - 1.0f; };
    mapParts(
        in, out, numOfElements, [&expMinusOne](vec::Float4 negative) { return perLane(negative, expMinusOne); },
        expMinusOne);
}

SigmoidLayer::SigmoidLayer(const LayerMap& layers, const ActivationLayerRecord& record)
    : ActivationLayer(layers, record.source, LayerType::sigmoid)
{
}

void SigmoidLayer::apply(const float* in, float* out, int numOfElements) const
{
    const vec::Float4 low = vec::broadcast(-10.0f);
    const vec::Float4 high = vec::broadcast(10.0f);
    const vec::Float4 one = vec::broadcast(1.0f);
    map(
        in, out, numOfElements,
        [&](vec::Float4 x)
        {
            const vec::Float4 t = exponentials(clamp(x, low, high));
            return vec::div(t, vec::add(t, one));
        },
        [](float x)
        {
            const float t = exponential(clamp(x, -10.0f, 10.0f));
            return t / (t + 1.0f);
        });
}

HardSigmoidLayer::HardSigmoidLayer(const LayerMap& layers, const ActivationLayerRecord& record)
    : ActivationLayer(layers, record.source, LayerType::hardSigmoid)
{
}

void HardSigmoidLayer::apply(const float* in, float* out, int numOfElements) const
{
    constexpr float sixth = 0.16666667f;
    const vec::Float4 factor = vec::broadcast(sixth);
    const vec::Float4 half = vec::broadcast(0.5f);
    const vec::Float4 zero = vec::zero();
    const vec::Float4 one = vec::broadcast(1.0f);
    // Multiply, round, then add: not fused.
    map(
        in, out, numOfElements, [&](vec::Float4 x) { return clamp(vec::add(vec::mul(x, factor), half), zero, one); },
        [](float x)
        {
            const float scaled = x * sixth;
            return clamp(scaled + 0.5f, 0.0f, 1.0f);
        });
}

SoftplusLayer::SoftplusLayer(const LayerMap& layers, const ActivationLayerRecord& record)
    : ActivationLayer(layers, record.source, LayerType::softplus)
{
}

void SoftplusLayer::apply(const float* in, float* out, int numOfElements) const
{
    const auto logarithm = [](float u) { return static_cast<float>(std::log(static_cast<double>(u))); };
    const vec::Float4 one = vec::broadcast(1.0f);
    map(
        in, out, numOfElements,
        [&](vec::Float4 x) { return perLane(vec::add(perLane(x, exponential), one), logarithm); },
        [&](float x) { return logarithm(exponential(x) + 1.0f); });
}

} // namespace murel
