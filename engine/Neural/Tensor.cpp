#include "Neural/Tensor.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "DspCore/AlignedMemory.h"

namespace murel
{

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
            throw std::length_error("a tensor has a negative axis length");
        count *= axis;
        if (count > maxNumOfTensorElements)
        {
            // A later zero axis still makes the tensor empty.
            if (std::find(axes.begin(), axes.end(), 0) != axes.end())
                return 0;
            throw std::length_error("a tensor has more elements than the engine takes");
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

template <typename T>
void Tensor<T>::assign(const TensorView<const T>& view)
{
    ensureShape(view.shape[0], view.shape[1], view.shape[2]);
    T* const target = getWritePointer();
    const int count = view.getNumOfElements();
    if (count > 0)
        std::memcpy(target, view.data, static_cast<std::size_t>(count) * sizeof(T));
}

template class TensorData<float>;
template class Tensor<float>;

} // namespace murel
