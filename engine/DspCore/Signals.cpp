#include "DspCore/Signals.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "DspCore/AlignedMemory.h"
#include "DspCore/VectorOps.h"

namespace murel
{

template <typename T>
int SignalData<T>::strideFor(int numOfSamples)
{
    constexpr int unit = static_cast<int>(storageAlignment / sizeof(T));
    if (numOfSamples <= 0)
        return 0;
    return (numOfSamples + unit - 1) / unit * unit;
}

template <typename T>
SignalData<T>::SignalData(int channels, int length)
    : numOfSamples(std::max(length, 0)), numOfChannels(std::max(channels, 0)), stride(strideFor(length))
{
    const std::size_t count = static_cast<std::size_t>(numOfChannels) * static_cast<std::size_t>(stride);
    if (count > 0)
    {
        if (count > SIZE_MAX / sizeof(T))
            throw std::bad_alloc();
        samples = static_cast<T*>(alignedMalloc(count * sizeof(T)));
        if (samples == nullptr)
            throw std::bad_alloc();
    }
}

template <typename T>
SignalData<T>::~SignalData()
{
    alignedFree(samples);
}

template <typename T>
Signal<T>::Signal(int channels, int length)
    : numOfChannels(std::max(channels, 0)), numOfSamples(std::max(length, 0)),
      data(std::make_shared<SignalData<T>>(channels, length))
{
}

template <typename T>
void Signal<T>::ensureUnique()
{
    if (data == nullptr || data.use_count() < 2)
        return;
    auto copy = std::make_shared<SignalData<T>>(data->numOfChannels, data->numOfSamples);
    const std::size_t count = static_cast<std::size_t>(data->numOfChannels) * static_cast<std::size_t>(data->stride);
    if (count > 0)
        std::memcpy(static_cast<void*>(copy->samples), data->samples, count * sizeof(T));
    data = std::move(copy);
}

template <typename T>
std::vector<T*>& Signal<T>::getChannelPointers()
{
    static thread_local std::vector<T*> none;
    if (data == nullptr)
    {
        none.clear();
        return none;
    }
    ensureUnique();
    if (data->channelPointers.empty() && data->numOfChannels > 0)
    {
        data->channelPointers.resize(static_cast<std::size_t>(data->numOfChannels));
        for (int c = 0; c < data->numOfChannels; ++c)
            data->channelPointers[static_cast<std::size_t>(c)] =
                data->samples + static_cast<std::ptrdiff_t>(c) * data->stride;
    }
    return data->channelPointers;
}

template <typename T>
void Signal<T>::setToZero()
{
    if (data == nullptr)
        return;
    for (int c = 0; c < numOfChannels; ++c)
        std::fill_n(getWritePointer(c), numOfSamples, T{});
}

template <typename T>
void Signal<T>::resizeView(int channels, int length)
{
    channels = std::max(channels, 0);
    length = std::max(length, 0);
    if (data == nullptr || data->numOfChannels < channels || data->numOfSamples < length)
        data = std::make_shared<SignalData<T>>(channels, length);
    numOfChannels = channels;
    numOfSamples = length;
}

template class SignalData<float>;
template class SignalData<double>;
template class SignalData<std::complex<float>>;
template class SignalData<std::complex<double>>;
template class Signal<float>;
template class Signal<double>;
template class Signal<std::complex<float>>;
template class Signal<std::complex<double>>;

const Signal32 Signal32::empty;
const Signal64 Signal64::empty;
const ComplexSignal32 ComplexSignal32::empty;
const ComplexSignal64 ComplexSignal64::empty;

namespace
{

template <typename Target, typename Source>
Target convertPrecision(const Source& source)
{
    // A signal without storage converts to one without storage.
    if (!source.hasStorage())
        return Target();
    Target result(source.getNumOfChannels(), source.getNumOfSamples());
    for (int c = 0; c < source.getNumOfChannels(); ++c)
    {
        const auto* in = source.getReadPointer(c);
        auto* out = result.getWritePointer(c);
        for (int i = 0; i < source.getNumOfSamples(); ++i)
            out[i] = static_cast<typename Target::SampleType>(in[i]);
    }
    return result;
}

} // namespace

std::vector<Signal32> Signal32::toVectorOfChannels() const
{
    std::vector<Signal32> channels;
    channels.reserve(static_cast<std::size_t>(numOfChannels));
    for (int c = 0; c < numOfChannels; ++c)
    {
        Signal32 row(1, numOfSamples);
        if (numOfSamples > 0)
            std::memcpy(row.getWritePointer(0), getReadPointer(c),
                        static_cast<std::size_t>(numOfSamples) * sizeof(float));
        channels.push_back(std::move(row));
    }
    return channels;
}

Signal64 Signal32::toSignal64() const
{
    return convertPrecision<Signal64>(*this);
}

Signal32 Signal64::toSignal32() const
{
    return convertPrecision<Signal32>(*this);
}

ComplexSignal64 ComplexSignal32::toComplexSignal64() const
{
    return convertPrecision<ComplexSignal64>(*this);
}

ComplexSignal32 ComplexSignal64::toComplexSignal32() const
{
    return convertPrecision<ComplexSignal32>(*this);
}

ComplexSignal32 ComplexSignal32::operator*(std::complex<float> factor) const
{
    if (data == nullptr)
        return ComplexSignal32();
    ComplexSignal32 result(numOfChannels, numOfSamples);
    const float f[4] = {factor.real(), factor.imag(), factor.real(), factor.imag()};
    const vec::Float4 factor4 = vec::load(f);
    const bool finite = std::isfinite(factor.real()) && std::isfinite(factor.imag());
    for (int c = 0; c < numOfChannels; ++c)
    {
        const auto* in = getReadPointer(c);
        auto* out = result.getWritePointer(c);
        int i = 0;
        // The vector product equals std::complex's for finite operands; rows whose values are
        // not all finite take the standard library's path for its infinity and NaN rules.
        if (finite)
        {
            for (; i + 2 <= numOfSamples; i += 2)
            {
                const float* src = reinterpret_cast<const float*>(in + i);
                const vec::Float4 v = vec::load(src);
                const float check = vec::horizontalSum(vec::mul(v, vec::zero()));
                if (check != 0.0f)
                    break;
                vec::store(reinterpret_cast<float*>(out + i), vec::complexMul(v, factor4));
            }
        }
        for (; i < numOfSamples; ++i)
            out[i] = in[i] * factor;
    }
    return result;
}

} // namespace murel
