#include "Format/ModelWriter.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace murel::modelwriter
{

void ByteWriter::writeInt8(int value)
{
    bytes.push_back(static_cast<std::uint8_t>(static_cast<std::int8_t>(value)));
}

void ByteWriter::writeUInt8(int value)
{
    bytes.push_back(static_cast<std::uint8_t>(value));
}

void ByteWriter::writeInt16(int value)
{
    const auto bits = static_cast<std::uint16_t>(static_cast<std::int16_t>(value));
    bytes.push_back(static_cast<std::uint8_t>(bits & 0xFFu));
    bytes.push_back(static_cast<std::uint8_t>(bits >> 8));
}

void ByteWriter::writeInt32(std::int32_t value)
{
    const auto bits = static_cast<std::uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<std::uint8_t>((bits >> shift) & 0xFFu));
}

void ByteWriter::writeFloat32(float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof(bits));
    writeInt32(static_cast<std::int32_t>(bits));
}

void ByteWriter::writeFloat64(double value)
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof(bits));
    writeInt32(static_cast<std::int32_t>(static_cast<std::uint32_t>(bits & 0xFFFFFFFFu)));
    writeInt32(static_cast<std::int32_t>(static_cast<std::uint32_t>(bits >> 32)));
}

void ByteWriter::writeString(const std::string& text)
{
    writeInt32(static_cast<std::int32_t>(text.size()));
    bytes.insert(bytes.end(), text.begin(), text.end());
}

void ByteWriter::writeBytes(const std::vector<std::uint8_t>& more)
{
    bytes.insert(bytes.end(), more.begin(), more.end());
}

void ByteWriter::writeTensor(const StoredTensor& tensor, int version, TensorEncoding encoding)
{
    const bool half = encoding == TensorEncoding::float16 || tensor.isHalfFloat;
    if (version > 4104)
        writeUInt8(half ? 0 : 1);
    else if (half)
        throw std::invalid_argument("writeTensor: half floats need format version 4105 or later");
    const Tensor<float>& values = tensor.values;
    writeInt8(static_cast<int>(values.shape.size()));
    for (const int axis : values.shape)
        writeInt32(axis);
    const int count = values.data == nullptr ? 0 : values.getNumOfElements();
    const float* data = count > 0 ? values.getReadPointer() : nullptr;
    for (int i = 0; i < count; ++i)
    {
        if (half)
            writeInt16(static_cast<std::int16_t>(encodeHalfFloat(data[i])));
        else
            writeFloat32(data[i]);
    }
}

std::uint16_t encodeHalfFloat(float value)
{
    if (!std::isfinite(value))
        throw std::invalid_argument("encodeHalfFloat: not a finite value");
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof(bits));
    const std::uint32_t sign = (bits >> 16) & 0x8000u;
    const float magnitude = std::fabs(value);

    std::uint32_t half;
    if (magnitude < 6.103515625e-5f)
    {
        // Subnormal: m * 2^-24, rounded to nearest even; m = 1024 carries into the exponent.
        half = static_cast<std::uint32_t>(std::nearbyint(magnitude * 16777216.0f));
    }
    else
    {
        const std::uint32_t magnitudeBits = bits & 0x7FFFFFFFu;
        const std::uint32_t exponent = (magnitudeBits >> 23) - 112u;
        const std::uint32_t mantissa = magnitudeBits & 0x7FFFFFu;
        half = (exponent << 10) | (mantissa >> 13);
        const std::uint32_t rest = mantissa & 0x1FFFu;
        if (rest > 0x1000u || (rest == 0x1000u && (half & 1u) != 0))
            half += 1;
    }
    if (half > 0x7FFFu)
        throw std::invalid_argument("encodeHalfFloat: value out of range");
    return static_cast<std::uint16_t>(sign | half);
}

namespace
{

/** Writes the fields a record lists, in their order. */
struct FieldWriter
{
    ByteWriter& out;
    int version;
    TensorEncoding encoding;

    void magic(const std::string& value) { out.writeString(value); }
    void formatVersion(int value)
    {
        out.writeInt32(value);
        version = value;
    }
    void float64(const char*, double value) { out.writeFloat64(value); }
    void processingMode(ProcessingMode value) { out.writeInt8(static_cast<int>(value)); }
    /** As given: the reader expects numOutputs + 1 of them. */
    void outputNames(const std::vector<std::string>& names, int)
    {
        for (const std::string& name : names)
            out.writeString(name);
    }
    void packingCode(PackingCode value) { out.writeInt8(static_cast<int>(value)); }
    void packing(const char*, const PackingRecord& value) { PackingRecord::fields(*this, value); }

    void text(const std::string& value) { out.writeString(value); }
    void sources(const std::vector<std::string>& names)
    {
        out.writeInt16(static_cast<int>(names.size()));
        for (const std::string& name : names)
            out.writeString(name);
    }
    void int8(const char*, int value) { out.writeInt8(value); }
    void int16(const char*, int value) { out.writeInt16(value); }
    void float32(const char*, float value) { out.writeFloat32(value); }
    void tensor(const char*, const StoredTensor& value) { out.writeTensor(value, version, encoding); }
    void bands(const std::vector<FrequencyBandRecord>& bands)
    {
        out.writeInt16(static_cast<int>(bands.size()));
        for (const FrequencyBandRecord& band : bands)
        {
            out.writeInt16(band.start);
            tensor("band", band.weights);
        }
    }
};

} // namespace

std::vector<std::uint8_t> writeModel(const ModelDescription& description)
{
    ByteWriter out;
    FieldWriter fields{out, description.header.version, description.encoding};
    ModelHeaderRecord::fields(fields, description.header);
    out.writeInt32(static_cast<std::int32_t>(description.layers.size()));
    for (const LayerRecord& layer : description.layers)
    {
        if (description.header.version < getFirstModelVersion(layer.getType()))
            throw std::invalid_argument("writeModel: layer '" + layer.name + "' needs format version " +
                                        std::to_string(getFirstModelVersion(layer.getType())) + " or later");
        out.writeString(layer.name);
        out.writeInt16(static_cast<int>(layer.getType()));
        std::visit([&](const auto& record) { record.fields(fields, record); }, layer.body);
    }
    out.writeString(description.outputSource);
    return out.getBytes();
}

std::vector<std::uint8_t> writeModel(const ModelFileRecord& records)
{
    return writeModel(ModelDescription{records, TensorEncoding::float32});
}

bool saveModel(const ModelDescription& description, const std::string& path)
{
    const std::vector<std::uint8_t> bytes = writeModel(description);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

} // namespace murel::modelwriter
