#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace murel::modelreader
{

/** Reads the structure of a model file (header, layer graph, weight shapes) without loading
    any weights: for inspection tools. It never runs the model; whether the engine accepts a
    file is decided by the engine alone. */

/** A file that cannot be read as a model: truncated, an unknown code, an impossible count. */
class ModelFileError : public std::runtime_error
{
public:
    ModelFileError(const std::string& message, std::int64_t offset);

    /** Byte offset at which the problem was found. */
    std::int64_t getOffset() const { return offset; }

private:
    std::int64_t offset;
};

struct TensorInfo
{
    /** What the tensor is to its layer: "weights", "bias", "scale", ... */
    std::string role;
    std::vector<int> shape;
    /** 1: 32-bit floats, 0: 16-bit half floats. */
    int elementFormat = 1;
    /** Values stored in the file: the product of the shape, 0 for no axes. */
    std::int64_t numOfValues = 0;
};

struct PackingInfo
{
    int code = 0;
    /** The parameter block as stored (int16 values, the int8 decimation of code 6 last). */
    std::vector<int> parameters;
};

struct LayerInfo
{
    std::string name;
    int type = 0;
    std::vector<std::string> sources;
    std::vector<TensorInfo> tensors;
    /** Scalar settings of the record, as name and printed value, in file order. */
    std::vector<std::pair<std::string, std::string>> settings;

    std::int64_t getNumOfParameters() const;
};

struct ModelFileInfo
{
    std::string magic;
    int version = 0;
    int modelId = 0;
    double sampleRate = 0.0;
    int numInputChannels = 0;
    PackingInfo inputPacking;
    int processingMode = 0;
    int numOutputChannels = 0;
    int numOutputs = 0;
    /** numOutputs names and the residual's, or "Processed", "Residual" before version 4102. */
    std::vector<std::string> outputNames;
    PackingInfo outputPacking;
    int fftSize = 0;
    int windowSize = 0;
    int hopSize = 0;
    std::vector<LayerInfo> layers;
    std::string outputSource;
    std::int64_t fileSize = 0;
    /** Bytes after the output source that no reader consumes. */
    std::int64_t numOfTrailingBytes = 0;

    std::int64_t getNumOfParameters() const;
};

/** Parses a whole model file. Throws ModelFileError for anything it cannot follow. */
ModelFileInfo readModel(const std::vector<std::uint8_t>& bytes);

/** Reads and parses a file. Throws ModelFileError, or std::runtime_error when the file cannot be
    read at all (with the system's reason). */
ModelFileInfo readModelFile(const std::string& path);

/** "Conv", "Sigmoid", ...; "type N" for codes that are not layer records. */
std::string getLayerTypeName(int type);

/** "magnitudes", "real and imaginary parts", ... for a packing code. */
std::string getPackingName(int code);

} // namespace murel::modelreader
