#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Format/ModelRecords.h"

// Writes model files of every format version from the records the reader gives; used by the
// tests, the fuzz corpus, the benchmarks and the command-line tools. Not part of the engine
// library (the header is not installed).
namespace murel::modelwriter
{

/** How tensor payloads are stored: 32-bit floats, or 16-bit half floats (format version 4105
    and later). */
enum class TensorEncoding
{
    float32,
    float16,
};

using TensorRecord = StoredTensor;
using Packing = PackingRecord;
using ModelHeader = ModelHeaderRecord;
using FrequencyBand = FrequencyBandRecord;
using murel::ActivationLayerRecord;
using murel::ArithmeticLayerRecord;
using murel::ARPreNormLayerRecord;
using murel::ConcatLayerRecord;
using murel::ConvLayerRecord;
using murel::DenseLayerRecord;
using murel::FrequencyRescaleLayerRecord;
using murel::LayerBody;
using murel::LayerRecord;
using murel::LayerType;
using murel::LeakyReLULayerRecord;
using murel::NormLayerRecord;
using murel::PackingCode;
using murel::PreNormLayerRecord;
using murel::ProcessingMode;
using murel::RecurrentLayerRecord;
using murel::SelfAttentionLayerRecord;
using murel::SeparableChannelConvLayerRecord;
using murel::TransposedConvLayerRecord;

/** A file to write: the header's layer count is ignored (the layers given are written), and
    tensors are stored as half floats with encoding float16 or where they were read so. */
struct ModelDescription : ModelFileRecord
{
    TensorEncoding encoding = TensorEncoding::float32;
};

/** Little-endian primitives of the model format. */
class ByteWriter
{
public:
    void writeInt8(int value);
    void writeUInt8(int value);
    void writeInt16(int value);
    void writeInt32(std::int32_t value);
    void writeFloat32(float value);
    void writeFloat64(double value);
    /** int32 byte count, then the bytes. */
    void writeString(const std::string& text);
    void writeBytes(const std::vector<std::uint8_t>& bytes);
    /** A stored tensor record for a file of the given version: element format byte from
        4105 on (float16 needs it), rank, dims, payload. Throws std::invalid_argument when the
        values cannot be encoded. */
    void writeTensor(const StoredTensor& tensor, int version, TensorEncoding encoding);

    const std::vector<std::uint8_t>& getBytes() const { return bytes; }

private:
    std::vector<std::uint8_t> bytes;
};

/** The half float the engine decodes to value (exponent 31 is finite there, up to 131008),
    rounded to nearest even. Throws std::invalid_argument for NaN, infinities and values out of
    range. */
std::uint16_t encodeHalfFloat(float value);

/** The bytes of a whole model file. Throws std::invalid_argument for a description that cannot
    be written (half floats before version 4105, recurrent layers before 4107, values out of
    range). */
std::vector<std::uint8_t> writeModel(const ModelDescription& description);
/** The bytes of the model the reader read: the same bytes come out for every file the reader
    accepts. */
std::vector<std::uint8_t> writeModel(const ModelFileRecord& records);

/** Writes the file; false when it cannot be written. */
bool saveModel(const ModelDescription& description, const std::string& path);

} // namespace murel::modelwriter
