#include "Format/ModelFile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include "Format/ModelReading.h"

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

/** Every packing code the format defines, with what it packs. */
const std::pair<PackingCode, const char*> packingNames[] = {
    {PackingCode::magnitudes, "magnitudes"},
    {PackingCode::splitMagnitudes, "rectified parts of the low bins, magnitudes above"},
    {PackingCode::realAndImaginary, "real and imaginary parts"},
    {PackingCode::history, "magnitudes of several frames"},
    {PackingCode::decimated, "real and imaginary parts, high bins in groups"},
};

bool isKnownPacking(PackingCode code)
{
    return std::any_of(std::begin(packingNames), std::end(packingNames),
                       [code](const auto& entry) { return entry.first == code; });
}

/** Reads the fields a record lists, in their order. */
struct FieldReader
{
    InputStream& in;
    int version;
    /** "the input" or "the output" while a packing block is read. */
    const char* packingName = "";

    void magic(std::string& value)
    {
        // The length of the magic comes first; anything else is no model file at all.
        const int length = readInt32(in);
        if (length < 0)
            throw std::length_error("a negative string length");
        value.assign(length == 10 || length == 11 ? static_cast<std::size_t>(length) : 0, '\0');
        readBytes(in, value.data(), static_cast<int>(value.size()));
        if (value != "KAVo.model" && value != "MUREL.model")
            throw ModelFormatError("not a model file (it does not start with \"MUREL.model\")");
    }
    void formatVersion(int& value)
    {
        value = readInt32(in);
        // Newer files would have fields this reader does not know of.
        if (value <= 4099 || value > newestModelVersion)
            throw ModelFormatError("format version " + std::to_string(value) + " is not supported (4100 to " +
                                   std::to_string(newestModelVersion) + " are)");
        version = value;
    }
    void float64(const char*, double& value) { value = readFloat64(in); }
    void processingMode(ProcessingMode& value) { value = static_cast<ProcessingMode>(readInt8(in)); }
    void outputNames(std::vector<std::string>& names, int numOutputs)
    {
        names.clear();
        for (int i = 0; i <= numOutputs; ++i)
            names.push_back(readString(in));
    }
    void packingCode(PackingCode& value)
    {
        const int code = readInt8(in);
        value = static_cast<PackingCode>(code);
        if (!isKnownPacking(value))
            throw ModelFormatError(std::string(packingName) + " packing code " + std::to_string(code) + " is unknown");
    }
    void packing(const char* which, PackingRecord& value)
    {
        packingName = which;
        PackingRecord::fields(*this, value);
        if (value.code != PackingCode::magnitudes && value.code != PackingCode::realAndImaginary)
            value.numBins = value.lowBins + value.highBins;
        if (value.numBins < 0 || value.lowBins < 0 || value.highBins < 0)
            throw ModelFormatError(std::string(which) + " packing has a negative bin count");
    }

    void text(std::string& value) { value = readString(in); }
    void sources(std::vector<std::string>& names) { names = readSources(in); }
    void int8(const char*, int& value) { value = readInt8(in); }
    void int16(const char*, int& value) { value = readInt16(in); }
    void float32(const char*, float& value) { value = readFloat32(in); }
    void tensor(const char* role, StoredTensor& value) { value = readTensor(in, version, role); }
    void bands(std::vector<FrequencyBandRecord>& bands)
    {
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
            bands.push_back(std::move(band));
        }
    }
};

/** The empty record of the alternative that carries the type code. */
template <std::size_t index = 0>
LayerBody makeLayerBody(LayerType type)
{
    if constexpr (index == std::variant_size_v<LayerBody>)
        throw ModelFormatError("not a layer type this engine knows");
    else
    {
        using Record = std::variant_alternative_t<index, LayerBody>;
        if (!recordHolds<Record>(type))
            return makeLayerBody<index + 1>(type);
        Record record;
        if constexpr (recordKeepsType<Record>)
            record.type = type;
        return record;
    }
}

} // namespace

ModelHeaderRecord readHeader(InputStream& in)
{
    ModelHeaderRecord header;
    if (!in.canSeek() || !in.setPosition(0))
        throw ModelFormatError("the model cannot be read from the start");
    FieldReader reader{in, 0};
    ModelHeaderRecord::fields(reader, header);
    if (header.version == 4100)
        header.windowSize = header.fftSize;
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
        const int format = version > 4104 ? readUInt8(in) : 1;
        if (format != 0 && format != 1)
            throw ModelFormatError("unknown element format " + std::to_string(format));
        stored.isHalfFloat = format == 0;

        const int rank = readInt8(in);
        if (rank < 0)
            throw std::length_error("tensor '" + role + "' has a negative rank");
        requireBytes(in, rank, 4);
        tensor.shape.resize(static_cast<std::size_t>(rank));
        for (int& axis : tensor.shape)
        {
            axis = readInt32(in);
            if (axis < 0)
                throw ModelFormatError("a negative axis length");
        }
        if (tensor.shape.empty() || std::find(tensor.shape.begin(), tensor.shape.end(), 0) != tensor.shape.end())
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
    LayerBody body = makeLayerBody(type);
    // An older reader would have refused the type: such a file was not written for that version.
    if (version < getFirstModelVersion(type))
        throw ModelFormatError("this layer type needs format version " + std::to_string(getFirstModelVersion(type)) +
                               " or later, the file is " + std::to_string(version));
    std::visit(
        [&](auto& record)
        {
            FieldReader reader{in, version};
            record.fields(reader, record);
        },
        body);
    return body;
}

LayerRecord readLayer(InputStream& in, int version, int recordIndex)
{
    LayerRecord record;
    record.name = readString(in);
    const auto type = static_cast<LayerType>(readInt16(in));
    try
    {
        record.body = readLayerBody(in, type, version);
    }
    catch (const ModelFormatError& error)
    {
        throw ModelFormatError("layer " + std::to_string(recordIndex + 1) + " '" + record.name + "' (" +
                               getLayerTypeName(type) + "): " + error.what());
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
    static const std::pair<LayerType, const char*> names[] = {{LayerType::conv, "Conv"},
                                                              {LayerType::transposedConv, "TransposedConv"},
                                                              {LayerType::relu, "ReLU"},
                                                              {LayerType::elu, "ELU"},
                                                              {LayerType::sigmoid, "Sigmoid"},
                                                              {LayerType::norm, "Norm"},
                                                              {LayerType::concat, "Concat"},
                                                              {LayerType::leakyRelu, "LeakyReLU"},
                                                              {LayerType::dense, "Dense"},
                                                              {LayerType::separableChannelConv, "SeparableChannelConv"},
                                                              {LayerType::preNorm, "PreNorm"},
                                                              {LayerType::softplus, "Softplus"},
                                                              {LayerType::arithmetic, "Arithmetic"},
                                                              {LayerType::selfAttention, "SelfAttention"},
                                                              {LayerType::hardSigmoid, "HardSigmoid"},
                                                              {LayerType::frequencyRescale, "FrequencyRescale"},
                                                              {LayerType::arPreNorm, "ARPreNorm"},
                                                              {LayerType::gru, "GRU"},
                                                              {LayerType::lstm, "LSTM"},
                                                              {LayerType::output, "Output"}};
    for (const auto& [code, name] : names)
        if (code == type)
            return name;
    return "type " + std::to_string(static_cast<int>(type));
}

std::string getPackingName(PackingCode code)
{
    for (const auto& [known, name] : packingNames)
        if (known == code)
            return name;
    return "unknown";
}

} // namespace modelfile

PackingRecord PackingRecord::plain(PackingCode code, int numBins)
{
    PackingRecord packing;
    packing.code = code;
    packing.numBins = numBins;
    return packing;
}

PackingRecord PackingRecord::split(PackingCode code, int lowBins, int highBins)
{
    PackingRecord packing;
    packing.code = code;
    packing.lowBins = lowBins;
    packing.highBins = highBins;
    packing.numBins = lowBins + highBins;
    return packing;
}

PackingRecord PackingRecord::history(int lowBins, int highBins, int numOfHistoryFrames)
{
    PackingRecord packing = split(PackingCode::history, lowBins, highBins);
    packing.numOfHistoryFrames = numOfHistoryFrames;
    return packing;
}

PackingRecord PackingRecord::decimated(int lowBins, int highBins, int decimation)
{
    PackingRecord packing = split(PackingCode::decimated, lowBins, highBins);
    packing.decimation = decimation;
    return packing;
}

StoredTensor::StoredTensor(std::vector<int> shape, const std::vector<float>& data)
{
    const int count = Tensor<float>::countElements(shape);
    if (static_cast<std::size_t>(count) != data.size())
        throw std::invalid_argument("the values do not fill the tensor's shape");
    values.shape = std::move(shape);
    if (count > 0)
    {
        values.data = std::make_shared<TensorData<float>>(count);
        std::copy(data.begin(), data.end(), values.data->data);
    }
}

LayerType LayerRecord::getType() const
{
    return std::visit([](const auto& record) { return record.type; }, body);
}

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

namespace
{

/** Collects the tensors a record lists, with their names. */
struct TensorLister
{
    int version = newestModelVersion;
    std::vector<std::pair<std::string, const StoredTensor*>> tensors;

    void text(const std::string&) {}
    void sources(const std::vector<std::string>&) {}
    void int8(const char*, int) {}
    void int16(const char*, int) {}
    void float32(const char*, float) {}
    void tensor(const char* role, const StoredTensor& value) { tensors.emplace_back(role, &value); }
    void bands(const std::vector<FrequencyBandRecord>& bands)
    {
        for (std::size_t m = 0; m < bands.size(); ++m)
            tensors.emplace_back("band" + std::to_string(m), &bands[m].weights);
    }
};

/** Collects the scalar settings a record lists, printed. */
struct SettingLister
{
    int version = newestModelVersion;
    std::vector<std::pair<std::string, std::string>> settings;

    void text(const std::string&) {}
    void sources(const std::vector<std::string>&) {}
    void int8(const char* name, int value) { settings.emplace_back(name, std::to_string(value)); }
    void int16(const char* name, int value) { settings.emplace_back(name, std::to_string(value)); }
    void float32(const char* name, float value)
    {
        settings.emplace_back(name, modelfile::formatFloat(static_cast<double>(value)));
    }
    void tensor(const char*, const StoredTensor&) {}
    void bands(const std::vector<FrequencyBandRecord>& bands)
    {
        // A filter bank has hundreds of bands: their count and the rows they span say enough.
        std::int64_t first = 0, last = 0;
        for (std::size_t m = 0; m < bands.size(); ++m)
        {
            const auto& band = bands[m];
            const std::int64_t end = band.start + std::max<std::int64_t>(band.weights.values.getNumOfElements(), 1) - 1;
            first = m == 0 ? band.start : std::min<std::int64_t>(first, band.start);
            last = m == 0 ? end : std::max(last, end);
        }
        settings.emplace_back("bands", std::to_string(bands.size()));
        settings.emplace_back("rows", std::to_string(first) + "-" + std::to_string(last));
    }
};

} // namespace

std::vector<std::pair<std::string, const StoredTensor*>> LayerRecord::getTensors() const
{
    TensorLister lister;
    std::visit([&](const auto& record) { record.fields(lister, record); }, body);
    return lister.tensors;
}

std::vector<std::pair<std::string, std::string>> LayerRecord::getSettings() const
{
    SettingLister lister;
    std::visit([&](const auto& record) { record.fields(lister, record); }, body);
    // Files before 4104 do not store it.
    const auto* up = std::get_if<TransposedConvLayerRecord>(&body);
    if (up != nullptr && up->outputChannels < 0)
        lister.settings.erase(lister.settings.begin());
    return lister.settings;
}

} // namespace murel
