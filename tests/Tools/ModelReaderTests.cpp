#include "Interface/MurelEngine.h"
#include "ModelReader.h"
#include "ModelWriter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace murel::modelreader
{
namespace
{

namespace mw = murel::modelwriter;

mw::TensorRecord makeTensor(std::vector<int> shape)
{
    std::int64_t count = shape.empty() ? 0 : 1;
    for (const int axis : shape)
        count *= axis;
    mw::TensorRecord tensor;
    tensor.shape = std::move(shape);
    for (std::int64_t i = 0; i < count; ++i)
        tensor.values.push_back(0.001f * float(i % 100));
    return tensor;
}

/** A graph with one record of every layer type, in a file of the given version. */
mw::ModelDescription makeEveryLayerModel(int version, mw::TensorEncoding encoding = mw::TensorEncoding::float32)
{
    mw::ModelDescription model;
    model.header.version = version;
    model.header.modelId = 7;
    model.header.sampleRate = 44100.0;
    model.header.numInputChannels = 2;
    model.header.inputPacking = mw::Packing::split(2, 16, 241);
    model.header.outputPacking = mw::Packing::decimated(32, 224, 4);
    model.header.numOutputs = 2;
    model.header.outputNames = {"Voice", "Drums", "Rest"};
    model.header.fftSize = 512;
    model.header.windowSize = 400;
    model.header.hopSize = 100;
    model.encoding = encoding;

    mw::ConvLayerRecord conv{"input", makeTensor({3, 3, 2, 4}), makeTensor({4}), 2, 1, 1, 1, 1};
    mw::TransposedConvLayerRecord transposed{"conv", makeTensor({2, 1, 4, 4}), makeTensor({4}), 4, 2, 1, 1, 1, 1};
    mw::NormLayerRecord norm{"transposed", 1, makeTensor({4}), makeTensor({4})};
    mw::SelfAttentionLayerRecord attention{"norm", makeTensor({4, 4}), makeTensor({305, 4}), 2, makeTensor({3, 4})};
    mw::FrequencyRescaleLayerRecord rescale{"attention", {{0, makeTensor({2})}, {5, makeTensor({3})}}};
    model.layers = {
        {"conv", conv},
        {"transposed", transposed},
        {"norm", norm},
        {"relu", mw::ActivationLayerRecord{4, "norm"}},
        {"leaky", mw::LeakyReLULayerRecord{"relu", 0.25f}},
        {"attention", attention},
        {"dense", mw::DenseLayerRecord{"leaky", makeTensor({6, 6, 4}), {}}},
        {"separable", mw::SeparableChannelConvLayerRecord{"dense", makeTensor({3}), makeTensor({5})}},
        {"prenorm", mw::PreNormLayerRecord{"separable", makeTensor({4})}},
        {"arprenorm", mw::ARPreNormLayerRecord{"prenorm", 0.9f, 0.99f, 1e-3f}},
        {"concat", mw::ConcatLayerRecord{{"arprenorm", "relu"}}},
        {"sum", mw::ArithmeticLayerRecord{{"concat", "concat", "input"}, 2}},
        {"rescale", rescale},
        {"sigmoid", mw::ActivationLayerRecord{6, "sum"}},
    };
    model.outputSource = "sigmoid";
    return model;
}

TEST(ModelReader, ReadsEveryLayerTypeWithSourcesShapesAndSettings)
{
    const ModelFileInfo info = readModel(mw::writeModel(makeEveryLayerModel(4106, mw::TensorEncoding::float16)));
    EXPECT_EQ(info.magic, "MUREL.model");
    EXPECT_EQ(info.version, 4106);
    EXPECT_EQ(info.modelId, 7);
    EXPECT_EQ(info.sampleRate, 44100.0);
    EXPECT_EQ(info.numInputChannels, 2);
    EXPECT_EQ(info.inputPacking.code, 2);
    EXPECT_EQ(info.inputPacking.parameters, (std::vector<int>{16, 241}));
    EXPECT_EQ(info.outputPacking.code, 6);
    EXPECT_EQ(info.outputPacking.parameters, (std::vector<int>{32, 224, 4}));
    EXPECT_EQ(info.fftSize, 512);
    EXPECT_EQ(info.hopSize, 100);
    EXPECT_EQ(info.outputSource, "sigmoid");

    ASSERT_EQ(info.layers.size(), 14u);
    const LayerInfo& conv = info.layers[0];
    EXPECT_EQ(conv.name, "conv");
    EXPECT_EQ(getLayerTypeName(conv.type), "Conv");
    EXPECT_EQ(conv.sources, (std::vector<std::string>{"input"}));
    ASSERT_EQ(conv.tensors.size(), 2u);
    EXPECT_EQ(conv.tensors[0].role, "weights");
    EXPECT_EQ(conv.tensors[0].shape, (std::vector<int>{3, 3, 2, 4}));
    EXPECT_EQ(conv.tensors[0].elementFormat, 0);
    EXPECT_EQ(conv.getNumOfParameters(), 3 * 3 * 2 * 4 + 4);
    EXPECT_EQ(conv.settings.front(), (std::pair<std::string, std::string>{"timeStride", "2"}));
    EXPECT_EQ(conv.settings.back(), (std::pair<std::string, std::string>{"timeOffset", "1"}));

    const LayerInfo& transposed = info.layers[1];
    EXPECT_EQ(transposed.settings.front(), (std::pair<std::string, std::string>{"outputChannels", "4"}));
    const LayerInfo& norm = info.layers[2];
    EXPECT_EQ(norm.settings, (std::vector<std::pair<std::string, std::string>>{{"mode", "1"}}));
    EXPECT_EQ(info.layers[4].settings.front().second, "0.25");
    const LayerInfo& attention = info.layers[5];
    EXPECT_EQ(attention.tensors[2].role, "contextKernel");
    EXPECT_EQ(attention.settings.front(), (std::pair<std::string, std::string>{"outputDelay", "2"}));
    EXPECT_EQ(info.layers[6].tensors[1].numOfValues, 0);
    EXPECT_EQ(info.layers[9].settings.size(), 3u);
    EXPECT_EQ(info.layers[10].sources, (std::vector<std::string>{"arprenorm", "relu"}));
    const LayerInfo& sum = info.layers[11];
    EXPECT_EQ(getLayerTypeName(sum.type), "Arithmetic");
    EXPECT_EQ(sum.sources, (std::vector<std::string>{"concat", "concat", "input"}));
    EXPECT_EQ(sum.settings.front(), (std::pair<std::string, std::string>{"operation", "2"}));
    const LayerInfo& rescale = info.layers[12];
    EXPECT_EQ(rescale.tensors.size(), 2u);
    EXPECT_EQ(rescale.settings[1], (std::pair<std::string, std::string>{"band1Start", "5"}));
    EXPECT_EQ(rescale.getNumOfParameters(), 5);

    std::int64_t total = 0;
    for (const LayerInfo& layer : info.layers)
        total += layer.getNumOfParameters();
    EXPECT_EQ(info.getNumOfParameters(), total);
}

// The fields that depend on the format version are checked here, for every version.
TEST(ModelReader, FollowsTheFieldsOfEveryFormatVersion)
{
    for (const int version : {4100, 4101, 4102, 4103, 4104, 4105, 4106})
    {
        SCOPED_TRACE(version);
        const ModelFileInfo info = readModel(mw::writeModel(makeEveryLayerModel(version)));
        EXPECT_EQ(info.version, version);
        EXPECT_EQ(info.windowSize, version >= 4101 ? 400 : 512);
        EXPECT_EQ(info.outputNames, version >= 4102 ? (std::vector<std::string>{"Voice", "Drums", "Rest"})
                                                    : (std::vector<std::string>{"Processed", "Residual"}));
        EXPECT_EQ(info.layers[5].tensors.size(), version >= 4103 ? 3u : 2u);
        EXPECT_EQ(info.layers[1].settings.size(), version >= 4104 ? 6u : 5u);
        EXPECT_EQ(info.layers[2].tensors[0].role, version >= 4106 ? "scale" : "offset");
        EXPECT_EQ(info.layers.back().name, "sigmoid");
        EXPECT_EQ(info.numOfTrailingBytes, 0);
    }
}

TEST(ModelReader, EveryTruncationIsAnError)
{
    const std::vector<std::uint8_t> bytes = mw::writeModel(makeEveryLayerModel(4106, mw::TensorEncoding::float16));
    for (std::size_t size = 0; size < bytes.size(); ++size)
        EXPECT_THROW(readModel(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + std::ptrdiff_t(size))),
                     ModelFileError)
            << size;
    std::vector<std::uint8_t> longer = bytes;
    longer.resize(bytes.size() + 5);
    EXPECT_EQ(readModel(longer).numOfTrailingBytes, 5);
}

void expectError(const mw::ModelDescription& model, const std::string& message)
{
    try
    {
        readModel(mw::writeModel(model));
        ADD_FAILURE() << "no error; expected " << message;
    }
    catch (const ModelFileError& error)
    {
        EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
    }
}

TEST(ModelReader, RejectsGraphsItCannotFollow)
{
    mw::ModelDescription model;
    model.header.magic = "RIFF.wave";
    expectError(model, "not a model file");

    model = mw::ModelDescription();
    model.header.version = 4099;
    expectError(model, "format version 4099");

    model = mw::ModelDescription();
    model.header.inputPacking.code = 3;
    expectError(model, "unknown input packing code 3");

    model = mw::ModelDescription();
    model.layers = {{"relu", mw::ActivationLayerRecord{4, "later"}}};
    expectError(model, "layer 'relu' reads from 'later', which is not defined before it");

    model.layers = {{"relu", mw::ActivationLayerRecord{4, "input"}}, {"relu", mw::ActivationLayerRecord{4, "input"}}};
    expectError(model, "two layers are named 'relu'");

    model.layers = {{"output", mw::ActivationLayerRecord{4, "input"}}};
    expectError(model, "reserved");

    model.layers = {{"odd", mw::RawLayerRecord{8, {}}}};
    expectError(model, "unknown type code 8");

    // A tensor record with a negative rank.
    model.layers = {{"dense", mw::RawLayerRecord{14, {5, 0, 0, 0, 'i', 'n', 'p', 'u', 't', 1, 0xFF}}}};
    expectError(model, "negative rank");

    model.layers = {};
    model.outputSource = "nowhere";
    expectError(model, "not a layer of the file");
}

TEST(ModelReader, AgreesWithTheEngineOnTheHeader)
{
    const std::string path = testing::TempDir() + "murel-reader-check.model";
    mw::ModelDescription model;
    model.header.sampleRate = 44100.0;
    model.header.numInputChannels = 2;
    model.header.numOutputChannels = 2;
    model.header.fftSize = 512;
    model.header.windowSize = 400;
    model.header.hopSize = 100;
    model.layers = {{"relu", mw::ActivationLayerRecord{4, "input"}}};
    model.outputSource = "relu";
    ASSERT_TRUE(mw::saveModel(model, path));
    const ModelFileInfo info = readModelFile(path);
    void* handle = murelCreateModel(path.c_str());
    std::remove(path.c_str());
    ASSERT_NE(handle, nullptr);
    MurelModelInfo engineInfo = {};
    murelGetModelInfo(handle, &engineInfo);
    murelDeleteModel(handle);
    EXPECT_EQ(engineInfo.sampleRate, info.sampleRate);
    EXPECT_EQ(engineInfo.numOfChannels, info.numInputChannels);
    EXPECT_EQ(engineInfo.latency, info.fftSize);
    EXPECT_EQ(engineInfo.windowSize, info.windowSize);
    EXPECT_EQ(engineInfo.hopSize, info.hopSize);

    EXPECT_THROW(readModelFile(testing::TempDir() + "murel-no-such.model"), std::runtime_error);
}

} // namespace
} // namespace murel::modelreader
