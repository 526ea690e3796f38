#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "Neural/ModelFile.h"

namespace murel::modelwriter
{

/** How tensor payloads are stored: 32-bit floats, or 16-bit half floats (format version 4105
    and later). */
enum class TensorEncoding
{
    float32,
    float16,
};

/** A tensor as written: its shape and its values in row-major order (product of the shape;
    none for an empty shape). */
struct TensorRecord
{
    std::vector<int> shape;
    std::vector<float> values;
};

/** A packing code with the fields of its parameter block. Codes 1 and 4 write numBins; 2 writes
    lowBins, highBins; 5 adds numOfHistoryFrames and one unused int16; 6 adds an int8 decimation.
    Other codes write no parameters. */
struct Packing
{
    int code = 4;
    int numBins = 257;
    int lowBins = 0;
    int highBins = 0;
    int numOfHistoryFrames = 1;
    int unused = 0;
    int decimation = 1;

    static Packing plain(int code, int numBins);
    static Packing split(int code, int lowBins, int highBins);
    static Packing history(int lowBins, int highBins, int numOfHistoryFrames);
    static Packing decimated(int lowBins, int highBins, int decimation);
};

struct ModelHeader
{
    std::string magic = "MUREL.model";
    int version = 4106;
    int modelId = 0;
    double sampleRate = 48000.0;
    int numInputChannels = 1;
    Packing inputPacking;
    int processingMode = 0;
    int numOutputChannels = 1;
    /** Written (with outputNames) from version 4102 on. */
    int numOutputs = 1;
    /** Written as they are: the reader expects numOutputs + 1 of them. */
    std::vector<std::string> outputNames{"Processed", "Residual"};
    Packing outputPacking;
    int fftSize = 512;
    /** Written from version 4101 on. */
    int windowSize = 512;
    int hopSize = 128;
};

struct ConvLayerRecord
{
    std::string source;
    TensorRecord weights;
    TensorRecord bias;
    int timeStride = 1;
    int frequencyStride = 1;
    int timeDilation = 1;
    int frequencyDilation = 1;
    int timeOffset = 0;
};

struct TransposedConvLayerRecord
{
    std::string source;
    TensorRecord weights;
    TensorRecord bias;
    /** Written from version 4104 on. */
    int outputChannels = 0;
    int timeStride = 1;
    int frequencyStride = 1;
    int timeDilation = 1;
    int frequencyDilation = 1;
    int timeOffset = 0;
};

/** The parameterless activations: type 4 (ReLU), 5 (ELU), 6 (sigmoid), 17 (softplus) or 20
    (hard sigmoid). */
struct ActivationLayerRecord
{
    int type = 4;
    std::string source;
};

struct LeakyReLULayerRecord
{
    std::string source;
    float negativeSlope = 0.0f;
};

/** Version 4106 writes mode, scale, offset; older versions offset, scale. */
struct NormLayerRecord
{
    std::string source;
    int mode = 0;
    TensorRecord scale;
    TensorRecord offset;
};

struct ConcatLayerRecord
{
    std::vector<std::string> sources;
};

struct DenseLayerRecord
{
    std::string source;
    TensorRecord weights;
    TensorRecord bias;
};

struct SeparableChannelConvLayerRecord
{
    std::string source;
    TensorRecord timeKernel;
    TensorRecord frequencyKernel;
};

struct PreNormLayerRecord
{
    std::string source;
    TensorRecord kernel;
};

struct ArithmeticLayerRecord
{
    std::vector<std::string> sources;
    int operation = 0;
};

/** outputDelay and contextKernel are written from version 4103 on. */
struct SelfAttentionLayerRecord
{
    std::string source;
    TensorRecord weights;
    TensorRecord bias;
    int outputDelay = 0;
    TensorRecord contextKernel;
};

struct FrequencyBand
{
    int start = 0;
    TensorRecord weights;
};

struct FrequencyRescaleLayerRecord
{
    std::string source;
    std::vector<FrequencyBand> bands;
};

struct ARPreNormLayerRecord
{
    std::string source;
    float attackCoefficient = 0.0f;
    float releaseCoefficient = 0.0f;
    float epsilon = 0.0f;
};

/** Any type code followed by the given bytes, for records the typed forms cannot express. */
struct RawLayerRecord
{
    int type = 0;
    std::vector<std::uint8_t> bytes;
};

using LayerBody = std::variant<ConvLayerRecord, TransposedConvLayerRecord, ActivationLayerRecord, LeakyReLULayerRecord,
                               NormLayerRecord, ConcatLayerRecord, DenseLayerRecord, SeparableChannelConvLayerRecord,
                               PreNormLayerRecord, ArithmeticLayerRecord, SelfAttentionLayerRecord,
                               FrequencyRescaleLayerRecord, ARPreNormLayerRecord, RawLayerRecord>;

struct LayerRecord
{
    std::string name;
    LayerBody body;
};

struct ModelDescription
{
    ModelHeader header;
    TensorEncoding encoding = TensorEncoding::float32;
    std::vector<LayerRecord> layers;
    std::string outputSource = "input";
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
        values do not match the shape or cannot be encoded. */
    void writeTensor(const TensorRecord& tensor, int version, TensorEncoding encoding);
    void writePacking(const Packing& packing);

    const std::vector<std::uint8_t>& getBytes() const { return bytes; }

private:
    std::vector<std::uint8_t> bytes;
};

/** The half float the engine decodes to value (exponent 31 is finite there, up to 131008),
    rounded to nearest even. Throws std::invalid_argument for NaN, infinities and values out of
    range. */
std::uint16_t encodeHalfFloat(float value);

/** The type code a record is written with. */
int getLayerTypeCode(const LayerBody& body);

/** The bytes of a whole model file. Throws std::invalid_argument for a description that cannot
    be written (half floats before version 4105, values that do not match a shape). */
std::vector<std::uint8_t> writeModel(const ModelDescription& description);
/** The description of a model the engine's reader read: the same bytes come out for every file
    the reader accepts (tensors of a model stored as half floats are written as half floats). */
ModelDescription describeModel(const murel::ModelFileRecord& records);
/** The bytes of the model the records describe. */
std::vector<std::uint8_t> writeModel(const murel::ModelFileRecord& records);

/** Writes the file; false when it cannot be written. */
bool saveModel(const ModelDescription& description, const std::string& path);

} // namespace murel::modelwriter
