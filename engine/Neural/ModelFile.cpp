#include "Neural/ModelFile.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "Neural/ModelReading.h"

namespace murel
{

namespace modelfile
{

namespace
{

using namespace modelreading;

/** Widens IEEE half floats with the exponent 31 read as a finite exponent (0x7C00 is 65536),
    as the model format stores them. Branch-free so that the compiler vectorises it. */
void widenHalfFloats(const std::uint16_t* in, float* out, int count)
{
    for (int i = 0; i < count; ++i)
    {
        const std::uint32_t h = in[i];
        const std::uint32_t sign = (h & 0x8000u) << 16;
        const std::uint32_t exponent = (h >> 10) & 0x1Fu;
        const std::uint32_t mantissa = h & 0x3FFu;
        const std::uint32_t normalBits = sign | ((exponent + 112u) << 23) | (mantissa << 13);
        // Zero and subnormals: m * 2^-24 is exact in single precision.
        float subnormal = static_cast<float>(mantissa) * 5.9604644775390625e-8f;
        std::uint32_t subnormalBits;
        std::memcpy(&subnormalBits, &subnormal, sizeof(subnormalBits));
        subnormalBits |= sign;
        const std::uint32_t bits = exponent == 0 ? subnormalBits : normalBits;
        std::memcpy(out + i, &bits, sizeof(bits));
    }
}

/** Newest format version this reader knows every field of. */
constexpr int newestVersion = 4106;

PackingRecord readPacking(InputStream& in, const char* which)
{
    PackingRecord packing;
    const int code = readInt8(in);
    packing.code = static_cast<PackingCode>(code);
    switch (packing.code)
    {
    case PackingCode::magnitudes:
    case PackingCode::realAndImaginary:
        packing.numBins = readInt16(in);
        break;
    case PackingCode::splitMagnitudes:
    case PackingCode::history:
    case PackingCode::decimated:
        packing.lowBins = readInt16(in);
        packing.highBins = readInt16(in);
        packing.numBins = packing.lowBins + packing.highBins;
        if (packing.code == PackingCode::history)
        {
            packing.numOfHistoryFrames = readInt16(in);
            packing.unused = readInt16(in);
        }
        if (packing.code == PackingCode::decimated)
            packing.decimation = readInt8(in);
        break;
    default:
        throw ModelFormatError(std::string(which) + " packing code " + std::to_string(code) + " is unknown");
    }
    if (packing.numBins < 0 || packing.lowBins < 0 || packing.highBins < 0)
        throw ModelFormatError(std::string(which) + " packing has a negative bin count");
    return packing;
}

std::vector<std::string> readSources(InputStream& in)
{
    const int numOfInputs = readInt16(in);
    // Every name takes at least its four length bytes.
    requireBytes(in, numOfInputs, 4);
    std::vector<std::string> sources;
    for (int i = 0; i < numOfInputs; ++i)
        sources.push_back(readString(in));
    return sources;
}

std::string formatFloat(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

} // namespace

ModelHeaderRecord readHeader(InputStream& in)
{
    ModelHeaderRecord header;
    if (!in.canSeek() || !in.setPosition(0))
        throw ModelFormatError("the model cannot be read from the start");
    // The length of the magic comes first; anything else is no model file at all.
    const int magicLength = readInt32(in);
    if (magicLength < 0)
        throw std::length_error("a negative string length");
    header.magic.assign(magicLength == 10 || magicLength == 11 ? static_cast<std::size_t>(magicLength) : 0, '\0');
    readBytes(in, header.magic.data(), static_cast<int>(header.magic.size()));
    if (header.magic != "KAVo.model" && header.magic != "MUREL.model")
        throw ModelFormatError("not a model file (it does not start with \"MUREL.model\")");
    header.version = readInt32(in);
    // Newer files would have fields this reader does not know of.
    if (header.version <= 4099 || header.version > newestVersion)
        throw ModelFormatError("format version " + std::to_string(header.version) + " is not supported (4100 to " +
                               std::to_string(newestVersion) + " are)");
    header.modelId = readInt16(in);
    header.sampleRate = readFloat64(in);
    header.numInputChannels = readInt8(in);
    header.inputPacking = readPacking(in, "the input");
    header.processingMode = static_cast<ProcessingMode>(readInt8(in));
    header.numOutputChannels = readInt8(in);
    if (header.version <= 4101)
    {
        header.numOutputs = 1;
        header.outputNames = {"Processed", "Residual"};
    }
    else
    {
        header.numOutputs = readInt8(in);
        for (int i = 0; i <= header.numOutputs; ++i)
            header.outputNames.push_back(readString(in));
    }
    header.outputPacking = readPacking(in, "the output");
    header.fftSize = readInt16(in);
    header.windowSize = header.version == 4100 ? header.fftSize : readInt16(in);
    header.hopSize = readInt16(in);
    header.numOfLayers = readInt32(in);
    if (header.numOfLayers < 0)
        throw ModelFormatError("the layer count is negative");
    // A record holds a name and a type at least.
    if (static_cast<std::int64_t>(header.numOfLayers) * 6 > getNumOfRemainingBytes(in))
        throw ModelFormatError("the file declares " + std::to_string(header.numOfLayers) +
                               " layers but ends before their records");
    return header;
}

StoredTensor readTensor(InputStream& in, int version, const std::string& role)
{
    StoredTensor stored;
    Tensor<float>& tensor = stored.values;
    try
    {
        int format = 1;
        if (version > 4104)
            format = readUInt8(in);
        if (format != 0 && format != 1)
            throw ModelFormatError("unknown element format " + std::to_string(format));
        stored.isHalfFloat = format == 0;

        const int rank = readInt8(in);
        if (rank < 0)
            throw std::length_error("tensor '" + role + "' has a negative rank");
        requireBytes(in, rank, 4);
        tensor.shape.resize(static_cast<std::size_t>(rank));
        bool hasZeroAxis = false;
        for (int& axis : tensor.shape)
        {
            axis = readInt32(in);
            if (axis < 0)
                throw ModelFormatError("a negative axis length");
            hasZeroAxis = hasZeroAxis || axis == 0;
        }
        if (tensor.shape.empty() || hasZeroAxis)
            return stored;

        // The payload must be in the stream before anything is allocated for it.
        const int elementSize = format == 1 ? 4 : 2;
        std::int64_t count = 1;
        for (const int axis : tensor.shape)
        {
            count *= axis;
            if (count > maxNumOfTensorElements)
                throw ModelFormatError("more elements than the engine takes");
        }
        if (count > getNumOfRemainingBytes(in) / elementSize)
            throw ModelFormatError("the file ends early");
        const int n = static_cast<int>(count);
        tensor.data = std::make_shared<TensorData<float>>(n);
        if (format == 1)
        {
            readBytes(in, tensor.data->data, n * 4);
            return stored;
        }
        std::vector<std::uint16_t> halves(static_cast<std::size_t>(n));
        readBytes(in, halves.data(), n * 2);
        widenHalfFloats(halves.data(), tensor.data->data, n);
        return stored;
    }
    catch (const ModelFormatError& error)
    {
        const std::string reason = error.what();
        if (reason == "the file ends early" || reason == "the file ends before the data it declares")
            throw ModelFormatError("the file ends inside tensor '" + role + "'");
        throw ModelFormatError("tensor '" + role + "': " + reason);
    }
}

LayerBody readLayerBody(InputStream& in, LayerType type, int version)
{
    const auto tensor = [&](const char* role) { return readTensor(in, version, role); };
    switch (type)
    {
    case LayerType::conv:
    {
        ConvLayerRecord record;
        record.source = readString(in);
        record.weights = tensor("weights");
        record.bias = tensor("bias");
        record.timeStride = readInt8(in);
        record.frequencyStride = readInt8(in);
        record.timeDilation = readInt8(in);
        record.frequencyDilation = readInt8(in);
        record.timeOffset = readInt8(in);
        return record;
    }
    case LayerType::transposedConv:
    {
        TransposedConvLayerRecord record;
        record.source = readString(in);
        record.weights = tensor("weights");
        record.bias = tensor("bias");
        if (version >= 4104)
            record.outputChannels = readInt16(in);
        record.timeStride = readInt8(in);
        record.frequencyStride = readInt8(in);
        record.timeDilation = readInt8(in);
        record.frequencyDilation = readInt8(in);
        record.timeOffset = readInt8(in);
        return record;
    }
    case LayerType::relu:
    case LayerType::elu:
    case LayerType::sigmoid:
    case LayerType::softplus:
    case LayerType::hardSigmoid:
        return ActivationLayerRecord{readString(in)};
    case LayerType::leakyRelu:
    {
        LeakyReLULayerRecord record;
        record.source = readString(in);
        record.negativeSlope = readFloat32(in);
        return record;
    }
    case LayerType::norm:
    {
        NormLayerRecord record;
        record.source = readString(in);
        if (version >= 4106)
        {
            record.mode = readInt8(in);
            record.scale = tensor("scale");
            record.offset = tensor("offset");
        }
        else
        {
            record.offset = tensor("offset");
            record.scale = tensor("scale");
        }
        return record;
    }
    case LayerType::concat:
        return ConcatLayerRecord{readSources(in)};
    case LayerType::dense:
    {
        DenseLayerRecord record;
        record.source = readString(in);
        record.weights = tensor("weights");
        record.bias = tensor("bias");
        return record;
    }
    case LayerType::separableChannelConv:
    {
        SeparableChannelConvLayerRecord record;
        record.source = readString(in);
        record.timeKernel = tensor("timeKernel");
        record.frequencyKernel = tensor("frequencyKernel");
        return record;
    }
    case LayerType::preNorm:
    {
        PreNormLayerRecord record;
        record.source = readString(in);
        record.kernel = tensor("kernel");
        return record;
    }
    case LayerType::arithmetic:
    {
        ArithmeticLayerRecord record;
        record.sources = readSources(in);
        record.operation = readInt8(in);
        return record;
    }
    case LayerType::selfAttention:
    {
        SelfAttentionLayerRecord record;
        record.source = readString(in);
        record.weights = tensor("weights");
        record.bias = tensor("bias");
        if (version >= 4103)
        {
            record.outputDelay = readInt8(in);
            record.contextKernel = tensor("contextKernel");
        }
        return record;
    }
    case LayerType::frequencyRescale:
    {
        FrequencyRescaleLayerRecord record;
        record.source = readString(in);
        const int numOfBands = readInt16(in);
        if (numOfBands < 0)
            throw ModelFormatError("a negative band count");
        // A start row and the rank byte at least.
        requireBytes(in, numOfBands, 3);
        for (int m = 0; m < numOfBands; ++m)
        {
            FrequencyBandRecord band;
            band.start = readInt16(in);
            band.weights = readTensor(in, version, "band" + std::to_string(m));
            record.bands.push_back(std::move(band));
        }
        return record;
    }
    case LayerType::arPreNorm:
    {
        ARPreNormLayerRecord record;
        record.source = readString(in);
        record.attackCoefficient = readFloat32(in);
        record.releaseCoefficient = readFloat32(in);
        record.epsilon = readFloat32(in);
        return record;
    }
    default:
        throw ModelFormatError("not a layer type this engine knows");
    }
}

LayerRecord readLayer(InputStream& in, int version, int recordIndex)
{
    LayerRecord record;
    record.name = readString(in);
    const int typeCode = readInt16(in);
    record.type = static_cast<LayerType>(typeCode);
    try
    {
        record.body = readLayerBody(in, record.type, version);
    }
    catch (const ModelFormatError& error)
    {
        throw ModelFormatError("layer " + std::to_string(recordIndex + 1) + " '" + record.name + "' (" +
                               getLayerTypeName(record.type) + "): " + error.what());
    }
    return record;
}

ModelFileRecord readModelFile(InputStream& in)
{
    ModelFileRecord file;
    file.header = readHeader(in);
    for (int i = 0; i < file.header.numOfLayers; ++i)
        file.layers.push_back(readLayer(in, file.header.version, i));
    file.outputSource = readString(in);
    return file;
}

std::string getLayerTypeName(LayerType type)
{
    switch (type)
    {
    case LayerType::conv:
        return "Conv";
    case LayerType::transposedConv:
        return "TransposedConv";
    case LayerType::relu:
        return "ReLU";
    case LayerType::elu:
        return "ELU";
    case LayerType::sigmoid:
        return "Sigmoid";
    case LayerType::norm:
        return "Norm";
    case LayerType::concat:
        return "Concat";
    case LayerType::leakyRelu:
        return "LeakyReLU";
    case LayerType::dense:
        return "Dense";
    case LayerType::separableChannelConv:
        return "SeparableChannelConv";
    case LayerType::preNorm:
        return "PreNorm";
    case LayerType::softplus:
        return "Softplus";
    case LayerType::arithmetic:
        return "Arithmetic";
    case LayerType::selfAttention:
        return "SelfAttention";
    case LayerType::hardSigmoid:
        return "HardSigmoid";
    case LayerType::frequencyRescale:
        return "FrequencyRescale";
    case LayerType::arPreNorm:
        return "ARPreNorm";
    case LayerType::output:
        return "Output";
    case LayerType::none:
        break;
    }
    return "type " + std::to_string(static_cast<int>(type));
}

std::string getPackingName(PackingCode code)
{
    switch (code)
    {
    case PackingCode::magnitudes:
        return "magnitudes";
    case PackingCode::splitMagnitudes:
        return "rectified parts of the low bins, magnitudes above";
    case PackingCode::realAndImaginary:
        return "real and imaginary parts";
    case PackingCode::history:
        return "magnitudes of several frames";
    case PackingCode::decimated:
        return "real and imaginary parts, high bins in groups";
    }
    return "unknown";
}

} // namespace modelfile

std::vector<std::string> LayerRecord::getSources() const
{
    return std::visit(
        [](const auto& record) -> std::vector<std::string>
        {
            using Record = std::decay_t<decltype(record)>;
            if constexpr (std::is_same_v<Record, ConcatLayerRecord> || std::is_same_v<Record, ArithmeticLayerRecord>)
                return record.sources;
            else
                return {record.source};
        },
        body);
}

std::vector<std::pair<std::string, const StoredTensor*>> LayerRecord::getTensors() const
{
    std::vector<std::pair<std::string, const StoredTensor*>> tensors;
    if (const auto* conv = std::get_if<ConvLayerRecord>(&body))
        tensors = {{"weights", &conv->weights}, {"bias", &conv->bias}};
    else if (const auto* up = std::get_if<TransposedConvLayerRecord>(&body))
        tensors = {{"weights", &up->weights}, {"bias", &up->bias}};
    else if (const auto* norm = std::get_if<NormLayerRecord>(&body))
        tensors = {{"scale", &norm->scale}, {"offset", &norm->offset}};
    else if (const auto* dense = std::get_if<DenseLayerRecord>(&body))
        tensors = {{"weights", &dense->weights}, {"bias", &dense->bias}};
    else if (const auto* separable = std::get_if<SeparableChannelConvLayerRecord>(&body))
        tensors = {{"timeKernel", &separable->timeKernel}, {"frequencyKernel", &separable->frequencyKernel}};
    else if (const auto* preNorm = std::get_if<PreNormLayerRecord>(&body))
        tensors = {{"kernel", &preNorm->kernel}};
    else if (const auto* attention = std::get_if<SelfAttentionLayerRecord>(&body))
        tensors = {
            {"weights", &attention->weights}, {"bias", &attention->bias}, {"contextKernel", &attention->contextKernel}};
    else if (const auto* rescale = std::get_if<FrequencyRescaleLayerRecord>(&body))
        for (std::size_t m = 0; m < rescale->bands.size(); ++m)
            tensors.emplace_back("band" + std::to_string(m), &rescale->bands[m].weights);
    return tensors;
}

std::vector<std::pair<std::string, std::string>> LayerRecord::getSettings() const
{
    using modelfile::formatFloat;
    const auto strides = [](const auto& record) -> std::vector<std::pair<std::string, std::string>>
    {
        return {{"timeStride", std::to_string(record.timeStride)},
                {"frequencyStride", std::to_string(record.frequencyStride)},
                {"timeDilation", std::to_string(record.timeDilation)},
                {"frequencyDilation", std::to_string(record.frequencyDilation)},
                {"timeOffset", std::to_string(record.timeOffset)}};
    };
    if (const auto* conv = std::get_if<ConvLayerRecord>(&body))
        return strides(*conv);
    if (const auto* up = std::get_if<TransposedConvLayerRecord>(&body))
    {
        auto settings = strides(*up);
        if (up->outputChannels >= 0)
            settings.insert(settings.begin(), {"outputChannels", std::to_string(up->outputChannels)});
        return settings;
    }
    if (const auto* leaky = std::get_if<LeakyReLULayerRecord>(&body))
        return {{"negativeSlope", formatFloat(static_cast<double>(leaky->negativeSlope))}};
    if (const auto* norm = std::get_if<NormLayerRecord>(&body))
        return {{"mode", std::to_string(norm->mode)}};
    if (const auto* arithmetic = std::get_if<ArithmeticLayerRecord>(&body))
        return {{"operation", std::to_string(arithmetic->operation)}};
    if (const auto* attention = std::get_if<SelfAttentionLayerRecord>(&body))
        return {{"outputDelay", std::to_string(attention->outputDelay)}};
    if (const auto* rescale = std::get_if<FrequencyRescaleLayerRecord>(&body))
    {
        // A filter bank has hundreds of bands: their count and the rows they span say enough.
        std::int64_t first = 0, last = 0;
        for (std::size_t m = 0; m < rescale->bands.size(); ++m)
        {
            const auto& band = rescale->bands[m];
            const std::int64_t end = band.start + std::max<std::int64_t>(band.weights.values.getNumOfElements(), 1) - 1;
            first = m == 0 ? band.start : std::min<std::int64_t>(first, band.start);
            last = m == 0 ? end : std::max(last, end);
        }
        return {{"bands", std::to_string(rescale->bands.size())},
                {"rows", std::to_string(first) + "-" + std::to_string(last)}};
    }
    if (const auto* ar = std::get_if<ARPreNormLayerRecord>(&body))
        return {{"attackCoefficient", formatFloat(static_cast<double>(ar->attackCoefficient))},
                {"releaseCoefficient", formatFloat(static_cast<double>(ar->releaseCoefficient))},
                {"epsilon", formatFloat(static_cast<double>(ar->epsilon))}};
    return {};
}

} // namespace murel
