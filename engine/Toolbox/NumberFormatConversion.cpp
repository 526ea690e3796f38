#include "Toolbox/NumberFormatConversion.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <type_traits>

namespace murel
{

// Raw buffers without the byte-order flag are read in host order, which the library takes to be
// least significant byte first.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "little-endian host expected");

namespace
{

inline void reverseBytes(const uint8_t* source, uint8_t* destination, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        destination[i] = source[n - 1 - i];
}

template <bool swap>
inline void copyBytes(const uint8_t* source, uint8_t* destination, std::size_t n)
{
    if constexpr (swap)
        reverseBytes(source, destination, n);
    else
        std::memcpy(destination, source, n);
}

template <typename T, bool swap>
inline T loadValue(const uint8_t* p)
{
    uint8_t bytes[sizeof(T)];
    copyBytes<swap>(p, bytes, sizeof(T));
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    return value;
}

template <typename T, bool swap>
inline void storeValue(uint8_t* p, T value)
{
    uint8_t bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    copyBytes<swap>(bytes, p, sizeof(T));
}

// Round to nearest, ties to even, independent of the floating-point rounding mode. The callers
// have clamped x to an int32 range.
inline double roundHalfToEven(double x)
{
    const auto whole = static_cast<int64_t>(x);
    const double truncated = static_cast<double>(whole);
    const double fraction = x - truncated;
    const bool odd = (whole & 1) != 0;
    if (fraction > 0.5 || (fraction == 0.5 && odd))
        return truncated + 1.0;
    if (fraction < -0.5 || (fraction == -0.5 && odd))
        return truncated - 1.0;
    return truncated;
}

constexpr float scale8 = 0x1p-7f;
constexpr float scale16 = 0x1p-15f;
constexpr float scale32 = 0x1p-31f;

// Float to a 32-bit integer as Int24 and Int32 store it: scaled and clamped in double precision.
inline int32_t toInt32Sample(float x)
{
    if (std::isnan(x))
        return 0;
    const double t = std::clamp(static_cast<double>(x) * 2147483648.0, -2147483648.0, 2147483647.0);
    return static_cast<int32_t>(roundHalfToEven(t));
}

// One codec per number format: size in bytes, and reading and writing one sample with or
// without byte reversal. The 8-bit codecs ignore the byte order.
struct UInt8Codec
{
    static constexpr int size = 1;
    template <bool swap>
    static float read(const uint8_t* p)
    {
        return (static_cast<float>(*p) - 127.0f) * scale8;
    }
    template <bool swap>
    static void write(uint8_t* p, float x)
    {
        if (std::isnan(x))
            x = 0.0f;
        const float t = std::clamp(std::fma(x, 128.0f, 127.0f), 0.0f, 255.0f);
        *p = static_cast<uint8_t>(roundHalfToEven(static_cast<double>(t)));
    }
};

struct Int8Codec
{
    static constexpr int size = 1;
    template <bool swap>
    static float read(const uint8_t* p)
    {
        return static_cast<float>(static_cast<int8_t>(*p)) * scale8;
    }
    template <bool swap>
    static void write(uint8_t* p, float x)
    {
        if (std::isnan(x))
            x = 0.0f;
        const float t = std::clamp(x * 128.0f, -128.0f, 127.0f);
        *p = static_cast<uint8_t>(static_cast<int8_t>(roundHalfToEven(static_cast<double>(t))));
    }
};

struct Int16Codec
{
    static constexpr int size = 2;
    template <bool swap>
    static float read(const uint8_t* p)
    {
        return static_cast<float>(loadValue<int16_t, swap>(p)) * scale16;
    }
    template <bool swap>
    static void write(uint8_t* p, float x)
    {
        if (std::isnan(x))
            x = 0.0f;
        const float t = std::clamp(x * 32768.0f, -32768.0f, 32767.0f);
        storeValue<int16_t, swap>(p, static_cast<int16_t>(roundHalfToEven(static_cast<double>(t))));
    }
};

struct Int24Codec
{
    static constexpr int size = 3;
    template <bool swap>
    static float read(const uint8_t* p)
    {
        uint8_t bytes[3];
        copyBytes<swap>(p, bytes, 3);
        // The three bytes become bits 8 to 31; the sign comes with the top byte.
        const uint32_t bits = (static_cast<uint32_t>(bytes[0]) << 8) | (static_cast<uint32_t>(bytes[1]) << 16) |
                              (static_cast<uint32_t>(bytes[2]) << 24);
        int32_t value;
        std::memcpy(&value, &bits, sizeof value);
        return static_cast<float>(value) * scale32;
    }
    template <bool swap>
    static void write(uint8_t* p, float x)
    {
        // Dropping the low byte floors the 24-bit value.
        const auto bits = static_cast<uint32_t>(toInt32Sample(x));
        const uint8_t bytes[3] = {static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits >> 16),
                                  static_cast<uint8_t>(bits >> 24)};
        copyBytes<swap>(bytes, p, 3);
    }
};

struct Int32Codec
{
    static constexpr int size = 4;
    template <bool swap>
    static float read(const uint8_t* p)
    {
        return static_cast<float>(loadValue<int32_t, swap>(p)) * scale32;
    }
    template <bool swap>
    static void write(uint8_t* p, float x)
    {
        storeValue<int32_t, swap>(p, toInt32Sample(x));
    }
};

/** The float formats: the value as stored, in the byte order asked for. */
template <typename T>
struct FloatCodec
{
    static constexpr int size = sizeof(T);
    template <bool swap>
    static float read(const uint8_t* p)
    {
        return static_cast<float>(loadValue<T, swap>(p));
    }
    template <bool swap>
    static void write(uint8_t* p, float x)
    {
        storeValue<T, swap>(p, static_cast<T>(x));
    }
};
using Float32Codec = FloatCodec<float>;
using Float64Codec = FloatCodec<double>;

template <typename Codec, bool swap>
void toFloatStrided(const uint8_t* source, float* destination, int n, int stride)
{
    if (n <= 0)
        return;
    int i = 0;
    if (stride == 1)
    {
        if constexpr (std::is_same_v<Codec, Float32Codec> && !swap)
        {
            std::memcpy(destination, source, static_cast<std::size_t>(n) * sizeof(float));
            return;
        }
        if constexpr (Codec::size == 1)
        {
            // Sixteen at a time through local blocks, which the compiler turns into vector code
            // (the byte source may alias the destination, so the loop alone would stay scalar).
            constexpr int blockSize = 16;
            for (; i + blockSize <= n; i += blockSize)
            {
                uint8_t in[blockSize];
                float out[blockSize];
                std::memcpy(in, source + i, blockSize);
                for (int j = 0; j < blockSize; ++j)
                    out[j] = Codec::template read<false>(in + j);
                std::memcpy(destination + i, out, sizeof out);
            }
        }
    }
    const std::ptrdiff_t step = static_cast<std::ptrdiff_t>(stride) * Codec::size;
    for (; i < n; ++i)
        destination[i] = Codec::template read<swap>(source + i * step);
}

template <typename Codec, bool swap>
void fromFloatStrided(const float* source, uint8_t* destination, int n, int stride)
{
    if (n <= 0)
        return;
    if constexpr (std::is_same_v<Codec, Float32Codec> && !swap)
    {
        if (stride == 1)
        {
            std::memcpy(destination, source, static_cast<std::size_t>(n) * sizeof(float));
            return;
        }
    }
    const std::ptrdiff_t step = static_cast<std::ptrdiff_t>(stride) * Codec::size;
    for (int i = 0; i < n; ++i)
        Codec::template write<swap>(destination + i * step, source[i]);
}

template <typename Codec, bool swap>
void selectPair(NumberFormatConversion::ToFloat& toFloat, NumberFormatConversion::FromFloat& fromFloat)
{
    toFloat = toFloatStrided<Codec, swap>;
    fromFloat = fromFloatStrided<Codec, swap>;
}

template <typename Codec>
void selectPair(bool bigEndian, NumberFormatConversion::ToFloat& toFloat, NumberFormatConversion::FromFloat& fromFloat)
{
    if (bigEndian && Codec::size > 1)
        selectPair<Codec, true>(toFloat, fromFloat);
    else
        selectPair<Codec, false>(toFloat, fromFloat);
}

} // namespace

void NumberFormatConversion::setFormat(NumberFormat newFormat, bool newBigEndian)
{
    // Indexed by the format's value.
    using Select = void (*)(bool, ToFloat&, FromFloat&);
    static const Select selectors[] = {selectPair<UInt8Codec>,  selectPair<Int8Codec>,  selectPair<Int16Codec>,
                                       selectPair<Int24Codec>,  selectPair<Int32Codec>, selectPair<Float32Codec>,
                                       selectPair<Float64Codec>};
    format = newFormat;
    bigEndian = newBigEndian;
    frameSize = 0;
    const auto index = static_cast<std::uint32_t>(newFormat);
    if (index >= std::size(selectors))
        return;
    selectors[index](bigEndian, toFloat, fromFloat);
    frameSize = getFrameSize(newFormat);
}

bool NumberFormatConversion::setPcmFormat(int bitsPerSample, bool newBigEndian)
{
    // Indexed by the whole bytes the bits take, less one.
    static const NumberFormat formats[] = {NumberFormat::UInt8, NumberFormat::Int16, NumberFormat::Int24,
                                           NumberFormat::Int32};
    const int64_t bytes = (static_cast<int64_t>(bitsPerSample) + 7) / 8;
    if (bytes < 1 || bytes > 4)
        return false;
    setFormat(formats[bytes - 1], bytes > 1 && newBigEndian);
    return true;
}

int NumberFormatConversion::getNumberOfBitsPerSample(NumberFormat numberFormat)
{
    // Indexed by the format's value.
    static const int bits[] = {8, 8, 16, 24, 32, 32, 64};
    const auto index = static_cast<std::uint32_t>(numberFormat);
    return index < std::size(bits) ? bits[index] : -1;
}

int NumberFormatConversion::getFrameSize(NumberFormat numberFormat)
{
    const int bits = getNumberOfBitsPerSample(numberFormat);
    return bits < 0 ? -1 : bits / 8;
}

void NumberFormatConversion::reverseByteOrder(const void* source, void* destination, int numOfBytes)
{
    if (numOfBytes <= 0)
        return;
    reverseBytes(static_cast<const uint8_t*>(source), static_cast<uint8_t*>(destination),
                 static_cast<std::size_t>(numOfBytes));
}

void NumberFormatConversion::checkFormat() const
{
    // A format outside the enumeration has no converters of its own; the previous ones would
    // read the buffer with the wrong sample size.
    if (frameSize <= 0 || !toFloat || !fromFloat)
        throw std::bad_function_call();
}

void NumberFormatConversion::convertToSignal32(const uint8_t* const* sources, Signal32& destination) const
{
    checkFormat();
    if (sources == nullptr || destination.isEmpty())
        return;
    destination.ensureUnique();
    const int numOfSamples = destination.getNumOfSamples();
    for (int c = 0; c < destination.getNumOfChannels(); ++c)
    {
        if (sources[c] != nullptr)
            toFloat(sources[c], destination.getWritePointer(c), numOfSamples, 1);
    }
}

void NumberFormatConversion::convertToSignal32(const uint8_t* source, Signal32& destination) const
{
    checkFormat();
    if (source == nullptr || destination.isEmpty())
        return;
    destination.ensureUnique();
    const int numOfChannels = destination.getNumOfChannels();
    const int numOfSamples = destination.getNumOfSamples();
    for (int c = 0; c < numOfChannels; ++c)
        toFloat(source + static_cast<std::ptrdiff_t>(c) * frameSize, destination.getWritePointer(c), numOfSamples,
                numOfChannels);
}

void NumberFormatConversion::convertFromSignal32(const Signal32& source, uint8_t* destination) const
{
    checkFormat();
    if (destination == nullptr || source.isEmpty())
        return;
    const int numOfChannels = source.getNumOfChannels();
    const int numOfSamples = source.getNumOfSamples();
    for (int c = 0; c < numOfChannels; ++c)
        fromFloat(source.getReadPointer(c), destination + static_cast<std::ptrdiff_t>(c) * frameSize, numOfSamples,
                  numOfChannels);
}

} // namespace murel
