#include "ModelWriter.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace murel::modelwriter
{

namespace
{

template <typename... Handlers>
struct Overloaded : Handlers...
{
    using Handlers::operator()...;
};
template <typename... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

std::int64_t countValues(const std::vector<int>& shape)
{
    if (shape.empty())
        return 0;
    std::int64_t count = 1;
    for (const int axis : shape)
        count *= axis < 0 ? 0 : axis;
    return count;
}

} // namespace

Packing Packing::plain(int code, int numBins)
{
    Packing packing;
    packing.code = code;
    packing.numBins = numBins;
    return packing;
}

Packing Packing::split(int code, int lowBins, int highBins)
{
    Packing packing;
    packing.code = code;
    packing.lowBins = lowBins;
    packing.highBins = highBins;
    return packing;
}

Packing Packing::history(int lowBins, int highBins, int numOfHistoryFrames)
{
    Packing packing = split(5, lowBins, highBins);
    packing.numOfHistoryFrames = numOfHistoryFrames;
    return packing;
}

Packing Packing::decimated(int lowBins, int highBins, int decimation)
{
    Packing packing = split(6, lowBins, highBins);
    packing.decimation = decimation;
    return packing;
}

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

void ByteWriter::writeTensor(const TensorRecord& tensor, int version, TensorEncoding encoding)
{
    if (countValues(tensor.shape) != static_cast<std::int64_t>(tensor.values.size()))
        throw std::invalid_argument("writeTensor: values do not match the shape");
    const bool half = encoding == TensorEncoding::float16;
    if (version > 4104)
        writeUInt8(half ? 0 : 1);
    else if (half)
        throw std::invalid_argument("writeTensor: half floats need format version 4105 or later");
    writeInt8(static_cast<int>(tensor.shape.size()));
    for (const int axis : tensor.shape)
        writeInt32(axis);
    for (const float value : tensor.values)
    {
        if (half)
            writeInt16(static_cast<std::int16_t>(encodeHalfFloat(value)));
        else
            writeFloat32(value);
    }
}

void ByteWriter::writePacking(const Packing& packing)
{
    writeInt8(packing.code);
    switch (packing.code)
    {
    case 1:
    case 4:
        writeInt16(packing.numBins);
        break;
    case 2:
        writeInt16(packing.lowBins);
        writeInt16(packing.highBins);
        break;
    case 5:
        writeInt16(packing.lowBins);
        writeInt16(packing.highBins);
        writeInt16(packing.numOfHistoryFrames);
        writeInt16(packing.unused);
        break;
    case 6:
        writeInt16(packing.lowBins);
        writeInt16(packing.highBins);
        writeInt8(packing.decimation);
        break;
    default:
        break;
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

int getLayerTypeCode(const LayerBody& body)
{
    return std::visit(
        Overloaded{
            [](const ConvLayerRecord&) { return 2; },
            [](const TransposedConvLayerRecord&) { return 3; },
            [](const ActivationLayerRecord& record) { return record.type; },
            [](const LeakyReLULayerRecord&) { return 12; },
            [](const NormLayerRecord&) { return 7; },
            [](const ConcatLayerRecord&) { return 9; },
            [](const DenseLayerRecord&) { return 14; },
            [](const SeparableChannelConvLayerRecord&) { return 15; },
            [](const PreNormLayerRecord&) { return 16; },
            [](const ArithmeticLayerRecord&) { return 18; },
            [](const SelfAttentionLayerRecord&) { return 19; },
            [](const FrequencyRescaleLayerRecord&) { return 22; },
            [](const ARPreNormLayerRecord&) { return 23; },
            [](const RawLayerRecord& record) { return record.type; },
        },
        body);
}

std::vector<std::uint8_t> writeModel(const ModelDescription& description)
{
    const ModelHeader& header = description.header;
    const int version = header.version;
    const TensorEncoding encoding = description.encoding;
    ByteWriter out;

    out.writeString(header.magic);
    out.writeInt32(version);
    out.writeInt16(header.modelId);
    out.writeFloat64(header.sampleRate);
    out.writeInt8(header.numInputChannels);
    out.writePacking(header.inputPacking);
    out.writeInt8(header.processingMode);
    out.writeInt8(header.numOutputChannels);
    if (version >= 4102)
    {
        out.writeInt8(header.numOutputs);
        for (const std::string& name : header.outputNames)
            out.writeString(name);
    }
    out.writePacking(header.outputPacking);
    out.writeInt16(header.fftSize);
    if (version >= 4101)
        out.writeInt16(header.windowSize);
    out.writeInt16(header.hopSize);

    out.writeInt32(static_cast<std::int32_t>(description.layers.size()));
    for (const LayerRecord& layer : description.layers)
    {
        out.writeString(layer.name);
        out.writeInt16(getLayerTypeCode(layer.body));
        auto tensor = [&](const TensorRecord& record) { out.writeTensor(record, version, encoding); };
        auto sources = [&](const std::vector<std::string>& names)
        {
            out.writeInt16(static_cast<int>(names.size()));
            for (const std::string& name : names)
                out.writeString(name);
        };
        std::visit(
            Overloaded{
                [&](const ConvLayerRecord& record)
                {
                    out.writeString(record.source);
                    tensor(record.weights);
                    tensor(record.bias);
                    out.writeInt8(record.timeStride);
                    out.writeInt8(record.frequencyStride);
                    out.writeInt8(record.timeDilation);
                    out.writeInt8(record.frequencyDilation);
                    out.writeInt8(record.timeOffset);
                },
                [&](const TransposedConvLayerRecord& record)
                {
                    out.writeString(record.source);
                    tensor(record.weights);
                    tensor(record.bias);
                    if (version >= 4104)
                        out.writeInt16(record.outputChannels);
                    out.writeInt8(record.timeStride);
                    out.writeInt8(record.frequencyStride);
                    out.writeInt8(record.timeDilation);
                    out.writeInt8(record.frequencyDilation);
                    out.writeInt8(record.timeOffset);
                },
                [&](const ActivationLayerRecord& record) { out.writeString(record.source); },
                [&](const LeakyReLULayerRecord& record)
                {
                    out.writeString(record.source);
                    out.writeFloat32(record.negativeSlope);
                },
                [&](const NormLayerRecord& record)
                {
                    out.writeString(record.source);
                    if (version >= 4106)
                    {
                        out.writeInt8(record.mode);
                        tensor(record.scale);
                        tensor(record.offset);
                    }
                    else
                    {
                        tensor(record.offset);
                        tensor(record.scale);
                    }
                },
                [&](const ConcatLayerRecord& record) { sources(record.sources); },
                [&](const DenseLayerRecord& record)
                {
                    out.writeString(record.source);
                    tensor(record.weights);
                    tensor(record.bias);
                },
                [&](const SeparableChannelConvLayerRecord& record)
                {
                    out.writeString(record.source);
                    tensor(record.timeKernel);
                    tensor(record.frequencyKernel);
                },
                [&](const PreNormLayerRecord& record)
                {
                    out.writeString(record.source);
                    tensor(record.kernel);
                },
                [&](const ArithmeticLayerRecord& record)
                {
                    sources(record.sources);
                    out.writeInt8(record.operation);
                },
                [&](const SelfAttentionLayerRecord& record)
                {
                    out.writeString(record.source);
                    tensor(record.weights);
                    tensor(record.bias);
                    if (version >= 4103)
                    {
                        out.writeInt8(record.outputDelay);
                        tensor(record.contextKernel);
                    }
                },
                [&](const FrequencyRescaleLayerRecord& record)
                {
                    out.writeString(record.source);
                    out.writeInt16(static_cast<int>(record.bands.size()));
                    for (const FrequencyBand& band : record.bands)
                    {
                        out.writeInt16(band.start);
                        tensor(band.weights);
                    }
                },
                [&](const ARPreNormLayerRecord& record)
                {
                    out.writeString(record.source);
                    out.writeFloat32(record.attackCoefficient);
                    out.writeFloat32(record.releaseCoefficient);
                    out.writeFloat32(record.epsilon);
                },
                [&](const RawLayerRecord& record) { out.writeBytes(record.bytes); },
            },
            layer.body);
    }
    out.writeString(description.outputSource);
    return out.getBytes();
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

namespace
{

TensorRecord describeTensor(const murel::StoredTensor& stored)
{
    TensorRecord tensor;
    tensor.shape = stored.values.shape;
    const int count = stored.values.getNumOfElements();
    if (count > 0 && stored.values.data != nullptr)
        tensor.values.assign(stored.values.getReadPointer(), stored.values.getReadPointer() + count);
    return tensor;
}

Packing describePacking(const murel::PackingRecord& packing)
{
    Packing described;
    described.code = static_cast<int>(packing.code);
    described.numBins = packing.numBins;
    described.lowBins = packing.lowBins;
    described.highBins = packing.highBins;
    described.numOfHistoryFrames = packing.numOfHistoryFrames;
    described.unused = packing.unused;
    described.decimation = packing.decimation;
    return described;
}

LayerBody describeLayer(const murel::LayerRecord& layer)
{
    const auto& body = layer.body;
    if (const auto* conv = std::get_if<murel::ConvLayerRecord>(&body))
        return ConvLayerRecord{conv->source,
                               describeTensor(conv->weights),
                               describeTensor(conv->bias),
                               conv->timeStride,
                               conv->frequencyStride,
                               conv->timeDilation,
                               conv->frequencyDilation,
                               conv->timeOffset};
    if (const auto* up = std::get_if<murel::TransposedConvLayerRecord>(&body))
        return TransposedConvLayerRecord{
            up->source,     describeTensor(up->weights), describeTensor(up->bias), up->outputChannels,
            up->timeStride, up->frequencyStride,         up->timeDilation,         up->frequencyDilation,
            up->timeOffset};
    if (const auto* activation = std::get_if<murel::ActivationLayerRecord>(&body))
        return ActivationLayerRecord{static_cast<int>(layer.type), activation->source};
    if (const auto* leaky = std::get_if<murel::LeakyReLULayerRecord>(&body))
        return LeakyReLULayerRecord{leaky->source, leaky->negativeSlope};
    if (const auto* norm = std::get_if<murel::NormLayerRecord>(&body))
        return NormLayerRecord{norm->source, norm->mode, describeTensor(norm->scale), describeTensor(norm->offset)};
    if (const auto* concat = std::get_if<murel::ConcatLayerRecord>(&body))
        return ConcatLayerRecord{concat->sources};
    if (const auto* dense = std::get_if<murel::DenseLayerRecord>(&body))
        return DenseLayerRecord{dense->source, describeTensor(dense->weights), describeTensor(dense->bias)};
    if (const auto* separable = std::get_if<murel::SeparableChannelConvLayerRecord>(&body))
        return SeparableChannelConvLayerRecord{separable->source, describeTensor(separable->timeKernel),
                                               describeTensor(separable->frequencyKernel)};
    if (const auto* preNorm = std::get_if<murel::PreNormLayerRecord>(&body))
        return PreNormLayerRecord{preNorm->source, describeTensor(preNorm->kernel)};
    if (const auto* arithmetic = std::get_if<murel::ArithmeticLayerRecord>(&body))
        return ArithmeticLayerRecord{arithmetic->sources, arithmetic->operation};
    if (const auto* attention = std::get_if<murel::SelfAttentionLayerRecord>(&body))
        return SelfAttentionLayerRecord{attention->source, describeTensor(attention->weights),
                                        describeTensor(attention->bias), attention->outputDelay,
                                        describeTensor(attention->contextKernel)};
    if (const auto* rescale = std::get_if<murel::FrequencyRescaleLayerRecord>(&body))
    {
        FrequencyRescaleLayerRecord described{rescale->source, {}};
        for (const murel::FrequencyBandRecord& band : rescale->bands)
            described.bands.push_back({band.start, describeTensor(band.weights)});
        return described;
    }
    const auto& ar = std::get<murel::ARPreNormLayerRecord>(body);
    return ARPreNormLayerRecord{ar.source, ar.attackCoefficient, ar.releaseCoefficient, ar.epsilon};
}

} // namespace

ModelDescription describeModel(const murel::ModelFileRecord& records)
{
    ModelDescription description;
    const murel::ModelHeaderRecord& header = records.header;
    ModelHeader& described = description.header;
    described.magic = header.magic;
    described.version = header.version;
    described.modelId = header.modelId;
    described.sampleRate = header.sampleRate;
    described.numInputChannels = header.numInputChannels;
    described.inputPacking = describePacking(header.inputPacking);
    described.processingMode = static_cast<int>(header.processingMode);
    described.numOutputChannels = header.numOutputChannels;
    described.numOutputs = header.numOutputs;
    described.outputNames = header.outputNames;
    described.outputPacking = describePacking(header.outputPacking);
    described.fftSize = header.fftSize;
    described.windowSize = header.windowSize;
    described.hopSize = header.hopSize;
    for (const murel::LayerRecord& layer : records.layers)
    {
        description.layers.push_back({layer.name, describeLayer(layer)});
        for (const auto& [role, tensor] : layer.getTensors())
            if (tensor->isHalfFloat)
                description.encoding = TensorEncoding::float16;
    }
    description.outputSource = records.outputSource;
    return description;
}

std::vector<std::uint8_t> writeModel(const murel::ModelFileRecord& records)
{
    return writeModel(describeModel(records));
}

} // namespace murel::modelwriter
