#include "Neural/Tensor.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "DspCore/AlignedMemory.h"
#include "Neural/ModelReading.h"

namespace murel
{

namespace
{

/** Widens IEEE half floats with the exponent 31 read as a finite exponent (0x7C00 is 65536),
    as the model format stores them. Branch-free so that the compiler vectorises it. */
void widenHalfFloats(const std::uint16_t* in, float* out, int count)
{
    for (int i = 0; i < count; ++i)
    {
        const std::uint32_t h = in[i];
        const std::uint32_t sign = (h & 0x8000u) << 16;
        const std::uint32_t exponent = (h >> 10) & 0x1Fu;
        const std::uint32_t mantissa = h & 0x3FFu;
        const std::uint32_t normalBits = sign | ((exponent + 112u) << 23) | (mantissa << 13);
        // Zero and subnormals: m * 2^-24 is exact in single precision.
        float subnormal = static_cast<float>(mantissa) * 5.9604644775390625e-8f;
        std::uint32_t subnormalBits;
        std::memcpy(&subnormalBits, &subnormal, sizeof(subnormalBits));
        subnormalBits |= sign;
        const std::uint32_t bits = exponent == 0 ? subnormalBits : normalBits;
        std::memcpy(out + i, &bits, sizeof(bits));
    }
}

} // namespace

template <typename T>
TensorData<T>::TensorData(int numOfElements) : size(std::max(numOfElements, 0))
{
    if (size > 0)
    {
        data = static_cast<T*>(alignedMalloc(static_cast<std::size_t>(size) * sizeof(T)));
        if (data == nullptr)
            throw std::bad_alloc();
    }
}

template <typename T>
TensorData<T>::~TensorData()
{
    alignedFree(data);
}

template <typename T>
int Tensor<T>::countElements(const std::vector<int>& axes)
{
    if (axes.empty())
        return 0;
    std::int64_t count = 1;
    for (const int axis : axes)
    {
        if (axis < 0)
            throw std::length_error("Tensor: negative axis length");
        count *= axis;
        if (count > maxNumOfTensorElements)
        {
            // A later zero axis still makes the tensor empty.
            if (std::find(axes.begin(), axes.end(), 0) != axes.end())
                return 0;
            throw std::length_error("Tensor: too many elements");
        }
    }
    return static_cast<int>(count);
}

template <typename T>
Tensor<T>::Tensor(const std::vector<int>& newShape)
    : data(std::make_shared<TensorData<T>>(countElements(newShape))), shape(newShape)
{
}

template <typename T>
Tensor<T>::Tensor(std::shared_ptr<InputStream> stream, int version)
{
    using namespace modelreading;
    InputStream& in = *stream;
    int format = 1;
    if (version > 4104)
        format = readUInt8(in);
    if (format != 0 && format != 1)
        throw ModelFormatError("Tensor: unknown element format");

    const int rank = readInt8(in);
    if (rank < 0)
        throw std::length_error("Tensor: negative rank");
    requireBytes(in, rank, 4);
    shape.resize(static_cast<std::size_t>(rank));
    bool hasZeroAxis = false;
    for (int& axis : shape)
    {
        axis = readInt32(in);
        if (axis < 0)
            throw ModelFormatError("Tensor: negative axis length");
        hasZeroAxis = hasZeroAxis || axis == 0;
    }
    if (shape.empty() || hasZeroAxis)
        return;

    // The payload must be in the stream before anything is allocated for it.
    const int elementSize = format == 1 ? 4 : 2;
    std::int64_t count = 1;
    for (const int axis : shape)
    {
        count *= axis;
        if (count > maxNumOfTensorElements)
            throw ModelFormatError("Tensor: too many elements");
    }
    requireBytes(in, count, elementSize);

    const int n = static_cast<int>(count);
    data = std::make_shared<TensorData<T>>(n);
    if (format == 1)
    {
        readBytes(in, data->data, n * 4);
        return;
    }
    std::vector<std::uint16_t> halves(static_cast<std::size_t>(n));
    readBytes(in, halves.data(), n * 2);
    widenHalfFloats(halves.data(), data->data, n);
}

template <typename T>
void Tensor<T>::ensureUnique()
{
    if (data == nullptr || data.use_count() < 2)
        return;
    auto copy = std::make_shared<TensorData<T>>(data->size);
    if (data->size > 0)
        std::memcpy(copy->data, data->data, static_cast<std::size_t>(data->size) * sizeof(T));
    data = std::move(copy);
}

template <typename T>
void Tensor<T>::ensureShape(const std::vector<int>& newShape)
{
    const int count = countElements(newShape);
    shape = newShape;
    if (data != nullptr && data->size >= count)
        return;
    data = std::make_shared<TensorData<T>>(count);
}

template <typename T>
void Tensor<T>::ensureShape(int frames, int rows, int channels)
{
    const int axes[3] = {frames, rows, channels};
    shape.assign(axes, axes + 3);
    const int count = countElements(shape);
    if (data != nullptr && data->size >= count)
        return;
    data = std::make_shared<TensorData<T>>(count);
}

template <typename T>
void Tensor<T>::setToZero()
{
    ensureUnique();
    const int count = getNumOfElements();
    if (data != nullptr && count > 0)
        std::fill_n(data->data, count, T{});
}

template class TensorData<float>;
template class Tensor<float>;

} // namespace murel
