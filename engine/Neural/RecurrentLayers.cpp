#include "Neural/RecurrentLayers.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "DspCore/VectorMath.h"
#include "DspCore/VectorOps.h"

namespace murel
{

namespace
{

using vec::Float4;
namespace f64 = vec::f64;

// The gate functions are taken in double precision and rounded once, so that a long recurrence
// follows the frameworks' float results closely. Beyond these bounds both are saturated in float.
constexpr float sigmoidBound = 88.0f;
constexpr float tanhBound = 20.0f;

inline Float4 clamp(Float4 x, float bound)
{
    x = vec::select(vec::lessThan(x, vec::broadcast(-bound)), vec::broadcast(-bound), x);
    return vec::select(vec::greaterThan(x, vec::broadcast(bound)), vec::broadcast(bound), x);
}

inline f64::Double2 sigmoidOf(f64::Double2 x)
{
    const f64::Double2 one = f64::broadcast(1.0);
    return f64::div(one, f64::add(one, vec::exponential(f64::neg(x))));
}

/** 1 / (1 + e^-x), x finite or NaN. */
inline Float4 sigmoid(Float4 x)
{
    x = clamp(x, sigmoidBound);
    return f64::narrow(sigmoidOf(f64::widenLow(x)), sigmoidOf(f64::widenHigh(x)));
}

/** (1 - e^-2a) / (1 + e^-2a) for a >= 0: no cancellation near 0. */
inline f64::Double2 tanhOfMagnitude(f64::Double2 a)
{
    const f64::Double2 one = f64::broadcast(1.0);
    const f64::Double2 e = vec::exponential(f64::mul(a, f64::broadcast(-2.0)));
    return f64::div(f64::sub(one, e), f64::add(one, e));
}

inline Float4 hyperbolicTangent(Float4 x)
{
    const Float4 a = clamp(vec::abs(x), tanhBound);
    const Float4 t = f64::narrow(tanhOfMagnitude(f64::widenLow(a)), tanhOfMagnitude(f64::widenHigh(a)));
    return vec::select(vec::lessThan(x, vec::zero()), vec::neg(t), t);
}

inline float sigmoid(float x)
{
    const double bounded =
        std::clamp(static_cast<double>(x), -static_cast<double>(sigmoidBound), static_cast<double>(sigmoidBound));
    return std::isnan(x) ? x : static_cast<float>(1.0 / (1.0 + std::exp(-bounded)));
}

inline float hyperbolicTangent(float x)
{
    return static_cast<float>(std::tanh(static_cast<double>(x)));
}

/** The row-major matrix [rows][columns] transposed. */
std::vector<float> transpose(const float* values, int rows, int columns)
{
    std::vector<float> t(static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns));
    float* out = t.data();
    for (std::ptrdiff_t r = 0; r < rows; ++r)
        for (std::ptrdiff_t c = 0; c < columns; ++c)
            out[c * rows + r] = values[r * columns + c];
    return t;
}

} // namespace

RecurrentLayer::RecurrentLayer(const LayerMap& layers, const RecurrentLayerRecord& record)
    : BaseLayer<float>(layers, record.source, record.type), isLstm(record.type == LayerType::lstm),
      numOfGates(record.getNumOfGates())
{
    inputWeights = record.inputWeights.values;
    recurrentWeights = record.recurrentWeights.values;
    inputBias = record.inputBias.values;
    recurrentBias = record.recurrentBias.values;
}

bool RecurrentLayer::propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape)
{
    if (!BaseLayer<float>::propagateShape(inputShapes, outputShape))
        return false;
    const std::int64_t inputs = outputShape.getNumOfElements();
    if (inputs < 1 || inputs > maxNumOfTensorElements || !configure(static_cast<int>(inputs)))
        return false;
    outputShape.rows = numOfHidden;
    outputShape.channels = 1;
    return true;
}

std::int64_t RecurrentLayer::getNumOfStateElements() const
{
    return (2 * static_cast<std::int64_t>(numOfGates) + 2) * numOfHidden;
}

bool RecurrentLayer::configure(int numOfInputValues)
{
    configured = false;
    if (inputWeights.shape.size() != 2 || recurrentWeights.shape.size() != 2)
        return false;
    const int hiddenSize = recurrentWeights.shape[1];
    const std::int64_t gateRows = static_cast<std::int64_t>(numOfGates) * hiddenSize;
    if (hiddenSize < 1 || recurrentWeights.shape[0] != gateRows || inputWeights.shape[0] != gateRows ||
        inputWeights.shape[1] != numOfInputValues || !kernels::isBiasUsable(inputBias, static_cast<int>(gateRows)) ||
        !kernels::isBiasUsable(recurrentBias, static_cast<int>(gateRows)))
        return false;
    numOfInputs = numOfInputValues;
    numOfHidden = hiddenSize;
    const int gates = static_cast<int>(gateRows);
    inputMatrix =
        kernels::PackedMatrix(transpose(inputWeights.getReadPointer(), gates, numOfInputs).data(), numOfInputs, gates);
    recurrentMatrix = kernels::PackedMatrix(transpose(recurrentWeights.getReadPointer(), gates, numOfHidden).data(),
                                            numOfHidden, gates);
    inputGates.assign(static_cast<std::size_t>(gates), 0.0f);
    recurrentGates.assign(static_cast<std::size_t>(gates), 0.0f);
    hidden.assign(static_cast<std::size_t>(numOfHidden), 0.0f);
    cell.assign(static_cast<std::size_t>(numOfHidden), 0.0f);
    output = Tensor<float>({1, numOfHidden, 1});
    configured = true;
    return true;
}

void RecurrentLayer::reset()
{
    std::fill(hidden.begin(), hidden.end(), 0.0f);
    std::fill(cell.begin(), cell.end(), 0.0f);
}

bool RecurrentLayer::push(const TensorView<const float>& input, BaseLayer<float>*)
{
    if (input.isEmpty())
        return false;
    const std::int64_t frameSize = static_cast<std::int64_t>(input.shape[1]) * input.shape[2];
    if (!configured && !configure(static_cast<int>(frameSize)))
        return false;
    if (frameSize != numOfInputs)
        return false;
    const int frames = input.shape[0];
    kernels::prepareOutput(output, frames, numOfHidden, 1);
    const float* x = input.getReadPointer();
    float* y = output.data->data;
    for (int t = 0; t < frames; ++t)
    {
        step(x + static_cast<std::ptrdiff_t>(t) * numOfInputs);
        std::memcpy(y + static_cast<std::ptrdiff_t>(t) * numOfHidden, hidden.data(),
                    static_cast<std::size_t>(numOfHidden) * sizeof(float));
    }
    return pushToFollowingLayers(output);
}

void RecurrentLayer::step(const float* x)
{
    const int n = numOfHidden;
    float* gx = inputGates.data();
    float* gh = recurrentGates.data();
    float* h = hidden.data();
    const kernels::Segment inputSegment{x, 0, numOfInputs};
    const kernels::Segment recurrentSegment{h, 0, n};
    const float* bx = inputBias.isEmpty() ? nullptr : inputBias.getReadPointer();
    const float* bh = recurrentBias.isEmpty() ? nullptr : recurrentBias.getReadPointer();
    inputMatrix.multiply(&inputSegment, 1, 0, 1, gx, 0, bx, 0);

    if (isLstm)
    {
        // Both products add up before the gates: the recurrent one accumulates onto the input one.
        if (bh != nullptr)
            for (int j = 0; j < 4 * n; ++j)
                gx[j] += bh[j];
        recurrentMatrix.multiply(&recurrentSegment, 1, 0, 1, gx, 0, gx, 0);
        float* c = cell.data();
        int j = 0;
        for (; j + vec::numOfLanes <= n; j += vec::numOfLanes)
        {
            const Float4 i = sigmoid(vec::load(gx + j));
            const Float4 f = sigmoid(vec::load(gx + n + j));
            const Float4 g = hyperbolicTangent(vec::load(gx + 2 * n + j));
            const Float4 o = sigmoid(vec::load(gx + 3 * n + j));
            const Float4 newCell = vec::fma(vec::mul(f, vec::load(c + j)), i, g);
            vec::store(c + j, newCell);
            vec::store(h + j, vec::mul(o, hyperbolicTangent(newCell)));
        }
        for (; j < n; ++j)
        {
            const float i = sigmoid(gx[j]);
            const float f = sigmoid(gx[n + j]);
            const float g = hyperbolicTangent(gx[2 * n + j]);
            const float o = sigmoid(gx[3 * n + j]);
            c[j] = f * c[j] + i * g;
            h[j] = o * hyperbolicTangent(c[j]);
        }
        return;
    }

    // The new gate scales the recurrent product only, so the two are kept apart.
    recurrentMatrix.multiply(&recurrentSegment, 1, 0, 1, gh, 0, bh, 0);
    int j = 0;
    for (; j + vec::numOfLanes <= n; j += vec::numOfLanes)
    {
        const Float4 r = sigmoid(vec::add(vec::load(gx + j), vec::load(gh + j)));
        const Float4 z = sigmoid(vec::add(vec::load(gx + n + j), vec::load(gh + n + j)));
        const Float4 candidate = hyperbolicTangent(vec::fma(vec::load(gx + 2 * n + j), r, vec::load(gh + 2 * n + j)));
        // (1 - z) n + z h, as n + z (h - n)
        vec::store(h + j, vec::fma(candidate, z, vec::sub(vec::load(h + j), candidate)));
    }
    for (; j < n; ++j)
    {
        const float r = sigmoid(gx[j] + gh[j]);
        const float z = sigmoid(gx[n + j] + gh[n + j]);
        const float candidate = hyperbolicTangent(gx[2 * n + j] + r * gh[2 * n + j]);
        h[j] = candidate + z * (h[j] - candidate);
    }
}

} // namespace murel
