#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "DspCore/Export.h"
#include "DspCore/Files.h"
#include "Neural/Layers.h"
#include "Neural/Tensor.h"

namespace murel
{

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
    int numBins = 0;
    int lowBins = 0;
    int highBins = 0;
    /** Code 5. */
    int numOfHistoryFrames = 1;
    /** Code 5: the fourth int16, unused. */
    int unused = 0;
    /** Code 6. */
    int decimation = 1;
};

/** The header of a model file, every field as stored (for versions without a field, the value the
    format defines: window = FFT size, one output named "Processed" with "Residual"). */
struct MUREL_EXPORT ModelHeaderRecord
{
    std::string magic;
    int version = 0;
    int modelId = 0;
    double sampleRate = 0.0;
    int numInputChannels = 0;
    PackingRecord inputPacking;
    ProcessingMode processingMode = ProcessingMode::masks;
    int numOutputChannels = 0;
    int numOutputs = 0;
    /** numOutputs names and the residual's. */
    std::vector<std::string> outputNames;
    PackingRecord outputPacking;
    int fftSize = 0;
    int windowSize = 0;
    int hopSize = 0;
    int numOfLayers = 0;
};

/** A stored tensor: its values (shape and data as the engine uses them) and how they were stored. */
struct MUREL_EXPORT StoredTensor
{
    Tensor<float> values;
    /** 16-bit half floats in the file (versions from 4105 on). */
    bool isHalfFloat = false;
};

struct MUREL_EXPORT ConvLayerRecord
{
    std::string source;
    StoredTensor weights;
    StoredTensor bias;
    int timeStride = 1;
    int frequencyStride = 1;
    int timeDilation = 1;
    int frequencyDilation = 1;
    int timeOffset = 0;
};

struct MUREL_EXPORT TransposedConvLayerRecord
{
    std::string source;
    StoredTensor weights;
    StoredTensor bias;
    /** Stored from version 4104 on; -1 for older files (the weights' count applies). */
    int outputChannels = -1;
    int timeStride = 1;
    int frequencyStride = 1;
    int timeDilation = 1;
    int frequencyDilation = 1;
    int timeOffset = 0;
};

/** The activations without parameters (ReLU, ELU, sigmoid, softplus, hard sigmoid). */
struct MUREL_EXPORT ActivationLayerRecord
{
    std::string source;
};

struct MUREL_EXPORT LeakyReLULayerRecord
{
    std::string source;
    float negativeSlope = 0.0f;
};

struct MUREL_EXPORT NormLayerRecord
{
    std::string source;
    /** Stored from version 4106 on; 0 for older files. */
    int mode = 0;
    StoredTensor scale;
    StoredTensor offset;
};

/** Concatenation: several sources. */
struct MUREL_EXPORT ConcatLayerRecord
{
    std::vector<std::string> sources;
};

struct MUREL_EXPORT DenseLayerRecord
{
    std::string source;
    StoredTensor weights;
    StoredTensor bias;
};

struct MUREL_EXPORT SeparableChannelConvLayerRecord
{
    std::string source;
    StoredTensor timeKernel;
    StoredTensor frequencyKernel;
};

struct MUREL_EXPORT PreNormLayerRecord
{
    std::string source;
    StoredTensor kernel;
};

struct MUREL_EXPORT ArithmeticLayerRecord
{
    std::vector<std::string> sources;
    int operation = 0;
};

struct MUREL_EXPORT SelfAttentionLayerRecord
{
    std::string source;
    StoredTensor weights;
    StoredTensor bias;
    /** Stored from version 4103 on, with the context kernel. */
    int outputDelay = 0;
    StoredTensor contextKernel;
};

struct MUREL_EXPORT FrequencyBandRecord
{
    int start = 0;
    StoredTensor weights;
};

struct MUREL_EXPORT FrequencyRescaleLayerRecord
{
    std::string source;
    std::vector<FrequencyBandRecord> bands;
};

struct MUREL_EXPORT ARPreNormLayerRecord
{
    std::string source;
    float attackCoefficient = 0.0f;
    float releaseCoefficient = 0.0f;
    float epsilon = 0.0f;
};

using LayerBody = std::variant<ConvLayerRecord, TransposedConvLayerRecord, ActivationLayerRecord, LeakyReLULayerRecord,
                               NormLayerRecord, ConcatLayerRecord, DenseLayerRecord, SeparableChannelConvLayerRecord,
                               PreNormLayerRecord, ArithmeticLayerRecord, SelfAttentionLayerRecord,
                               FrequencyRescaleLayerRecord, ARPreNormLayerRecord>;

/** One layer record: the name, the type and the rest of the record. */
struct MUREL_EXPORT LayerRecord
{
    std::string name;
    LayerType type = LayerType::none;
    LayerBody body;

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
    std::string outputSource;
};

/** The one reader of the model format. Every read is bounded by what the file can hold: a count or
    size that the rest of the stream cannot back is refused before anything is allocated for it.
    Failures throw ModelFormatError with a reason that names the field, the layer record and the
    tensor ("layer 3 'level' (Norm): the file ends inside tensor 'offset'"); a negative string
    length or tensor rank throws std::length_error, as the format defines. */
namespace modelfile
{

/** Reads the header from the start of the stream (the stream's position is left after it).
    Checks what the format defines: the magic, the version (4100 to 4106), known packing codes
    and bin counts that are not negative. */
MUREL_EXPORT ModelHeaderRecord readHeader(InputStream& stream);
/** Reads one layer record (name, type and the rest) of a file of the given version; recordIndex
    (from 0) names it in reasons. */
MUREL_EXPORT LayerRecord readLayer(InputStream& stream, int version, int recordIndex);
/** Reads the rest of a record of the given type, after its name and type. */
MUREL_EXPORT LayerBody readLayerBody(InputStream& stream, LayerType type, int version);
/** Reads a stored tensor; role names it in reasons. */
MUREL_EXPORT StoredTensor readTensor(InputStream& stream, int version, const std::string& role);
/** Reads a whole file: header, layer records, output source. */
MUREL_EXPORT ModelFileRecord readModelFile(InputStream& stream);

/** "Conv", "Sigmoid", ...; "type N" for codes that are no layer records. */
MUREL_EXPORT std::string getLayerTypeName(LayerType type);
/** "magnitudes", "real and imaginary parts", ... */
MUREL_EXPORT std::string getPackingName(PackingCode code);

} // namespace modelfile

} // namespace murel
