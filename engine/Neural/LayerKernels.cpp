#include "Neural/LayerKernels.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "DspCore/VectorOps.h"

namespace murel::kernels
{

namespace
{

#if defined(__aarch64__) || defined(_M_ARM64)
// 32 vector registers: 4 x 4 accumulators plus the a and b vectors, and a fused multiply-add
// by lane that costs nothing extra.
constexpr std::size_t maxTileRows = 4;
constexpr std::size_t maxTileVectors = 4;
constexpr bool multiplyByLane = true;
#else
// 16 registers, and picking a lane costs a shuffle like a broadcast does: 2 x 6 accumulators,
// b reloaded for each row, one broadcast per row and k.
constexpr std::size_t maxTileRows = 2;
constexpr std::size_t maxTileVectors = 6;
constexpr bool multiplyByLane = false;
#endif

using vec::Float4;

template <int lane, std::size_t rows, std::size_t vectors>
inline void multiplyLane(Float4 (&acc)[rows][vectors], const Float4 (&a)[rows], const float* b)
{
    Float4 bv[vectors];
    for (std::size_t v = 0; v < vectors; ++v)
        bv[v] = vec::load(b + v * vec::numOfLanes);
    for (std::size_t m = 0; m < rows; ++m)
        for (std::size_t v = 0; v < vectors; ++v)
            acc[m][v] = vec::fmaLane<lane>(acc[m][v], bv[v], a[m]);
}

/** One tile of rows x (vectors x 4) outputs, kept in registers over every segment. */
template <std::size_t rows, std::size_t vectors>
void multiplyTile(const Segment* segments, int numOfSegments, std::ptrdiff_t aOffset, std::ptrdiff_t aRowStride,
                  const float* block, float* c, std::ptrdiff_t cRowStride, const float* start,
                  std::ptrdiff_t startRowStride)
{
    constexpr std::ptrdiff_t width = static_cast<std::ptrdiff_t>(vectors) * vec::numOfLanes;
    Float4 acc[rows][vectors];
    for (std::size_t m = 0; m < rows; ++m)
        for (std::size_t v = 0; v < vectors; ++v)
            acc[m][v] = start != nullptr ? vec::load(start + static_cast<std::ptrdiff_t>(m) * startRowStride +
                                                     static_cast<std::ptrdiff_t>(v) * vec::numOfLanes)
                                         : vec::zero();

    for (int s = 0; s < numOfSegments; ++s)
    {
        const Segment& segment = segments[s];
        const float* a[rows];
        for (std::size_t m = 0; m < rows; ++m)
            a[m] = segment.aRow + aOffset + static_cast<std::ptrdiff_t>(m) * aRowStride;
        const float* b = block + segment.bRow * width;
        const int length = segment.length;
        int k = 0;
        for (; multiplyByLane && k + vec::numOfLanes <= length; k += vec::numOfLanes, b += vec::numOfLanes * width)
        {
            Float4 av[rows];
            for (std::size_t m = 0; m < rows; ++m)
                av[m] = vec::load(a[m] + k);
            multiplyLane<0>(acc, av, b);
            multiplyLane<1>(acc, av, b + width);
            multiplyLane<2>(acc, av, b + 2 * width);
            multiplyLane<3>(acc, av, b + 3 * width);
        }
        for (; k < length; ++k, b += width)
        {
            Float4 bv[vectors];
            for (std::size_t v = 0; v < vectors; ++v)
                bv[v] = vec::load(b + v * vec::numOfLanes);
            for (std::size_t m = 0; m < rows; ++m)
            {
                const Float4 x = vec::loadBroadcast(a[m] + k);
                for (std::size_t v = 0; v < vectors; ++v)
                    acc[m][v] = vec::fma(acc[m][v], bv[v], x);
            }
        }
    }

    for (std::size_t m = 0; m < rows; ++m)
        for (std::size_t v = 0; v < vectors; ++v)
            vec::store(c + static_cast<std::ptrdiff_t>(m) * cRowStride +
                           static_cast<std::ptrdiff_t>(v) * vec::numOfLanes,
                       acc[m][v]);
}

using TileFunction = void (*)(const Segment*, int, std::ptrdiff_t, std::ptrdiff_t, const float*, float*, std::ptrdiff_t,
                              const float*, std::ptrdiff_t);
using TileRow = std::array<TileFunction, maxTileVectors>;

template <std::size_t row, std::size_t... vectors>
constexpr TileRow makeTileRow(std::index_sequence<vectors...>)
{
    return {multiplyTile<row + 1, vectors + 1>...};
}

template <std::size_t... rows>
constexpr std::array<TileRow, maxTileRows> makeTileTable(std::index_sequence<rows...>)
{
    return {makeTileRow<rows>(std::make_index_sequence<maxTileVectors>())...};
}

/** Every tile shape up to the largest: [rows - 1][vectors - 1]. */
constexpr std::array<TileRow, maxTileRows> tiles = makeTileTable(std::make_index_sequence<maxTileRows>());

} // namespace

PackedMatrix::PackedMatrix(const float* values, int rows, int columns)
    : numOfRows(std::max(rows, 0)), numOfColumns(std::max(columns, 0)),
      numOfVectorColumns(numOfColumns / vec::numOfLanes * vec::numOfLanes)
{
    const std::size_t k = static_cast<std::size_t>(numOfRows);
    packed = Tensor<float>({std::max(numOfRows * numOfVectorColumns, 1)});
    std::size_t offset = 0;
    const int blockWidth = static_cast<int>(maxTileVectors) * vec::numOfLanes;
    for (int first = 0; first < numOfVectorColumns; first += blockWidth)
    {
        Block block;
        block.firstColumn = first;
        block.numOfVectors = std::min(blockWidth, numOfVectorColumns - first) / vec::numOfLanes;
        block.offset = offset;
        const std::size_t width = static_cast<std::size_t>(block.numOfVectors * vec::numOfLanes);
        for (std::size_t row = 0; row < k; ++row)
            std::memcpy(packed.data->data + offset + row * width,
                        values + row * static_cast<std::size_t>(numOfColumns) + static_cast<std::size_t>(first),
                        width * sizeof(float));
        offset += k * width;
        blocks.push_back(block);
    }
    if (numOfVectorColumns < numOfColumns && numOfRows > 0)
    {
        original = Tensor<float>({numOfRows, numOfColumns});
        std::memcpy(original.data->data, values, k * static_cast<std::size_t>(numOfColumns) * sizeof(float));
    }
}

void PackedMatrix::multiply(const Segment* segments, int numOfSegments, std::ptrdiff_t aRowStride, int numOfTileRows,
                            float* c, std::ptrdiff_t cRowStride, const float* start,
                            std::ptrdiff_t startRowStride) const
{
    for (const Block& block : blocks)
    {
        const float* b = packed.data->data + block.offset;
        const std::ptrdiff_t column = block.firstColumn;
        const std::size_t vectors = static_cast<std::size_t>(block.numOfVectors - 1);
        const TileFunction fullTile = tiles[maxTileRows - 1][vectors];
        constexpr int tileRows = static_cast<int>(maxTileRows);
        int m = 0;
        for (; m + tileRows <= numOfTileRows; m += tileRows)
            fullTile(segments, numOfSegments, m * aRowStride, aRowStride, b, c + m * cRowStride + column, cRowStride,
                     start != nullptr ? start + m * startRowStride + column : nullptr, startRowStride);
        if (m < numOfTileRows)
            tiles[static_cast<std::size_t>(numOfTileRows - m - 1)][vectors](
                segments, numOfSegments, m * aRowStride, aRowStride, b, c + m * cRowStride + column, cRowStride,
                start != nullptr ? start + m * startRowStride + column : nullptr, startRowStride);
    }

    if (numOfVectorColumns == numOfColumns)
        return;
    const float* b = original.data->data;
    for (int m = 0; m < numOfTileRows; ++m)
        for (int n = numOfVectorColumns; n < numOfColumns; ++n)
        {
            float sum = start != nullptr ? start[m * startRowStride + n] : 0.0f;
            for (int s = 0; s < numOfSegments; ++s)
            {
                const float* a = segments[s].aRow + m * aRowStride;
                const float* column = b + static_cast<std::ptrdiff_t>(segments[s].bRow) * numOfColumns + n;
                for (int k = 0; k < segments[s].length; ++k)
                    sum += a[k] * column[static_cast<std::ptrdiff_t>(k) * numOfColumns];
            }
            c[m * cRowStride + n] = sum;
        }
}

void multiplyAccumulateChannels(const float* const* x, std::ptrdiff_t xOffset, const float* const* w, int numOfTaps,
                                const float* start, float* out, int n)
{
    int c = 0;
    for (; c + 4 * vec::numOfLanes <= n; c += 4 * vec::numOfLanes)
    {
        Float4 acc[4];
        for (int v = 0; v < 4; ++v)
            acc[v] = start != nullptr ? vec::load(start + c + v * vec::numOfLanes) : vec::zero();
        for (int tap = 0; tap < numOfTaps; ++tap)
            for (int v = 0; v < 4; ++v)
                acc[v] = vec::fma(acc[v], vec::load(x[tap] + xOffset + c + v * vec::numOfLanes),
                                  vec::load(w[tap] + c + v * vec::numOfLanes));
        for (int v = 0; v < 4; ++v)
            vec::store(out + c + v * vec::numOfLanes, acc[v]);
    }
    for (; c + vec::numOfLanes <= n; c += vec::numOfLanes)
    {
        Float4 acc = start != nullptr ? vec::load(start + c) : vec::zero();
        for (int tap = 0; tap < numOfTaps; ++tap)
            acc = vec::fma(acc, vec::load(x[tap] + xOffset + c), vec::load(w[tap] + c));
        vec::store(out + c, acc);
    }
    for (; c < n; ++c)
    {
        float acc = start != nullptr ? start[c] : 0.0f;
        for (int tap = 0; tap < numOfTaps; ++tap)
            acc += x[tap][xOffset + c] * w[tap][c];
        out[c] = acc;
    }
}

void prepareOutput(Tensor<float>& output, int frames, int rows, int channels)
{
    output.ensureShape(frames, rows, channels);
}

float sumOfSquares(const float* x, int n)
{
    Float4 sums = vec::zero();
    int i = 0;
    for (; i + vec::numOfLanes <= n; i += vec::numOfLanes)
    {
        const Float4 v = vec::load(x + i);
        sums = vec::fma(sums, v, v);
    }
    float sum = vec::horizontalSum(sums);
    for (; i < n; ++i)
        sum += x[i] * x[i];
    return sum;
}

void scale(const float* x, float gain, float* y, int n)
{
    const Float4 g = vec::broadcast(gain);
    int i = 0;
    for (; i + vec::numOfLanes <= n; i += vec::numOfLanes)
        vec::store(y + i, vec::mul(vec::load(x + i), g));
    for (; i < n; ++i)
        y[i] = x[i] * gain;
}

} // namespace murel::kernels
