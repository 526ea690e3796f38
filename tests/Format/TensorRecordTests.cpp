// Stored tensor records: the element format byte, half floats, and what the reader refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "Format/ModelFile.h"
#include "Format/ModelReading.h"
#include "Neural/ModelTestSupport.h"

using namespace murel;
using namespace murel::test;

namespace
{

/** The value a stored half float stands for, straight from its fields. */
float referenceHalf(std::uint16_t h)
{
    const int sign = (h >> 15) & 1;
    const int exponent = (h >> 10) & 0x1F;
    const int mantissa = h & 0x3FF;
    const double magnitude =
        exponent == 0 ? std::ldexp(mantissa, -24) : std::ldexp(1.0 + mantissa / 1024.0, exponent - 15);
    return static_cast<float>(sign != 0 ? -magnitude : magnitude);
}

std::vector<std::uint8_t> halfRecord(const std::vector<std::uint16_t>& halves)
{
    mw::ByteWriter out;
    out.writeUInt8(0);
    out.writeInt8(1);
    out.writeInt32(static_cast<std::int32_t>(halves.size()));
    for (const std::uint16_t h : halves)
        out.writeInt16(static_cast<std::int16_t>(h));
    return out.getBytes();
}

bool sameBits(float a, float b)
{
    return std::memcmp(&a, &b, sizeof(float)) == 0;
}

} // namespace

TEST(TensorRecord, VersionDecidesTheFormatByte)
{
    const mw::TensorRecord record = tensorRecord({2, 1}, {1.5f, -2.25f});
    for (const int version : {4100, 4104, 4105, 4106})
    {
        mw::ByteWriter out;
        out.writeTensor(record, version, mw::TensorEncoding::float32);
        const std::size_t expectedSize = (version > 4104 ? 1u : 0u) + 1u + 8u + 8u;
        ASSERT_EQ(out.getBytes().size(), expectedSize) << version;
        auto stream = makeStream(out.getBytes());
        const Tensor<float> tensor = modelfile::readTensor(*stream, version, "tensor").values;
        EXPECT_EQ(tensor.shape, (std::vector<int>{2, 1}));
        EXPECT_EQ(toVector(tensor), (std::vector<float>{1.5f, -2.25f}));
        EXPECT_EQ(stream->getPosition(), static_cast<long>(expectedSize));
    }
}

TEST(TensorRecord, EmptyRecordsConsumeNoPayload)
{
    mw::ByteWriter out;
    out.writeTensor(tensorRecord({}, {}), 4106, mw::TensorEncoding::float32);
    out.writeTensor(tensorRecord({3, 0}, {}), 4106, mw::TensorEncoding::float32);
    out.writeInt32(77);
    auto stream = makeStream(out.getBytes());
    const Tensor<float> rankZero = modelfile::readTensor(*stream, 4106, "tensor").values;
    EXPECT_FALSE(rankZero.hasStorage());
    EXPECT_TRUE(rankZero.shape.empty());
    const Tensor<float> zeroAxis = modelfile::readTensor(*stream, 4106, "tensor").values;
    EXPECT_FALSE(zeroAxis.hasStorage());
    EXPECT_EQ(zeroAxis.shape, (std::vector<int>{3, 0}));
    EXPECT_EQ(modelreading::readInt32(*stream), 77);
}

TEST(TensorRecord, EveryHalfFloatDecodesExactly)
{
    std::vector<std::uint16_t> halves(65536);
    for (std::size_t i = 0; i < halves.size(); ++i)
        halves[i] = static_cast<std::uint16_t>(i);
    for (const int version : {4105, 4106})
    {
        auto stream = makeStream(halfRecord(halves));
        const std::vector<float> values = toVector(modelfile::readTensor(*stream, version, "tensor").values);
        ASSERT_EQ(values.size(), halves.size());
        for (std::size_t i = 0; i < halves.size(); ++i)
            ASSERT_TRUE(sameBits(values[i], referenceHalf(halves[i]))) << std::hex << i;
        // Exponent 31 is an ordinary exponent: no infinities and no NaN.
        EXPECT_EQ(values[0x7C00], 65536.0f);
        EXPECT_EQ(values[0x7E00], 98304.0f);
        EXPECT_EQ(values[0xFFFF], -131008.0f);
        EXPECT_EQ(values[0x0001], std::ldexp(1.0f, -24));
    }
}

TEST(TensorRecord, WriterHalfEncodingRoundsToNearestAndRoundTrips)
{
    for (std::uint32_t h = 0; h < 0x10000u; ++h)
    {
        const float value = referenceHalf(static_cast<std::uint16_t>(h));
        if (h == 0x8000u)
            continue; // -0 and +0 are both fine for the writer
        ASSERT_EQ(mw::encodeHalfFloat(value), h) << std::hex << h;
    }
    // Halfway between 1 and the next half float rounds to the even mantissa.
    EXPECT_EQ(mw::encodeHalfFloat(1.0f + std::ldexp(1.0f, -11)), 0x3C00);
    EXPECT_EQ(mw::encodeHalfFloat(1.0f + 3.0f * std::ldexp(1.0f, -11)), 0x3C02);
    EXPECT_THROW(mw::encodeHalfFloat(200000.0f), std::invalid_argument);
    EXPECT_THROW(mw::encodeHalfFloat(NAN), std::invalid_argument);
}

TEST(TensorRecord, UnsafeRecordsAreRefused)
{
    auto read = [](const std::vector<std::uint8_t>& bytes, int version)
    {
        auto stream = makeStream(bytes);
        modelfile::readTensor(*stream, version, "tensor");
    };
    // Negative rank: as the standard containers report it.
    EXPECT_THROW(read({1, 0xFF}, 4106), std::length_error);
    // Unknown element format.
    EXPECT_THROW(read({2, 1, 1, 0, 0, 0, 0, 0, 0, 0}, 4106), ModelFormatError);
    // Negative axis.
    EXPECT_THROW(read({1, 1, 0xFF, 0xFF, 0xFF, 0xFF}, 4106), ModelFormatError);
    // Rank larger than the bytes left.
    EXPECT_THROW(read({1, 100, 1, 0, 0, 0}, 4106), ModelFormatError);
    // A huge payload that is not there: refused before anything is allocated.
    EXPECT_THROW(read({1, 2, 0, 0, 0, 0x10, 0, 0, 0, 0x10}, 4106), ModelFormatError);
    EXPECT_THROW(read({1, 1, 0, 0, 0, 0x10}, 4106), ModelFormatError);

    mw::ByteWriter out;
    out.writeTensor(tensorRecord({2, 3}, {1, 2, 3, 4, 5, 6}), 4106, mw::TensorEncoding::float16);
    const std::vector<std::uint8_t>& full = out.getBytes();
    for (std::size_t size = 0; size < full.size(); ++size)
        EXPECT_THROW(read(std::vector<std::uint8_t>(full.begin(), full.begin() + static_cast<long>(size)), 4106),
                     ModelFormatError)
            << size;
    EXPECT_NO_THROW(read(full, 4106));
}
