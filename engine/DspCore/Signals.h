#pragma once

#include <complex>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "DspCore/Export.h"

namespace murel
{

/** Shared sample storage of a signal: channel-major rows, each starting on a 64-byte boundary
    and padded to a whole number of 64-byte units. Always owned through a shared pointer. */
template <typename T>
class MUREL_EXPORT SignalData
{
public:
    SignalData(int numOfChannels, int numOfSamples);
    ~SignalData();

    SignalData(const SignalData&) = delete;
    SignalData& operator=(const SignalData&) = delete;

    /** Row length in samples for the given sample count: rounded up to fill whole 64-byte units. */
    static int strideFor(int numOfSamples);

    int numOfSamples = 0;
    int numOfChannels = 0;
    int stride = 0;
    int alignment = 64;
    T* samples = nullptr;
    std::vector<T*> channelPointers;
};

/** A multichannel block of samples whose storage is shared between copies and copied before
    a write (copy-on-write). Reads never copy; every write access makes the storage unique. */
template <typename T>
class MUREL_EXPORT Signal
{
public:
    using SampleType = T;

    Signal() = default;
    /** New, unshared, uninitialised storage of exactly this shape. */
    Signal(int numOfChannels, int numOfSamples);

    int getNumOfChannels() const { return numOfChannels; }
    int getNumOfSamples() const { return numOfSamples; }
    /** Distance in samples between the starts of two rows; 0 without storage. */
    int getStride() const { return data != nullptr ? data->stride : 0; }
    bool hasStorage() const { return data != nullptr; }
    /** True when the signal shows no samples. */
    bool isEmpty() const { return data == nullptr || numOfChannels < 1 || numOfSamples < 1; }

    /** Start of row c for reading. */
    const T* getReadPointer(int channel) const
    {
        return data->samples + static_cast<std::ptrdiff_t>(channel) * data->stride;
    }
    /** Start of row c for writing: makes the storage unique first. */
    T* getWritePointer(int channel)
    {
        ensureUnique();
        return data->samples + static_cast<std::ptrdiff_t>(channel) * data->stride;
    }

    /** Makes the storage private to this handle when another handle shares it. */
    void ensureUnique();
    /** Row start pointers of every storage channel, after making the storage unique. */
    std::vector<T*>& getChannelPointers();
    /** Sets the samples this signal shows to zero (row tails stay as they are). */
    void setToZero();
    /** Shows the first numOfChannels x numOfSamples of the storage, reallocating (without
        keeping contents) only when the storage is smaller. */
    void resizeView(int numOfChannels, int numOfSamples);

    /** Number of handles sharing the storage; 0 without storage. */
    long getUseCount() const { return data.use_count(); }
    const std::shared_ptr<SignalData<T>>& getData() const { return data; }

protected:
    int numOfChannels = 0;
    int numOfSamples = 0;
    std::shared_ptr<SignalData<T>> data;
};

/** Borrowed rows of samples that the audio path passes instead of a Signal: it never owns,
    allocates or copies, so handing it on cannot start a copy of shared storage. It is valid
    while its owner keeps the storage and shape. */
template <typename T>
struct SignalView
{
    SignalView() = default;
    SignalView(T* firstRow, int channels, int length, int rowStride)
        : samples(firstRow), numOfChannels(channels), numOfSamples(length), stride(rowStride)
    {
    }
    /** A read-only view of what the owner shows. */
    template <typename U, typename = std::enable_if_t<std::is_same_v<const U, T>>>
    SignalView(const Signal<U>& owner)
        : samples(owner.hasStorage() ? owner.getReadPointer(0) : nullptr), numOfChannels(owner.getNumOfChannels()),
          numOfSamples(owner.getNumOfSamples()), stride(owner.getStride())
    {
    }

    int getNumOfChannels() const { return numOfChannels; }
    int getNumOfSamples() const { return numOfSamples; }
    bool hasStorage() const { return samples != nullptr; }
    bool isEmpty() const { return samples == nullptr || numOfChannels < 1 || numOfSamples < 1; }
    T* getReadPointer(int channel) const { return samples + static_cast<std::ptrdiff_t>(channel) * stride; }

    T* samples = nullptr;
    int numOfChannels = 0;
    int numOfSamples = 0;
    int stride = 0;
};

class Signal64;
class ComplexSignal64;

/** Single-precision audio blocks and windows. */
class MUREL_EXPORT Signal32 : public Signal<float>
{
public:
    using Signal<float>::Signal;
    Signal32() = default;
    Signal32(const Signal<float>& other) : Signal<float>(other) {}

    static const Signal32 empty;

    /** One single-channel signal per row, samples copied. */
    std::vector<Signal32> toVectorOfChannels() const;
    Signal64 toSignal64() const;
};

/** Double-precision audio. */
class MUREL_EXPORT Signal64 : public Signal<double>
{
public:
    using Signal<double>::Signal;
    Signal64() = default;
    Signal64(const Signal<double>& other) : Signal<double>(other) {}

    static const Signal64 empty;

    Signal32 toSignal32() const;
};

/** Single-precision spectra and masks; complex samples are stored real part first. */
class MUREL_EXPORT ComplexSignal32 : public Signal<std::complex<float>>
{
public:
    using Signal<std::complex<float>>::Signal;
    ComplexSignal32() = default;
    ComplexSignal32(const Signal<std::complex<float>>& other) : Signal<std::complex<float>>(other) {}

    static const ComplexSignal32 empty;

    /** New signal of the same shape, every sample multiplied by factor. */
    ComplexSignal32 operator*(std::complex<float> factor) const;
    ComplexSignal64 toComplexSignal64() const;
};

/** Double-precision spectra. */
class MUREL_EXPORT ComplexSignal64 : public Signal<std::complex<double>>
{
public:
    using Signal<std::complex<double>>::Signal;
    ComplexSignal64() = default;
    ComplexSignal64(const Signal<std::complex<double>>& other) : Signal<std::complex<double>>(other) {}

    static const ComplexSignal64 empty;

    ComplexSignal32 toComplexSignal32() const;
};

/** The spectra and masks a model reads. */
using ComplexSignalView = SignalView<const std::complex<float>>;

extern template class Signal<float>;
extern template class Signal<double>;
extern template class Signal<std::complex<float>>;
extern template class Signal<std::complex<double>>;
extern template class SignalData<float>;
extern template class SignalData<double>;
extern template class SignalData<std::complex<float>>;
extern template class SignalData<std::complex<double>>;

} // namespace murel
