#pragma once

#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "DspCore/Export.h"
#include "Neural/Tensor.h"

namespace murel
{

/** Newest format version whose every field is known here; files and writers default to it. */
constexpr int newestModelVersion = 4107;

/** Layer type codes of the model file. */
enum class LayerType : int
{
    none = 0,
    output = 1,
    conv = 2,
    transposedConv = 3,
    relu = 4,
    elu = 5,
    sigmoid = 6,
    norm = 7,
    concat = 9,
    leakyRelu = 12,
    dense = 14,
    separableChannelConv = 15,
    preNorm = 16,
    softplus = 17,
    arithmetic = 18,
    selfAttention = 19,
    hardSigmoid = 20,
    frequencyRescale = 22,
    arPreNorm = 23,
    gru = 24,
    lstm = 25,
};

/** The oldest format version whose files may hold records of the type. */
inline int getFirstModelVersion(LayerType type)
{
    return type == LayerType::gru || type == LayerType::lstm ? 4107 : 4100;
}

/** How spectra are packed into tensors and masks unpacked from them (the packing codes). */
enum class PackingCode : int
{
    /** Magnitudes of every bin. */
    magnitudes = 1,
    /** The low bins as four rectified parts, then magnitudes. */
    splitMagnitudes = 2,
    /** Real and imaginary parts of every bin, in two channels. */
    realAndImaginary = 4,
    /** Magnitudes of several frames (loads, but cannot be processed). */
    history = 5,
    /** Real and imaginary parts, the high bins averaged in groups. */
    decimated = 6,
};

/** Codes that pack real and imaginary parts as channels of their own. */
inline bool isComplexPacking(PackingCode code)
{
    return code == PackingCode::realAndImaginary || code == PackingCode::decimated;
}

/** What a model's outputs are: masks for the input spectrum, or the spectra themselves (any other
    value than 0). */
enum class ProcessingMode : int
{
    masks = 0,
    spectra = 1,
};

/** A packing code with its parameter block as stored. */
struct MUREL_EXPORT PackingRecord
{
    PackingCode code = PackingCode::realAndImaginary;
    /** Codes 1 and 4: the bins; 2, 5, 6: lowBins + highBins. */
    int numBins = 257;
    int lowBins = 0;
    int highBins = 0;
    /** Code 5. */
    int numOfHistoryFrames = 1;
    /** Code 5: the fourth int16, unused. */
    int unused = 0;
    /** Code 6. */
    int decimation = 1;

    /** Codes 1 and 4 (other codes are written without parameters). */
    static PackingRecord plain(PackingCode code, int numBins);
    /** Code 2 (or any code given). */
    static PackingRecord split(PackingCode code, int lowBins, int highBins);
    static PackingRecord history(int lowBins, int highBins, int numOfHistoryFrames);
    static PackingRecord decimated(int lowBins, int highBins, int decimation);

    /** The stored block: the code, then the parameters it has (see the layer records below). */
    template <typename Fields, typename Self>
    static void fields(Fields& f, Self& r)
    {
        f.packingCode(r.code);
        switch (r.code)
        {
        case PackingCode::magnitudes:
        case PackingCode::realAndImaginary:
            f.int16("numBins", r.numBins);
            break;
        case PackingCode::splitMagnitudes:
        case PackingCode::history:
        case PackingCode::decimated:
            f.int16("lowBins", r.lowBins);
            f.int16("highBins", r.highBins);
            if (r.code == PackingCode::history)
            {
                f.int16("numOfHistoryFrames", r.numOfHistoryFrames);
                f.int16("unused", r.unused);
            }
            if (r.code == PackingCode::decimated)
                f.int8("decimation", r.decimation);
            break;
        }
    }
};

/** The header of a model file, every field as stored (for versions without a field, the value the
    format defines: window = FFT size, one output named "Processed" with "Residual"). The defaults
    are those of a new file. */
struct MUREL_EXPORT ModelHeaderRecord
{
    std::string magic = "MUREL.model";
    int version = newestModelVersion;
    int modelId = 0;
    double sampleRate = 48000.0;
    int numInputChannels = 1;
    PackingRecord inputPacking;
    ProcessingMode processingMode = ProcessingMode::masks;
    int numOutputChannels = 1;
    /** Stored (with outputNames) from version 4102 on. */
    int numOutputs = 1;
    /** numOutputs names and the residual's. */
    std::vector<std::string> outputNames{"Processed", "Residual"};
    PackingRecord outputPacking;
    int fftSize = 512;
    /** Stored from version 4101 on. */
    int windowSize = 512;
    int hopSize = 128;
    /** As read (it follows the header); a writer writes the records it is given. */
    int numOfLayers = 0;

    /** The stored fields in file order, as the layer records list theirs. */
    template <typename Fields, typename Self>
    static void fields(Fields& f, Self& r)
    {
        f.magic(r.magic);
        f.formatVersion(r.version);
        f.int16("modelId", r.modelId);
        f.float64("sampleRate", r.sampleRate);
        f.int8("numInputChannels", r.numInputChannels);
        f.packing("the input", r.inputPacking);
        f.processingMode(r.processingMode);
        f.int8("numOutputChannels", r.numOutputChannels);
        if (f.version >= 4102)
        {
            f.int8("numOutputs", r.numOutputs);
            f.outputNames(r.outputNames, r.numOutputs);
        }
        f.packing("the output", r.outputPacking);
        f.int16("fftSize", r.fftSize);
        if (f.version >= 4101)
            f.int16("windowSize", r.windowSize);
        f.int16("hopSize", r.hopSize);
    }
};

/** A stored tensor: its values (shape and data as the engine uses them) and how they were stored. */
struct MUREL_EXPORT StoredTensor
{
    StoredTensor() = default;
    /** values fill shape in row-major order (none for no axes); std::invalid_argument otherwise. */
    StoredTensor(std::vector<int> shape, const std::vector<float>& values);

    Tensor<float> values;
    /** 16-bit half floats in the file (versions from 4105 on). */
    bool isHalfFloat = false;
};

// Every layer record lists its stored fields once, in file order, in fields(): the reader, the
// writer and the listings all go through it. A new record is a struct here with its type and its
// fields, and an entry in LayerBody.
//
// A field list calls, on its visitor: text(value), sources(names), int8/int16(name, value),
// float32(name, value), tensor(name, value), bands(value), and reads visitor.version. The header
// and the packing blocks above list theirs the same way (with a few calls of their own).

struct MUREL_EXPORT ConvLayerRecord
{
    static constexpr LayerType type = LayerType::conv;
    std::string source;
    /** [kernelTime, kernelFrequency, inputChannels, outputChannels] */
    StoredTensor weights;
    StoredTensor bias;
    int timeStride = 1;
    int frequencyStride = 1;
    int timeDilation = 1;
    int frequencyDilation = 1;
    int timeOffset = 0;

    template <typename Fields, typename Self>
    static void fields(Fields& f, Self& r)
    {
        f.text(r.source);
        f.tensor("weights", r.weights);
        f.tensor("bias", r.bias);
        f.int8("timeStride", r.timeStride);
        f.int8("frequencyStride", r.frequencyStride);
        f.int8("timeDilation", r.timeDilation);
        f.int8("frequencyDilation", r.frequencyDilation);
        f.int8("timeOffset", r.timeOffset);
    }
};

struct MUREL_EXPORT TransposedConvLayerRecord
{
    static constexpr LayerType type = LayerType::transposedConv;
    std::string source;
    /** [kernelTime, kernelFrequency, outputChannels, inputChannels] */
    StoredTensor weights;
    StoredTensor bias;
    /** Stored from version 4104 on; -1 for older files (the weights' count applies). */
    int outputChannels = -1;
    int timeStride = 1;
    int frequencyStride = 1;
    int timeDilation = 1;
    int frequencyDilation = 1;
    int timeOffset = 0;

    template <typename Fields, typename Self>
    static void fields(Fields& f, Self& r)
    {
        f.text(r.source);
        f.tensor("weights", r.weights);
        f.tensor("bias", r.bias);
        if (f.version >= 4104)
            f.int16("outputChannels", r.outputChannels);
        f.int8("timeStride", r.timeStride);
        f.int8("frequencyStride", r.frequencyStride);
        f.int8("timeDilation", r.timeDilation);
        f.int8("frequencyDilation", r.frequencyDilation);
        f.int8("timeOffset", r.timeOffset);
    }
};

/** The activations without parameters: one record for several type codes. */
struct MUREL_EXPORT ActivationLayerRecord
{
    static bool holds(LayerType code)
    {
        return code == LayerType::relu || code == LayerType::elu || code == LayerType::sigmoid ||
               code == LayerType::softplus || code == LayerType::hardSigmoid;
    }
    LayerType type = LayerType::relu;
    std::string source;

    template <typename Fields, typename Self>
    static void fields(Fields& f, Self& r)
    {
        f.text(r.source);
    }
};

struct MUREL_EXPORT LeakyReLULayerRecord
{
    static constexpr LayerType type = LayerType::leakyRelu;
    std::string source;
    float negativeSlope = 0.0f;

    template <typename Fields, typename Self>
    static void fields(Fields& f, Self& r)
    {
        f.text(r.source);
        f.float32("negativeSlope", r.negativeSlope);
    }
};

struct MUREL_EXPORT NormLayerRecord
{
    static constexpr LayerType type = LayerType::norm;
    std::string source;
    /** Stored from version 4106 on; 0 for older files. */
    int mode = 0;
    StoredTensor scale;
    StoredTensor offset;

    template <typename Fields, typename Self>
    static void fields(Fields& f, Self& r)
    {
        f.text(r.source);
        if (f.version >= 4106)
        {
            f.int8("mode", r.mode);
            f.tensor("scale", r.scale);
            f.tensor("offset", r.offset);
        }
        else
        {
            f.tensor("offset", r.offset);
            f.tensor("scale", r.scale);
        }
    }
};

/** Concatenation: several sources. */
struct MUREL_EXPORT ConcatLayerRecord
{
    static constexpr LayerType type = LayerType::concat;
    std::vector<std::string> sources;

    template <typename Fields, typename Self>
    static void fields(Fields& f, Self& r)
    {
        f.sources(r.sources);
    }
};

struct MUREL_EXPORT DenseLayerRecord
{
    static constexpr LayerType type = LayerType::dense;
    std::string source;
    /** [rows][rows][channels] */
    StoredTensor weights;
    /** [rows][channels], may be empty. */
    StoredTensor bias;

    template <typename Fields, typename Self>
    static void fields(Fields& f, Self& r)
    {
        f.text(r.source);
        f.tensor("weights", r.weights);
        f.tensor("bias", r.bias);
    }
};

struct MUREL_EXPORT SeparableChannelConvLayerRecord
{
    static constexpr LayerType type = LayerType::separableChannelConv;
    std::string source;
    StoredTensor timeKernel;
    StoredTensor frequencyKernel;

    template <typename Fields, typename Self>
    static void fields(Fields& f, Self& r)
    {
        f.text(r.source);
        f.tensor("timeKernel", r.timeKernel);
        f.tensor("frequencyKernel", r.frequencyKernel);
    }
};

struct MUREL_EXPORT PreNormLayerRecord
{
    static constexpr LayerType type = LayerType::preNorm;
    std::string source;
    /** Its first axis is the number of levels kept. */
    StoredTensor kernel;

    template <typename Fields, typename Self>
    static void fields(Fields& f, Self& r)
    {
        f.text(r.source);
        f.tensor("kernel", r.kernel);
    }
};

struct MUREL_EXPORT ArithmeticLayerRecord
{
    static constexpr LayerType type = LayerType::arithmetic;
    std::vector<std::string> sources;
    int operation = 0;

    template <typename Fields, typename Self>
    static void fields(Fields& f, Self& r)
    {
        f.sources(r.sources);
        f.int8("operation", r.operation);
    }
};

struct MUREL_EXPORT SelfAttentionLayerRecord
{
    static constexpr LayerType type = LayerType::selfAttention;
    std::string source;
    /** [channels][channels] */
    StoredTensor weights;
    /** [rows][channels] */
    StoredTensor bias;
    /** Stored from version 4103 on, with the context kernel [taps][channels]. */
    int outputDelay = 0;
    StoredTensor contextKernel;

    template <typename Fields, typename Self>
    static void fields(Fields& f, Self& r)
    {
        f.text(r.source);
        f.tensor("weights", r.weights);
        f.tensor("bias", r.bias);
        if (f.version >= 4103)
        {
            f.int8("outputDelay", r.outputDelay);
            f.tensor("contextKernel", r.contextKernel);
        }
    }
};

struct MUREL_EXPORT FrequencyBandRecord
{
    int start = 0;
    StoredTensor weights;
};

/** Stored as an int16 band count, then per band an int16 start row and its weights. */
struct MUREL_EXPORT FrequencyRescaleLayerRecord
{
    static constexpr LayerType type = LayerType::frequencyRescale;
    std::string source;
    std::vector<FrequencyBandRecord> bands;

    template <typename Fields, typename Self>
    static void fields(Fields& f, Self& r)
    {
        f.text(r.source);
        f.bands(r.bands);
    }
};

struct MUREL_EXPORT ARPreNormLayerRecord
{
    static constexpr LayerType type = LayerType::arPreNorm;
    std::string source;
    float attackCoefficient = 0.0f;
    float releaseCoefficient = 0.0f;
    float epsilon = 0.0f;

    template <typename Fields, typename Self>
    static void fields(Fields& f, Self& r)
    {
        f.text(r.source);
        f.float32("attackCoefficient", r.attackCoefficient);
        f.float32("releaseCoefficient", r.releaseCoefficient);
        f.float32("epsilon", r.epsilon);
    }
};

/** GRU (24) and LSTM (25), in the gate layout of the usual deep-learning frameworks: GRU gates
    reset, update, new; LSTM gates input, forget, cell, output. One recurrence over the frames;
    its input vector is a whole frame, rows x channels in row-major order, and it emits the
    hidden state as one channel of hidden rows per frame. Several stacked layers are several records. */
struct MUREL_EXPORT RecurrentLayerRecord
{
    static bool holds(LayerType code) { return code == LayerType::gru || code == LayerType::lstm; }
    LayerType type = LayerType::gru;
    std::string source;
    /** [gates x hidden][inputs] */
    StoredTensor inputWeights;
    /** [gates x hidden][hidden] */
    StoredTensor recurrentWeights;
    /** [gates x hidden] each, or empty. */
    StoredTensor inputBias;
    StoredTensor recurrentBias;

    int getNumOfGates() const { return type == LayerType::lstm ? 4 : 3; }

    template <typename Fields, typename Self>
    static void fields(Fields& f, Self& r)
    {
        f.text(r.source);
        f.tensor("inputWeights", r.inputWeights);
        f.tensor("recurrentWeights", r.recurrentWeights);
        f.tensor("inputBias", r.inputBias);
        f.tensor("recurrentBias", r.recurrentBias);
    }
};

using LayerBody = std::variant<ConvLayerRecord, TransposedConvLayerRecord, ActivationLayerRecord, LeakyReLULayerRecord,
                               NormLayerRecord, ConcatLayerRecord, DenseLayerRecord, SeparableChannelConvLayerRecord,
                               PreNormLayerRecord, ArithmeticLayerRecord, SelfAttentionLayerRecord,
                               FrequencyRescaleLayerRecord, ARPreNormLayerRecord, RecurrentLayerRecord>;

/** Records that stand for several type codes and keep the code in a field. */
template <typename Record>
constexpr bool recordKeepsType =
    std::is_same_v<Record, ActivationLayerRecord> || std::is_same_v<Record, RecurrentLayerRecord>;

/** Whether records of type Record carry the type code. */
template <typename Record>
bool recordHolds(LayerType code)
{
    if constexpr (recordKeepsType<Record>)
        return Record::holds(code);
    else
        return code == Record::type;
}

/** One layer record: the name and the rest of the record, whose alternative gives the type. */
struct MUREL_EXPORT LayerRecord
{
    std::string name;
    LayerBody body;

    LayerType getType() const;
    /** The layers it reads, in record order. */
    std::vector<std::string> getSources() const;
    /** Its tensors with their names ("weights", "bias", "band 0", ...), in file order. */
    std::vector<std::pair<std::string, const StoredTensor*>> getTensors() const;
    /** Its scalar settings as name and printed value, in file order. */
    std::vector<std::pair<std::string, std::string>> getSettings() const;
};

/** A whole model file. */
struct MUREL_EXPORT ModelFileRecord
{
    ModelHeaderRecord header;
    std::vector<LayerRecord> layers;
    /** The layer whose output is the model's output. */
    std::string outputSource = "input";
};

} // namespace murel
