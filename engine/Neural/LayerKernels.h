#pragma once

// Register-blocked multiply-accumulate kernels shared by the convolution and attention layers,
// and small helpers for the layers' output tensors. Internal to the engine.

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Neural/Tensor.h"

namespace murel::kernels
{

/** A run of the inner dimension of a product: tile row m reads aRow + m * aRowStride, k = 0 ...
    length - 1, against rows bRow ... bRow + length - 1 of the right-hand matrix. */
struct Segment
{
    const float* aRow = nullptr;
    int bRow = 0;
    int length = 0;
};

/** A right-hand matrix [numOfRows][numOfColumns], re-laid-out once into column blocks that the
    tile kernels stream contiguously. Columns past the last multiple of four stay in the
    original row-major copy for the scalar tail. */
class PackedMatrix
{
public:
    PackedMatrix() = default;
    /** Packs the row-major matrix values [numOfRows][numOfColumns]. */
    PackedMatrix(const float* values, int numOfRows, int numOfColumns);

    /** c[m][n] = start[m][n] + sum over the segments and k of a(m, k) * b[bRow + k][n], for
        m < numOfTileRows and every column n, each sum taken in segment order and then in
        increasing k with fused multiply-adds. start is null for zeros; startRowStride 0 gives
        every row the same start row; start may be c itself (same stride) to accumulate. */
    void multiply(const Segment* segments, int numOfSegments, std::ptrdiff_t aRowStride, int numOfTileRows, float* c,
                  std::ptrdiff_t cRowStride, const float* start, std::ptrdiff_t startRowStride) const;

private:
    struct Block
    {
        int firstColumn = 0;
        int numOfVectors = 0;
        std::size_t offset = 0;
    };

    int numOfRows = 0;
    int numOfColumns = 0;
    /** Columns covered by blocks (a multiple of four). */
    int numOfVectorColumns = 0;
    std::vector<Block> blocks;
    Tensor<float> packed;
    Tensor<float> original;
};

/** out[c] = start[c] (0 when start is null) + sum over the taps, in order, of
    x[tap][xOffset + c] * w[tap][c], for c < n, with fused multiply-adds. */
void multiplyAccumulateChannels(const float* const* x, std::ptrdiff_t xOffset, const float* const* w, int numOfTaps,
                                const float* start, float* out, int n);

/** Gives a layer's own output the shape [frames, rows, channels]. Receivers only ever see views
    of it, so its storage is never shared and is written in place. */
void prepareOutput(Tensor<float>& output, int frames, int rows, int channels);
inline void prepareOutput(Tensor<float>& output, const std::array<int, 3>& shape)
{
    prepareOutput(output, shape[0], shape[1], shape[2]);
}

/** Axis of a tensor, 0 when it has fewer axes. */
inline int getAxis(const Tensor<float>& tensor, std::size_t axis)
{
    return tensor.shape.size() > axis ? tensor.shape[axis] : 0;
}

/** Axis of a 4-axis weight tensor, 0 for any other rank. */
inline int getWeightAxis(const Tensor<float>& weights, std::size_t axis)
{
    return weights.shape.size() == 4 ? weights.shape[axis] : 0;
}

/** No bias, or one value per channel. */
inline bool isBiasUsable(const Tensor<float>& bias, int channels)
{
    return bias.isEmpty() || bias.getNumOfElements() == channels;
}

/** Latencies add up along a path; nonsense files must not overflow them. */
inline int addLatency(int downstream, std::int64_t own)
{
    return static_cast<int>(std::clamp(static_cast<std::int64_t>(downstream) + own, static_cast<std::int64_t>(INT_MIN),
                                       static_cast<std::int64_t>(INT_MAX)));
}

/** Smallest q with q * divisor >= numerator, for divisor >= 1. */
inline int divideRoundingUp(int numerator, int divisor)
{
    return numerator <= 0 ? -((-numerator) / divisor) : (numerator + divisor - 1) / divisor;
}

/** Largest q with q * divisor <= numerator, for divisor >= 1. */
inline int divideRoundingDown(int numerator, int divisor)
{
    return numerator >= 0 ? numerator / divisor : -((-numerator + divisor - 1) / divisor);
}

/** Sum of squares of n values, in four partial sums. */
float sumOfSquares(const float* x, int n);
/** y[i] = x[i] * gain. */
void scale(const float* x, float gain, float* y, int n);

} // namespace murel::kernels
