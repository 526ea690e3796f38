#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Format/ModelWriter.h"

// This file also calls the type-mangled model-handle form of murelGetProcessorInfo.
#define MUREL_DEFINES_MODEL_INFO_OVERLOAD
#include "Interface/MurelEngine.h"

MUREL_API void murelGetProcessorInfo(void* model, MurelModelInfo* info);

extern "C" int murelRunModelFromC(const char* path, int rows, int channels);

namespace mw = murel::modelwriter;

namespace
{

class ModelFiles : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/murel-models-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + directory + "'").c_str()); }

    std::string save(const mw::ModelDescription& description, const std::string& name)
    {
        const std::string path = directory + "/" + name;
        EXPECT_TRUE(mw::saveModel(description, path));
        return path;
    }
    std::string saveBytes(const std::vector<std::uint8_t>& bytes, const std::string& name)
    {
        const std::string path = directory + "/" + name;
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (!bytes.empty())
            std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
        return path;
    }

    std::string directory;
};

/** One channel, packing code 4 over 3 bins: input tensors [T, 3, 2]. The output joins the
    rectified input with the input, so frames leave the graph one by one. */
mw::ModelDescription queuedModel()
{
    mw::ModelDescription description;
    description.header.sampleRate = 44100.0;
    description.header.inputPacking = mw::Packing::plain(murel::PackingCode::realAndImaginary, 3);
    description.header.outputPacking = mw::Packing::plain(murel::PackingCode::realAndImaginary, 3);
    description.header.fftSize = 4;
    description.header.windowSize = 4;
    description.header.hopSize = 2;
    description.layers = {{"relu", mw::ActivationLayerRecord{murel::LayerType::relu, "input"}},
                          {"cat", mw::ConcatLayerRecord{{"relu", "input"}}}};
    description.outputSource = "cat";
    return description;
}

std::vector<float> resultOf(void* model)
{
    int shape[3] = {0, 0, 0};
    if (!murelGetResultTensorShape(model, 3, shape))
        return {};
    std::vector<float> data(static_cast<std::size_t>(shape[0] * shape[1] * shape[2]));
    if (!murelGetTensor(model, data.data()))
        return {};
    return data;
}

} // namespace

TEST_F(ModelFiles, CreateFailsWithoutCrashing)
{
    EXPECT_EQ(murelCreateModel(nullptr), nullptr);
    EXPECT_EQ(murelCreateModel((directory + "/missing.model").c_str()), nullptr);
    EXPECT_EQ(murelCreateModel(directory.c_str()), nullptr);

    const std::vector<std::uint8_t> valid = mw::writeModel(queuedModel());
    for (std::size_t size = 0; size < valid.size(); size += 7)
        EXPECT_EQ(murelCreateModel(saveBytes({valid.begin(), valid.begin() + static_cast<long>(size)}, "cut").c_str()),
                  nullptr)
            << size;

    // Conditions that surface as exceptions inside the engine.
    EXPECT_EQ(murelCreateModel(saveBytes({0xFF, 0xFF, 0xFF, 0xFF}, "negative").c_str()), nullptr);
    mw::ModelDescription unknownSource = queuedModel();
    unknownSource.outputSource = "nowhere";
    EXPECT_EQ(murelCreateModel(save(unknownSource, "unknown").c_str()), nullptr);
}

TEST_F(ModelFiles, PushesAndReadsTensors)
{
    void* model = murelCreateModel(save(queuedModel(), "queued.model").c_str());
    ASSERT_NE(model, nullptr);

    const std::vector<float> frames{-1, 2, 3, -4, 5, 6, 7, 8, -9, 10, 11, 12};
    const int shape[3] = {2, 3, 2};
    murelAddTensor(model, frames.data(), 3, shape);
    int resultShape[3] = {0, 0, 0};
    EXPECT_FALSE(murelGetResultTensorShape(model, 2, resultShape));
    EXPECT_EQ(resultShape[0], 0);
    ASSERT_TRUE(murelGetResultTensorShape(model, 3, resultShape));
    EXPECT_EQ(resultShape[0], 2);
    EXPECT_EQ(resultShape[1], 3);
    EXPECT_EQ(resultShape[2], 4);

    std::vector<float> expected;
    for (std::size_t row = 0; row < 6; ++row)
    {
        const float re = frames[2 * row];
        const float im = frames[2 * row + 1];
        expected.insert(expected.end(), {std::max(re, 0.0f), std::max(im, 0.0f), re, im});
    }
    EXPECT_EQ(resultOf(model), expected);
    // The result stays until the next push, even across a reset (which the graph tests check
    // on a network with state).
    murelResetModelState(model);
    EXPECT_EQ(resultOf(model), expected);

    // No frame finished: a result without axes.
    const int none[3] = {0, 3, 2};
    murelAddTensor(model, nullptr, 3, none);
    EXPECT_TRUE(murelGetResultTensorShape(model, 0, nullptr));
    EXPECT_FALSE(murelGetResultTensorShape(model, 3, resultShape));
    float output[4] = {0, 0, 0, 0};
    EXPECT_FALSE(murelGetTensor(model, output));

    murelDeleteModel(model);
}

TEST_F(ModelFiles, ShapesTheModelCannotTakeLeaveAnEmptyResult)
{
    void* model = murelCreateModel(save(queuedModel(), "queued.model").c_str());
    ASSERT_NE(model, nullptr);
    const std::vector<float> data(64, 1.0f);
    const int good[3] = {1, 3, 2};
    auto expectRefused = [&](const float* values, int numOfAxes, const int* shape)
    {
        murelAddTensor(model, data.data(), 3, good);
        ASSERT_TRUE(murelGetResultTensorShape(model, 3, std::vector<int>(3).data()));
        murelAddTensor(model, values, numOfAxes, shape);
        EXPECT_TRUE(murelGetResultTensorShape(model, 0, nullptr));
        EXPECT_FALSE(murelGetTensor(model, std::vector<float>(64).data()));
    };
    // Rows off, channels off, a negative or huge frame count, four axes.
    for (const std::vector<int>& shape :
         {std::vector<int>{1, 4, 2}, {1, 3, 1}, {-1, 3, 2}, {0x7FFFFFFF, 3, 2}, {1, 1, 3, 2}})
        expectRefused(data.data(), static_cast<int>(shape.size()), shape.data());
    expectRefused(data.data(), 2, good);
    expectRefused(data.data(), -3, good);
    expectRefused(data.data(), 3, nullptr);
    expectRefused(nullptr, 3, good);
    murelDeleteModel(model);
}

TEST_F(ModelFiles, InfoFromAModelHandle)
{
    void* model = murelCreateModel(save(queuedModel(), "queued.model").c_str());
    ASSERT_NE(model, nullptr);
    MurelModelInfo info;
    std::memset(&info, 0x5A, sizeof(info));
    murelGetModelInfo(model, &info);
    EXPECT_EQ(info.sampleRate, 44100.0);
    EXPECT_EQ(info.numOfChannels, 1);
    EXPECT_EQ(info.latency, 4);
    EXPECT_EQ(info.windowSize, 4);
    EXPECT_EQ(info.hopSize, 2);
    EXPECT_EQ(info.modelLatency, 0);

    MurelModelInfo overload;
    std::memset(&overload, 0x33, sizeof(overload));
    murelGetProcessorInfo(model, &overload);
    EXPECT_EQ(std::memcmp(&overload, &info, sizeof(info)), 0);

    // Exported under its type-mangled name.
    using InfoFunction = void (*)(void*, MurelModelInfo*);
    void* symbol = ::dlsym(RTLD_DEFAULT, "_Z21murelGetProcessorInfoPvP14MurelModelInfo");
    ASSERT_NE(symbol, nullptr);
    InfoFunction function;
    std::memcpy(&function, &symbol, sizeof(function));
    std::memset(&overload, 0x11, sizeof(overload));
    function(model, &overload);
    EXPECT_EQ(std::memcmp(&overload, &info, sizeof(info)), 0);
    murelDeleteModel(model);
}

TEST_F(ModelFiles, NullHandlesAreIgnored)
{
    const int shape[3] = {1, 1, 1};
    const float value = 0.0f;
    murelAddTensor(nullptr, &value, 3, shape);
    int axes[3];
    EXPECT_FALSE(murelGetResultTensorShape(nullptr, 3, axes));
    float out[1];
    EXPECT_FALSE(murelGetTensor(nullptr, out));
    murelResetModelState(nullptr);
    murelDeleteModel(nullptr);
    MurelModelInfo info{};
    murelGetModelInfo(nullptr, &info);
    murelGetProcessorInfo(nullptr, &info);
    EXPECT_EQ(info.sampleRate, 0.0);
}

TEST_F(ModelFiles, PublicHeaderWorksFromC)
{
    mw::ModelDescription identity;
    identity.header.inputPacking = mw::Packing::plain(murel::PackingCode::realAndImaginary, 5);
    identity.header.outputPacking = mw::Packing::plain(murel::PackingCode::realAndImaginary, 5);
    identity.header.version = 4104;
    EXPECT_EQ(murelRunModelFromC(save(identity, "identity.model").c_str(), 5, 2), 0);
}
