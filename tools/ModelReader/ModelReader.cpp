#include "ModelReader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>

namespace murel::modelreader
{

namespace
{

// Tensors of the engine hold fewer than 2^29 values (their byte size is a signed 32-bit int).
constexpr std::int64_t maxNumOfTensorValues = std::int64_t{1} << 29;

std::string formatNumber(double value)
{
    std::ostringstream text;
    text.precision(7);
    text << value;
    return text.str();
}

class ByteReader
{
public:
    explicit ByteReader(const std::vector<std::uint8_t>& bytesToRead) : bytes(bytesToRead) {}

    std::int64_t getOffset() const { return static_cast<std::int64_t>(position); }
    std::int64_t getNumOfRemainingBytes() const { return static_cast<std::int64_t>(bytes.size() - position); }

    [[noreturn]] void fail(const std::string& message) const { throw ModelFileError(message, getOffset()); }

    int readInt8(const char* what)
    {
        need(1, what);
        return static_cast<std::int8_t>(bytes[position++]);
    }

    int readUInt8(const char* what)
    {
        need(1, what);
        return bytes[position++];
    }

    int readInt16(const char* what)
    {
        need(2, what);
        const auto bits = static_cast<std::uint16_t>(bytes[position] | (bytes[position + 1] << 8));
        position += 2;
        return static_cast<std::int16_t>(bits);
    }

    std::int32_t readInt32(const char* what) { return static_cast<std::int32_t>(readUInt32(what)); }

    float readFloat32(const char* what)
    {
        const std::uint32_t bits = readUInt32(what);
        float value = 0.0f;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    double readFloat64(const char* what)
    {
        need(8, what);
        std::uint64_t bits = 0;
        for (std::size_t i = 0; i < 8; ++i)
            bits |= std::uint64_t{bytes[position + i]} << (8 * i);
        position += 8;
        double value = 0.0;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    std::string readString(const char* what)
    {
        const std::int32_t length = readInt32(what);
        if (length < 0)
            fail(std::string(what) + ": negative string length " + std::to_string(length));
        need(length, what);
        std::string text(reinterpret_cast<const char*>(bytes.data() + position), static_cast<std::size_t>(length));
        position += static_cast<std::size_t>(length);
        return text;
    }

    void skip(std::int64_t numOfBytes, const char* what)
    {
        need(numOfBytes, what);
        position += static_cast<std::size_t>(numOfBytes);
    }

private:
    std::uint32_t readUInt32(const char* what)
    {
        need(4, what);
        std::uint32_t bits = 0;
        for (std::size_t i = 0; i < 4; ++i)
            bits |= std::uint32_t{bytes[position + i]} << (8 * i);
        position += 4;
        return bits;
    }

    void need(std::int64_t numOfBytes, const char* what) const
    {
        if (numOfBytes > getNumOfRemainingBytes())
            fail(std::string("file ends inside ") + what);
    }

    const std::vector<std::uint8_t>& bytes;
    std::size_t position = 0;
};

class ModelParser
{
public:
    explicit ModelParser(const std::vector<std::uint8_t>& bytes) : reader(bytes) {}

    ModelFileInfo parse(std::int64_t fileSize)
    {
        ModelFileInfo info;
        info.fileSize = fileSize;
        // Anything but one of the two magic strings is not a model file, however it goes on.
        try
        {
            info.magic = reader.readString("the magic string");
        }
        catch (const ModelFileError&)
        {
        }
        if (info.magic != "MUREL.model" && info.magic != "KAVo.model")
            throw ModelFileError("not a model file (it does not start with a model magic string)", 0);
        info.version = reader.readInt32("the format version");
        if (info.version < 4100)
            reader.fail("format version " + std::to_string(info.version) + " is older than the oldest readable (4100)");
        version = info.version;

        info.modelId = reader.readInt16("the model id");
        info.sampleRate = reader.readFloat64("the sample rate");
        info.numInputChannels = reader.readInt8("the input channel count");
        info.inputPacking = readPacking("input");
        info.processingMode = reader.readInt8("the processing mode");
        info.numOutputChannels = reader.readInt8("the output channel count");
        if (version >= 4102)
        {
            info.numOutputs = reader.readInt8("the output count");
            for (int i = 0; i <= info.numOutputs; ++i)
                info.outputNames.push_back(reader.readString("the output names"));
        }
        else
        {
            info.numOutputs = 1;
            info.outputNames = {"Processed", "Residual"};
        }
        info.outputPacking = readPacking("output");
        info.fftSize = reader.readInt16("the FFT size");
        info.windowSize = version >= 4101 ? reader.readInt16("the window size") : info.fftSize;
        info.hopSize = reader.readInt16("the hop size");

        const std::int32_t numOfLayers = reader.readInt32("the layer count");
        if (numOfLayers < 0)
            reader.fail("negative layer count " + std::to_string(numOfLayers));
        knownNames.insert("input");
        for (std::int32_t i = 0; i < numOfLayers; ++i)
            info.layers.push_back(readLayer());

        info.outputSource = reader.readString("the output source");
        if (knownNames.count(info.outputSource) == 0)
            reader.fail("the model output reads from '" + info.outputSource + "', which is not a layer of the file");
        info.numOfTrailingBytes = reader.getNumOfRemainingBytes();
        return info;
    }

private:
    PackingInfo readPacking(const std::string& which)
    {
        PackingInfo packing;
        packing.code = reader.readInt8("a packing code");
        const char* what = "a packing parameter block";
        switch (packing.code)
        {
        case 1:
        case 4:
            packing.parameters = {reader.readInt16(what)};
            break;
        case 2:
            packing.parameters = {reader.readInt16(what), reader.readInt16(what)};
            break;
        case 5:
            for (int i = 0; i < 4; ++i)
                packing.parameters.push_back(reader.readInt16(what));
            break;
        case 6:
            packing.parameters = {reader.readInt16(what), reader.readInt16(what)};
            packing.parameters.push_back(reader.readInt8(what));
            break;
        default:
            reader.fail("unknown " + which + " packing code " + std::to_string(packing.code));
        }
        return packing;
    }

    TensorInfo readTensor(const char* role)
    {
        TensorInfo tensor;
        tensor.role = role;
        const std::string what = std::string("the ") + role + " tensor of layer '" + layerName + "'";
        tensor.elementFormat = version > 4104 ? reader.readUInt8(what.c_str()) : 1;
        if (tensor.elementFormat != 0 && tensor.elementFormat != 1)
            reader.fail(what + ": unknown element format " + std::to_string(tensor.elementFormat));
        const int rank = reader.readInt8(what.c_str());
        if (rank < 0)
            reader.fail(what + ": negative rank " + std::to_string(rank));
        std::int64_t count = rank > 0 ? 1 : 0;
        for (int axis = 0; axis < rank; ++axis)
        {
            const std::int32_t length = reader.readInt32(what.c_str());
            if (length < 0)
                reader.fail(what + ": negative axis length " + std::to_string(length));
            tensor.shape.push_back(length);
            count = std::min(count * length, maxNumOfTensorValues);
        }
        if (count >= maxNumOfTensorValues)
            reader.fail(what + " is too large");
        tensor.numOfValues = count;
        reader.skip(count * (tensor.elementFormat == 1 ? 4 : 2), what.c_str());
        return tensor;
    }

    std::string readSource()
    {
        std::string source = reader.readString("a source layer name");
        if (knownNames.count(source) == 0)
            reader.fail("layer '" + layerName + "' reads from '" + source + "', which is not defined before it");
        return source;
    }

    void readSources(LayerInfo& layer)
    {
        const int numOfSources = reader.readInt16("a source count");
        if (numOfSources < 1)
            reader.fail("layer '" + layerName + "' has " + std::to_string(numOfSources) + " sources");
        for (int i = 0; i < numOfSources; ++i)
            layer.sources.push_back(readSource());
    }

    void addInt8Setting(LayerInfo& layer, const char* name)
    {
        layer.settings.emplace_back(name, std::to_string(reader.readInt8(name)));
    }

    void addFloatSetting(LayerInfo& layer, const char* name)
    {
        layer.settings.emplace_back(name, formatNumber(static_cast<double>(reader.readFloat32(name))));
    }

    void addConvSettings(LayerInfo& layer)
    {
        for (const char* name : {"timeStride", "frequencyStride", "timeDilation", "frequencyDilation", "timeOffset"})
            addInt8Setting(layer, name);
    }

    LayerInfo readLayer()
    {
        LayerInfo layer;
        layer.name = reader.readString("a layer name");
        layerName = layer.name;
        layer.type = reader.readInt16("a layer type");
        switch (layer.type)
        {
        case 2:
            layer.sources = {readSource()};
            layer.tensors = {readTensor("weights"), readTensor("bias")};
            addConvSettings(layer);
            break;
        case 3:
            layer.sources = {readSource()};
            layer.tensors = {readTensor("weights"), readTensor("bias")};
            if (version >= 4104)
                layer.settings.emplace_back("outputChannels", std::to_string(reader.readInt16("outputChannels")));
            addConvSettings(layer);
            break;
        case 4:
        case 5:
        case 6:
        case 17:
        case 20:
            layer.sources = {readSource()};
            break;
        case 7:
            layer.sources = {readSource()};
            if (version >= 4106)
            {
                addInt8Setting(layer, "mode");
                layer.tensors = {readTensor("scale"), readTensor("offset")};
            }
            else
            {
                layer.tensors.push_back(readTensor("offset"));
                layer.tensors.push_back(readTensor("scale"));
            }
            break;
        case 9:
            readSources(layer);
            break;
        case 12:
            layer.sources = {readSource()};
            addFloatSetting(layer, "negativeSlope");
            break;
        case 14:
            layer.sources = {readSource()};
            layer.tensors = {readTensor("weights"), readTensor("bias")};
            break;
        case 15:
            layer.sources = {readSource()};
            layer.tensors = {readTensor("timeKernel"), readTensor("frequencyKernel")};
            break;
        case 16:
            layer.sources = {readSource()};
            layer.tensors = {readTensor("kernel")};
            break;
        case 18:
            readSources(layer);
            addInt8Setting(layer, "operation");
            break;
        case 19:
            layer.sources = {readSource()};
            layer.tensors = {readTensor("weights"), readTensor("bias")};
            if (version >= 4103)
            {
                addInt8Setting(layer, "outputDelay");
                layer.tensors.push_back(readTensor("contextKernel"));
            }
            break;
        case 22:
        {
            layer.sources = {readSource()};
            const int numOfBands = reader.readInt16("a band count");
            if (numOfBands < 0)
                reader.fail("layer '" + layerName + "' has a negative band count");
            for (int band = 0; band < numOfBands; ++band)
            {
                layer.settings.emplace_back("band" + std::to_string(band) + "Start",
                                            std::to_string(reader.readInt16("a band start")));
                layer.tensors.push_back(readTensor("band weights"));
            }
            break;
        }
        case 23:
            layer.sources = {readSource()};
            addFloatSetting(layer, "attackCoefficient");
            addFloatSetting(layer, "releaseCoefficient");
            addFloatSetting(layer, "epsilon");
            break;
        default:
            reader.fail("layer '" + layerName + "' has the unknown type code " + std::to_string(layer.type));
        }
        if (layer.name == "input" || layer.name == "output")
            reader.fail("a layer is named '" + layer.name + "', a name reserved for the graph's ends");
        if (!knownNames.insert(layer.name).second)
            reader.fail("two layers are named '" + layer.name + "'");
        return layer;
    }

    ByteReader reader;
    int version = 0;
    std::string layerName;
    std::set<std::string> knownNames;
};

} // namespace

ModelFileError::ModelFileError(const std::string& message, std::int64_t byteOffset)
    : std::runtime_error(message), offset(byteOffset)
{
}

std::int64_t LayerInfo::getNumOfParameters() const
{
    std::int64_t count = 0;
    for (const TensorInfo& tensor : tensors)
        count += tensor.numOfValues;
    return count;
}

std::int64_t ModelFileInfo::getNumOfParameters() const
{
    std::int64_t count = 0;
    for (const LayerInfo& layer : layers)
        count += layer.getNumOfParameters();
    return count;
}

ModelFileInfo readModel(const std::vector<std::uint8_t>& bytes)
{
    return ModelParser(bytes).parse(static_cast<std::int64_t>(bytes.size()));
}

ModelFileInfo readModelFile(const std::string& path)
{
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file)
        throw std::runtime_error(std::strerror(errno));
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[65536];
    for (;;)
    {
        const std::size_t numOfBytes = std::fread(chunk, 1, sizeof chunk, file.get());
        bytes.insert(bytes.end(), chunk, chunk + numOfBytes);
        if (numOfBytes < sizeof chunk)
            break;
    }
    if (std::ferror(file.get()))
        throw std::runtime_error(std::strerror(errno));
    return readModel(bytes);
}

std::string getLayerTypeName(int type)
{
    switch (type)
    {
    case 1:
        return "Output";
    case 2:
        return "Conv";
    case 3:
        return "TransposedConv";
    case 4:
        return "ReLU";
    case 5:
        return "ELU";
    case 6:
        return "Sigmoid";
    case 7:
        return "Norm";
    case 9:
        return "Concat";
    case 12:
        return "LeakyReLU";
    case 14:
        return "Dense";
    case 15:
        return "SeparableChannelConv";
    case 16:
        return "PreNorm";
    case 17:
        return "Softplus";
    case 18:
        return "Arithmetic";
    case 19:
        return "SelfAttention";
    case 20:
        return "HardSigmoid";
    case 22:
        return "FrequencyRescale";
    case 23:
        return "ARPreNorm";
    default:
        return "type " + std::to_string(type);
    }
}

std::string getPackingName(int code)
{
    switch (code)
    {
    case 1:
        return "magnitudes";
    case 2:
        return "signed parts of low bins, magnitudes above";
    case 4:
        return "real and imaginary parts";
    case 5:
        return "spectrum history";
    case 6:
        return "real and imaginary parts, decimated above the low bins";
    default:
        return "unknown";
    }
}

} // namespace murel::modelreader
