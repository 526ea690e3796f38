// The one reader of the model format: typed records, reasons, and the work a file may ask for.
#include "Format/ModelFile.h"
#include "Format/ModelReading.h"
#include "Neural/ModelTestSupport.h"

#include <gtest/gtest.h>

namespace murel::test
{
namespace
{

mw::TensorRecord ramp(std::vector<int> shape)
{
    std::vector<float> values(static_cast<std::size_t>(Tensor<float>::countElements(shape)));
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = 0.001f * static_cast<float>(i % 100);
    return mw::TensorRecord(std::move(shape), values);
}

/** One record of every layer type (not a graph the engine could run), in a file of the version. */
mw::ModelDescription everyLayerModel(int version, mw::TensorEncoding encoding)
{
    mw::ModelDescription model;
    model.header.version = version;
    model.header.modelId = 7;
    model.header.sampleRate = 44100.0;
    model.header.numInputChannels = 2;
    model.header.processingMode = ProcessingMode::spectra;
    model.header.inputPacking = mw::Packing::split(PackingCode::splitMagnitudes, 16, 241);
    model.header.outputPacking = mw::Packing::decimated(32, 224, 4);
    if (version >= 4102)
    {
        model.header.numOutputs = 2;
        model.header.outputNames = {"Voice", "Drums", "Rest"};
    }
    model.header.fftSize = 512;
    model.header.windowSize = version >= 4101 ? 400 : 512;
    model.header.hopSize = 100;
    model.encoding = encoding;
    mw::SelfAttentionLayerRecord attention{"norm", ramp({4, 4}), ramp({305, 4}), 0, {}};
    if (version >= 4103)
        attention = {"norm", ramp({4, 4}), ramp({305, 4}), 2, ramp({3, 4})};
    model.layers = {
        {"conv", mw::ConvLayerRecord{"input", ramp({3, 3, 2, 4}), ramp({4}), 2, 1, 1, 1, 1}},
        {"transposed",
         mw::TransposedConvLayerRecord{"conv", ramp({2, 1, 4, 4}), ramp({4}), version >= 4104 ? 4 : -1, 2, 1, 1, 1, 1}},
        {"norm", mw::NormLayerRecord{"transposed", version >= 4106 ? 1 : 0, ramp({4}), ramp({4})}},
        {"relu", mw::ActivationLayerRecord{LayerType::relu, "norm"}},
        {"leaky", mw::LeakyReLULayerRecord{"relu", 0.25f}},
        {"attention", attention},
        {"dense", mw::DenseLayerRecord{"leaky", ramp({6, 6, 4}), {}}},
        {"separable", mw::SeparableChannelConvLayerRecord{"dense", ramp({3}), ramp({5})}},
        {"prenorm", mw::PreNormLayerRecord{"separable", ramp({4})}},
        {"arprenorm", mw::ARPreNormLayerRecord{"prenorm", 0.9f, 0.99f, 1e-3f}},
        {"concat", mw::ConcatLayerRecord{{"arprenorm", "relu"}}},
        {"sum", mw::ArithmeticLayerRecord{{"concat", "concat", "input"}, 2}},
        {"rescale", mw::FrequencyRescaleLayerRecord{"attention", {{0, ramp({2})}, {5, ramp({3})}}}},
        {"sigmoid", mw::ActivationLayerRecord{LayerType::sigmoid, "sum"}},
    };
    if (version >= 4107)
    {
        model.layers.push_back(
            {"gru", mw::RecurrentLayerRecord{LayerType::gru, "sigmoid", ramp({9, 7}), ramp({9, 3}), ramp({9}), {}}});
        model.layers.push_back(
            {"lstm", mw::RecurrentLayerRecord{LayerType::lstm, "gru", ramp({8, 3}), ramp({8, 2}), {}, ramp({8})}});
    }
    model.outputSource = "sigmoid";
    return model;
}

ModelFileRecord read(const std::vector<std::uint8_t>& bytes)
{
    MemoryInputStream stream(bytes);
    return modelfile::readModelFile(stream);
}

/** The reason the reader refuses bytes with; empty when it reads them. */
std::string readFailure(const std::vector<std::uint8_t>& bytes)
{
    try
    {
        read(bytes);
    }
    catch (const ModelFormatError& error)
    {
        return error.what();
    }
    return "";
}

TEST(ModelFile, RecordsOfEveryVersionAndLayerTypeWriteBackToTheSameBytes)
{
    for (int version = 4100; version <= newestModelVersion; ++version)
        for (const auto encoding : {mw::TensorEncoding::float32, mw::TensorEncoding::float16})
        {
            if (encoding == mw::TensorEncoding::float16 && version < 4105)
                continue;
            SCOPED_TRACE(std::to_string(version) + (encoding == mw::TensorEncoding::float16 ? " half" : ""));
            const std::vector<std::uint8_t> bytes = mw::writeModel(everyLayerModel(version, encoding));
            const ModelFileRecord records = read(bytes);
            EXPECT_EQ(records.header.inputPacking.code, PackingCode::splitMagnitudes);
            EXPECT_EQ(records.header.inputPacking.numBins, 257);
            EXPECT_EQ(records.header.outputPacking.code, PackingCode::decimated);
            EXPECT_EQ(records.header.processingMode, ProcessingMode::spectra);
            ASSERT_EQ(records.layers.size(), version >= 4107 ? 16u : 14u);
            EXPECT_EQ(records.layers[11].getType(), LayerType::arithmetic);
            EXPECT_EQ(records.layers[11].getSources(), (std::vector<std::string>{"concat", "concat", "input"}));
            EXPECT_EQ(records.layers[0].getTensors()[0].second->values.shape, (std::vector<int>{3, 3, 2, 4}));
            EXPECT_EQ(records.layers[0].getTensors()[0].second->isHalfFloat, encoding == mw::TensorEncoding::float16);
            EXPECT_EQ(mw::writeModel(records), bytes);
        }
}

TEST(ModelFile, RecurrentRecordsNeedTheirVersion)
{
    mw::ModelDescription model = everyLayerModel(newestModelVersion, mw::TensorEncoding::float32);
    std::vector<std::uint8_t> bytes = mw::writeModel(model);
    EXPECT_EQ(read(bytes).layers.back().getType(), LayerType::lstm);
    // The same bytes claiming 4106 (the version follows the magic's length and 11 bytes).
    bytes[15] = 4106 & 0xFF;
    const std::string reason = readFailure(bytes);
    EXPECT_NE(reason.find("'gru' (GRU): this layer type needs format version 4107"), std::string::npos) << reason;
    model.header.version = 4106;
    EXPECT_THROW(mw::writeModel(model), std::invalid_argument);
}

TEST(ModelFile, EveryTruncationIsRefusedWithAReason)
{
    const std::vector<std::uint8_t> bytes =
        mw::writeModel(everyLayerModel(newestModelVersion, mw::TensorEncoding::float32));
    for (std::size_t length = 0; length < bytes.size(); ++length)
    {
        const std::vector<std::uint8_t> prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_NE(readFailure(prefix), "") << "a file cut after " << length << " bytes";
    }
    // A reason that says where: the record, its name and type, and the tensor.
    std::vector<std::uint8_t> cut =
        mw::writeModel(complexModel(8, {layer("level", mw::NormLayerRecord{"input", 0, ones(2), ones(2)})}, "level"));
    cut.resize(cut.size() - 12);
    EXPECT_EQ(readFailure(cut), "layer 1 'level' (Norm): the file ends inside tensor 'offset'");
}

TEST(ModelFile, TheWorkPerFrameIsBoundedByTheFileSize)
{
    // A file of a hundred bytes that declares 112 channels of 11852 bins.
    mw::ModelDescription wide = complexModel(11852, {}, "input");
    wide.header.numInputChannels = 112;
    wide.header.numOutputChannels = 112;
    NeuralModel<float> model;
    EXPECT_FALSE(loadBytes(model, mw::writeModel(wide)));

    // Weights used at every row: 64 x 64 channels over 4096 rows is more than 16 KB can justify...
    const auto convModel = [](int rows, int channels)
    {
        mw::ModelDescription description = complexModel(rows, {}, "up", 1);
        description.layers = {
            layer("up", mw::ConvLayerRecord{"input", ramp({1, 1, 2, channels}), {}, 1, 1, 1, 1, 0}),
            layer("wide", mw::ConvLayerRecord{"up", ramp({1, 1, channels, channels}), {}, 1, 1, 1, 1, 0}),
            layer("down", mw::ConvLayerRecord{"wide", ramp({1, 1, channels, 2}), {}, 1, 1, 1, 1, 0})};
        description.outputSource = "down";
        return description;
    };
    const std::string reason = model.load(makeStream(mw::writeModel(convModel(4096, 64))));
    EXPECT_NE(reason.find("more work per frame"), std::string::npos) << reason;
    // ... while the same layers over the 513 bins of a real model load.
    EXPECT_EQ(model.load(makeStream(mw::writeModel(convModel(513, 64)))), "");
}

} // namespace
} // namespace murel::test
