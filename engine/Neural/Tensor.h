#pragma once

#include <array>
#include <memory>
#include <type_traits>
#include <vector>

#include "DspCore/Export.h"
#include "DspCore/Files.h"

namespace murel
{

/** Tensors hold fewer than 2^29 elements, so that their byte size fits a signed 32-bit value. */
constexpr int maxNumOfTensorElements = (1 << 29) - 1;

/** Shared element storage of tensors: size floats, 64-byte aligned, uninitialised. */
template <typename T>
class MUREL_EXPORT TensorData
{
public:
    /** Throws std::bad_alloc when the block cannot be allocated. */
    explicit TensorData(int size);
    ~TensorData();

    TensorData(const TensorData&) = delete;
    TensorData& operator=(const TensorData&) = delete;

    /** Capacity in elements. */
    int size = 0;
    /** Null only when size is 0. */
    T* data = nullptr;
};

/** An n-dimensional row-major array whose storage is shared between copies. A holder that
    writes makes the storage private first with ensureUnique. Layers exchange tensors with the
    axes [time, rows, channels]. */
template <typename T>
struct TensorView;

template <typename T>
class MUREL_EXPORT Tensor
{
public:
    /** No axes and no storage. */
    Tensor() = default;
    /** New, unshared, uninitialised storage of exactly the element count of shape. */
    explicit Tensor(const std::vector<int>& shape);

    /** Product of the axes; 0 without axes. Throws std::length_error for a negative axis or a
        count that a tensor cannot hold. */
    static int countElements(const std::vector<int>& shape);

    /** Number of elements in use (product of shape; 0 without axes). */
    int getNumOfElements() const { return countElements(shape); }
    /** True without axes or without elements. */
    bool isEmpty() const { return getNumOfElements() == 0; }
    bool hasStorage() const { return data != nullptr; }
    int getNumOfAxes() const { return static_cast<int>(shape.size()); }

    /** Element pointer for reading; null without storage. */
    const T* getReadPointer() const { return data != nullptr ? data->data : nullptr; }
    /** Element pointer for writing: makes the storage unique first. */
    T* getWritePointer()
    {
        ensureUnique();
        return data != nullptr ? data->data : nullptr;
    }

    /** Copies the whole block when another tensor shares it. */
    void ensureUnique();
    /** Sets the shape and reallocates (without keeping contents) only when the storage is too
        small. Does not make the storage unique. */
    void ensureShape(const std::vector<int>& newShape);
    /** ensureShape for three axes; reuses the shape's own capacity, so that a tensor whose
        storage is large enough is reshaped without touching the heap. */
    void ensureShape(int frames, int rows, int channels);
    /** Makes the storage unique and zeroes the elements in use. */
    void setToZero();
    /** Takes the shape and a copy of the elements of view, reusing the storage when it is large
        enough. */
    void assign(const TensorView<const T>& view);

    std::shared_ptr<TensorData<T>> data;
    std::vector<int> shape;
};

/** A borrowed block [time, rows, channels] that the layers pass along the audio path. It never
    owns, allocates or copies; it is valid while its owner keeps the storage and shape. */
template <typename T>
struct TensorView
{
    TensorView() = default;
    TensorView(T* elements, int frames, int rows, int channels) : data(elements), shape{{frames, rows, channels}} {}
    /** A read-only view of an owner with three axes; any other owner shows no frames. */
    template <typename U, typename = std::enable_if_t<std::is_same_v<const U, T>>>
    TensorView(const Tensor<U>& owner)
    {
        if (owner.shape.size() == 3)
        {
            data = owner.getReadPointer();
            shape = {{owner.shape[0], owner.shape[1], owner.shape[2]}};
        }
    }
    /** Read-only from a writable view. */
    template <typename U, typename = std::enable_if_t<std::is_same_v<const U, T>>>
    TensorView(const TensorView<U>& other) : data(other.data), shape(other.shape)
    {
    }

    int getNumOfElements() const { return shape[0] * shape[1] * shape[2]; }
    bool isEmpty() const { return data == nullptr || getNumOfElements() == 0; }
    T* getReadPointer() const { return data; }
    /** Start of frame t. */
    T* getFrame(int t) const { return data + static_cast<std::ptrdiff_t>(t) * shape[1] * shape[2]; }

    T* data = nullptr;
    std::array<int, 3> shape{{0, 0, 0}};
};

extern template class TensorData<float>;
extern template class Tensor<float>;

} // namespace murel
