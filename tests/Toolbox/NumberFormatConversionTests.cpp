#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <utility>
#include <vector>

#include "Toolbox/NumberFormatConversion.h"

using namespace murel;

namespace
{

using Bytes = std::vector<uint8_t>;

std::vector<float> decode(NumberFormat format, bool bigEndian, const Bytes& bytes)
{
    NumberFormatConversion converter;
    converter.setFormat(format, bigEndian);
    const int numOfSamples = static_cast<int>(bytes.size()) / converter.getFrameSize();
    Signal32 signal(1, numOfSamples);
    converter.convertToSignal32(bytes.data(), signal);
    return std::vector<float>(signal.getReadPointer(0), signal.getReadPointer(0) + numOfSamples);
}

Bytes encode(NumberFormat format, bool bigEndian, const std::vector<float>& samples)
{
    NumberFormatConversion converter;
    converter.setFormat(format, bigEndian);
    Signal32 signal(1, static_cast<int>(samples.size()));
    std::copy(samples.begin(), samples.end(), signal.getWritePointer(0));
    Bytes bytes(samples.size() * static_cast<std::size_t>(converter.getFrameSize()), 0xEE);
    converter.convertFromSignal32(signal, bytes.data());
    return bytes;
}

// Each value's bytes in the other order.
Bytes swapped(const Bytes& bytes, NumberFormat format)
{
    const auto size = static_cast<std::size_t>(NumberFormatConversion::getFrameSize(format));
    Bytes result(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); i += size)
        for (std::size_t j = 0; j < size; ++j)
            result[i + j] = bytes[i + size - 1 - j];
    return result;
}

struct Case
{
    NumberFormat format;
    // Little-endian bytes and the floats they stand for.
    Bytes raw;
    std::vector<float> values;
};

const float maxInt24 = 1.0f - 0x1p-23f;

const Case decodeCases[] = {
    {NumberFormat::UInt8, {127, 255, 0, 128, 191}, {0.0f, 1.0f, -0.9921875f, 0.0078125f, 0.5f}},
    {NumberFormat::Int8, {0x00, 0x7F, 0x80, 0xC0, 0x01}, {0.0f, 127.0f / 128.0f, -1.0f, -0.5f, 0.0078125f}},
    {NumberFormat::Int16,
     {0x00, 0x00, 0xFF, 0x7F, 0x00, 0x80, 0x00, 0x40, 0x01, 0x00, 0xFF, 0xFF},
     {0.0f, 32767.0f / 32768.0f, -1.0f, 0.5f, 0x1p-15f, -0x1p-15f}},
    {NumberFormat::Int24,
     {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x40, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0xFF},
     {-1.0f, maxInt24, 0.5f, 0x1p-23f, -0x1p-23f}},
    {NumberFormat::Int32,
     {0x00, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x00, 0x40, 0x00, 0x01, 0x00, 0x00},
     {-1.0f, 1.0f, 0.5f, 0x1p-23f}},
    {NumberFormat::Float32,
     {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x20, 0xC0, 0x00, 0x00, 0x00, 0x00},
     {1.0f, -2.5f, 0.0f}},
    {NumberFormat::Float64,
     {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x3F, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x04, 0xC0, 0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xB9, 0x3F},
     {1.0f, -2.5f, 0.1f}},
};

const Case encodeCases[] = {
    // Out-of-range samples clamp; ties round to even.
    {NumberFormat::UInt8,
     {127, 255, 0, 191, 255, 0, 128, 128},
     {0.0f, 1.0f, -1.0f, 0.5f, 2.0f, -7.0f, 1.5f / 128.0f, 0.5f / 128.0f}},
    {NumberFormat::Int8,
     {0x00, 0x7F, 0x80, 0x40, 0x02, 0x02, 0x80, 0x00},
     {0.0f, 1.0f, -1.0f, 0.5f, 1.5f / 128.0f, 2.5f / 128.0f, -3.0f, -0.5f / 128.0f}},
    {NumberFormat::Int16,
     {0x00, 0x00, 0xFF, 0x7F, 0x00, 0x80, 0x00, 0x40, 0x02, 0x00, 0xFE, 0xFF, 0xFF, 0x7F, 0x00, 0x80},
     {0.0f, 1.0f, -1.0f, 0.5f, 1.5f * 0x1p-15f, -2.5f * 0x1p-15f, 2.0f, -3.0f}},
    // The low byte of the 32-bit value is dropped, which floors the 24-bit value.
    {NumberFormat::Int24,
     {0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80, 0x00, 0x00, 0x40, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x7F},
     {1.0f, -1.0f, 0.5f, -0x1p-31f, 255.0f * 0x1p-31f, 5.0f}},
    {NumberFormat::Int32,
     {0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x40,
      0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80},
     {1.0f, -1.0f, 0.5f, 0x1p-32f, 3.0f * 0x1p-32f, -9.0f}},
    {NumberFormat::Float32, {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x20, 0xC0}, {1.0f, -2.5f}},
    {NumberFormat::Float64,
     {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x3F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0xC0},
     {1.0f, -2.5f}},
};

} // namespace

TEST(NumberFormatConversion, HandWrittenBytesInBothByteOrders)
{
    for (bool bigEndian : {false, true})
    {
        for (const Case& test : decodeCases)
        {
            SCOPED_TRACE(testing::Message()
                         << "decoding format " << static_cast<int>(test.format) << ", big-endian " << bigEndian);
            EXPECT_EQ(decode(test.format, bigEndian, bigEndian ? swapped(test.raw, test.format) : test.raw),
                      test.values);
        }
        for (const Case& test : encodeCases)
        {
            SCOPED_TRACE(testing::Message()
                         << "encoding format " << static_cast<int>(test.format) << ", big-endian " << bigEndian);
            EXPECT_EQ(encode(test.format, bigEndian, test.values),
                      bigEndian ? swapped(test.raw, test.format) : test.raw);
        }
    }
}

TEST(NumberFormatConversion, ClampsInfinitiesAndSilencesNotANumber)
{
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> samples = {inf, -inf, nan};
    EXPECT_EQ(encode(NumberFormat::UInt8, false, samples), (Bytes{255, 0, 127}));
    EXPECT_EQ(encode(NumberFormat::Int8, false, samples), (Bytes{0x7F, 0x80, 0x00}));
    EXPECT_EQ(encode(NumberFormat::Int16, false, samples), (Bytes{0xFF, 0x7F, 0x00, 0x80, 0x00, 0x00}));
    EXPECT_EQ(encode(NumberFormat::Int24, false, samples), (Bytes{0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80, 0, 0, 0}));
    EXPECT_EQ(encode(NumberFormat::Int32, true, samples),
              (Bytes{0x7F, 0xFF, 0xFF, 0xFF, 0x80, 0x00, 0x00, 0x00, 0, 0, 0, 0}));
}

TEST(NumberFormatConversion, RoundTripsEveryFormatAgainstTheScaleFormula)
{
    // Long enough for the 8-bit block path and its tail, with random-ish values over the range.
    std::vector<float> samples;
    for (int i = 0; i < 53; ++i)
        samples.push_back(std::sin(0.7f * static_cast<float>(i)) * 1.1f);

    struct Scale
    {
        NumberFormat format;
        double scale, offset, low, high;
    };
    const Scale scales[] = {{NumberFormat::UInt8, 128.0, 127.0, 0.0, 255.0},
                            {NumberFormat::Int8, 128.0, 0.0, -128.0, 127.0},
                            {NumberFormat::Int16, 32768.0, 0.0, -32768.0, 32767.0},
                            {NumberFormat::Int32, 2147483648.0, 0.0, -2147483648.0, 2147483647.0}};
    for (const Scale& s : scales)
    {
        for (bool bigEndian : {false, true})
        {
            const std::vector<float> decoded = decode(s.format, bigEndian, encode(s.format, bigEndian, samples));
            for (std::size_t i = 0; i < samples.size(); ++i)
            {
                const double level = std::nearbyint(
                    std::min(std::max(static_cast<double>(samples[i]) * s.scale + s.offset, s.low), s.high));
                EXPECT_NEAR(decoded[i], (level - s.offset) / s.scale, 1e-7) << "sample " << i;
            }
        }
    }
    for (NumberFormat format : {NumberFormat::Float32, NumberFormat::Float64})
        for (bool bigEndian : {false, true})
            EXPECT_EQ(decode(format, bigEndian, encode(format, bigEndian, samples)), samples);
}

TEST(NumberFormatConversion, InterleavedFramesUseChannelStrides)
{
    NumberFormatConversion converter;
    converter.setFormat(NumberFormat::Int16, false);
    // Stereo frames: channel 0 is 1, 2, 3; channel 1 (bytes 2-3, 6-7, 10-11) is -1, -2, -3.
    const Bytes stereo = {0x01, 0x00, 0xFF, 0xFF, 0x02, 0x00, 0xFE, 0xFF, 0x03, 0x00, 0xFD, 0xFF};
    Signal32 signal(2, 3);
    converter.convertToSignal32(stereo.data(), signal);
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_EQ(signal.getReadPointer(0)[i], static_cast<float>(i + 1) * 0x1p-15f);
        EXPECT_EQ(signal.getReadPointer(1)[i], -static_cast<float>(i + 1) * 0x1p-15f);
    }
    Bytes back(stereo.size(), 0);
    converter.convertFromSignal32(signal, back.data());
    EXPECT_EQ(back, stereo);

    // Three channels of big-endian Int24: nine bytes per frame.
    converter.setFormat(NumberFormat::Int24, true);
    Signal32 three(3, 4);
    for (int c = 0; c < 3; ++c)
        for (int i = 0; i < 4; ++i)
            three.getWritePointer(c)[i] = static_cast<float>(c * 4 + i - 6) * 0x1p-10f;
    Bytes frames(3 * 4 * 3, 0);
    converter.convertFromSignal32(three, frames.data());
    // Frame 1, channel 2: value (2 * 4 + 1 - 6) / 1024 = 3 * 2^13 in 24 bits, stored 00 60 00.
    EXPECT_EQ(frames[9 + 6], 0x00);
    EXPECT_EQ(frames[9 + 7], 0x60);
    EXPECT_EQ(frames[9 + 8], 0x00);
    Signal32 decoded(3, 4);
    converter.convertToSignal32(frames.data(), decoded);
    for (int c = 0; c < 3; ++c)
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(decoded.getReadPointer(c)[i], three.getReadPointer(c)[i]);
}

TEST(NumberFormatConversion, PlanarChannelsAndCopyOnWrite)
{
    NumberFormatConversion converter;
    converter.setFormat(NumberFormat::Float64, true);
    const Bytes left = {0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0xBF, 0xE0, 0, 0, 0, 0, 0, 0}; // 1.0, -0.5
    const Bytes right = {0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x00, 0, 0, 0, 0, 0, 0};      // 0.0, 2.0
    const uint8_t* sources[] = {left.data(), right.data()};

    Signal32 signal(2, 2);
    signal.setToZero();
    const Signal32 shared = signal;
    converter.convertToSignal32(sources, signal);
    EXPECT_EQ(signal.getReadPointer(0)[0], 1.0f);
    EXPECT_EQ(signal.getReadPointer(0)[1], -0.5f);
    EXPECT_EQ(signal.getReadPointer(1)[0], 0.0f);
    EXPECT_EQ(signal.getReadPointer(1)[1], 2.0f);
    // The other holder of the storage keeps its samples.
    EXPECT_EQ(shared.getReadPointer(0)[0], 0.0f);
    EXPECT_EQ(signal.getUseCount(), 1);
}

TEST(NumberFormatConversion, PcmBitDepthsChooseIntegerFormats)
{
    NumberFormatConversion converter;
    const std::pair<int, NumberFormat> choices[] = {
        {12, NumberFormat::Int16}, {20, NumberFormat::Int24}, {8, NumberFormat::UInt8}, {1, NumberFormat::UInt8},
        {24, NumberFormat::Int24}, {25, NumberFormat::Int32}, {32, NumberFormat::Int32}};
    for (const auto& choice : choices)
        for (bool bigEndian : {true, false})
        {
            EXPECT_TRUE(converter.setPcmFormat(choice.first, bigEndian)) << choice.first;
            EXPECT_EQ(converter.getFormat(), choice.second) << choice.first;
            // A single byte has no byte order.
            EXPECT_EQ(converter.isBigEndian(), bigEndian && choice.second != NumberFormat::UInt8) << choice.first;
            EXPECT_EQ(converter.getFrameSize(), NumberFormatConversion::getFrameSize(choice.second));
        }

    converter.setPcmFormat(32, true);
    for (int bits : {0, -5, 33, 40, 64, INT_MAX, INT_MIN})
    {
        EXPECT_FALSE(converter.setPcmFormat(bits, false)) << bits;
        EXPECT_EQ(converter.getFormat(), NumberFormat::Int32);
        EXPECT_TRUE(converter.isBigEndian());
    }
}

TEST(NumberFormatConversion, SizesAndByteReversal)
{
    const int bits[] = {8, 8, 16, 24, 32, 32, 64};
    for (int f = 0; f < 7; ++f)
    {
        EXPECT_EQ(NumberFormatConversion::getNumberOfBitsPerSample(static_cast<NumberFormat>(f)), bits[f]);
        EXPECT_EQ(NumberFormatConversion::getFrameSize(static_cast<NumberFormat>(f)), bits[f] / 8);
    }
    EXPECT_EQ(NumberFormatConversion::getFrameSize(static_cast<NumberFormat>(7)), -1);
    EXPECT_EQ(NumberFormatConversion::getNumberOfBitsPerSample(static_cast<NumberFormat>(-1)), -1);

    const Bytes source = {1, 2, 3, 4, 5};
    Bytes destination(5, 0);
    NumberFormatConversion::reverseByteOrder(source.data(), destination.data(), 5);
    EXPECT_EQ(destination, (Bytes{5, 4, 3, 2, 1}));
    NumberFormatConversion::reverseByteOrder(source.data(), destination.data(), 0);
    EXPECT_EQ(destination, (Bytes{5, 4, 3, 2, 1}));
}

TEST(NumberFormatConversion, ConversionsWithoutAFormatThrow)
{
    NumberFormatConversion converter;
    Signal32 signal(1, 4);
    const Bytes raw(16, 0);
    Bytes out(16, 0);
    EXPECT_THROW(converter.convertToSignal32(raw.data(), signal), std::bad_function_call);
    EXPECT_THROW(converter.convertFromSignal32(signal, out.data()), std::bad_function_call);

    // A value outside the enumeration keeps no usable converters: the old ones would read the
    // buffer with the wrong sample size.
    converter.setFormat(NumberFormat::Int16, false);
    converter.setFormat(static_cast<NumberFormat>(9), true);
    EXPECT_EQ(converter.getFormat(), static_cast<NumberFormat>(9));
    EXPECT_TRUE(converter.isBigEndian());
    EXPECT_EQ(converter.getFrameSize(), 0);
    EXPECT_THROW(converter.convertToSignal32(raw.data(), signal), std::bad_function_call);

    // Empty signals and missing buffers convert nothing.
    converter.setFormat(NumberFormat::Int16, false);
    Signal32 empty;
    converter.convertToSignal32(raw.data(), empty);
    converter.convertToSignal32(static_cast<const uint8_t*>(nullptr), signal);
    converter.convertFromSignal32(Signal32(), out.data());
    EXPECT_EQ(out, Bytes(16, 0));
}
