#include <gtest/gtest.h>

#include "ModelTestSupport.h"

using namespace murel;
using namespace murel::test;

namespace
{

/** A magnitude model (one column) over the given rows, with the given layers. */
NeuralModel<float> magnitudeModel(int rows, std::vector<mw::LayerRecord> layers, std::string output)
{
    mw::ModelDescription description;
    description.header.inputPacking = mw::Packing::plain(1, rows);
    description.header.outputPacking = mw::Packing::plain(1, rows);
    description.layers = std::move(layers);
    description.outputSource = std::move(output);
    NeuralModel<float> model;
    EXPECT_TRUE(loadBytes(model, mw::writeModel(description)));
    return model;
}

mw::LayerRecord arithmetic(std::string name, std::vector<std::string> sources, int operation)
{
    return layer(std::move(name), mw::ArithmeticLayerRecord{std::move(sources), operation});
}

mw::LayerRecord concat(std::string name, std::vector<std::string> sources)
{
    return layer(std::move(name), mw::ConcatLayerRecord{std::move(sources)});
}

} // namespace

TEST(CombiningLayers, ConcatPlacesEachInputAtItsChannelOffset)
{
    // Inputs of 2, 3 and 1 channels: [x, x^2], [2x, x^3, x], [x].
    NeuralModel<float> model =
        magnitudeModel(5,
                       {arithmetic("sq", {"input", "input"}, 0), arithmetic("cube", {"input", "input", "input"}, 0),
                        arithmetic("twice", {"input", "input"}, 2), concat("b", {"input", "sq"}),
                        concat("c", {"twice", "cube", "input"}), concat("all", {"b", "c", "input"})},
                       "all");
    const std::vector<float> x = randomValues(10, 3);
    const Tensor<float> result = model.pushTensor(makeTensor({2, 5, 1}, x));
    ASSERT_EQ(result.shape, (std::vector<int>{2, 5, 6}));
    const float* out = result.getReadPointer();
    for (std::size_t i = 0; i < x.size(); ++i)
    {
        const float v = x[i];
        const float* row = out + i * 6;
        EXPECT_EQ(row[0], v);
        EXPECT_FLOAT_EQ(row[1], v * v);
        EXPECT_FLOAT_EQ(row[2], v + v);
        EXPECT_FLOAT_EQ(row[3], v * v * v);
        EXPECT_EQ(row[4], v);
        EXPECT_EQ(row[5], v);
    }
}

TEST(CombiningLayers, ArithmeticOperandOrder)
{
    // Rows 9 with one column: 9 elements per frame, so the vector loop has a tail.
    NeuralModel<float> model =
        magnitudeModel(9,
                       {arithmetic("sq", {"input", "input"}, 0), arithmetic("cube", {"sq", "input"}, 0),
                        arithmetic("sub2", {"input", "sq"}, 3), arithmetic("sub3", {"input", "sq", "cube"}, 3),
                        arithmetic("div", {"input", "sq"}, 1), arithmetic("add", {"input", "sq", "cube"}, 2),
                        arithmetic("pass", {"sq", "input"}, 7), arithmetic("negative", {"sq", "input"}, -1),
                        concat("all", {"sub2", "sub3", "div", "add", "pass", "negative"})},
                       "all");
    const std::vector<float> x = randomValues(18, 8);
    const Tensor<float> result = model.pushTensor(makeTensor({2, 9, 1}, x));
    ASSERT_EQ(result.shape, (std::vector<int>{2, 9, 6}));
    for (std::size_t i = 0; i < x.size(); ++i)
    {
        const float a = x[i];
        const float b = a * a;
        const float c = b * a;
        const float* row = result.getReadPointer() + i * 6;
        EXPECT_FLOAT_EQ(row[0], b - a);
        EXPECT_FLOAT_EQ(row[1], c - (b - a));
        EXPECT_FLOAT_EQ(row[2], b / a);
        EXPECT_FLOAT_EQ(row[3], a + b + c);
        EXPECT_EQ(row[4], b);
        EXPECT_EQ(row[5], b);
    }

    // Division by zero follows IEEE rules.
    NeuralModel<float> divide = magnitudeModel(2, {arithmetic("div", {"input", "input"}, 1)}, "div");
    const std::vector<float> out = toVector(divide.pushTensor(makeTensor({1, 2, 1}, {0.0f, 2.0f})));
    EXPECT_TRUE(std::isnan(out[0]));
    EXPECT_EQ(out[1], 1.0f);
}

TEST(CombiningLayers, FrequencyRescaleSumsWeightedBands)
{
    const std::vector<mw::FrequencyBand> bands{{0, tensorRecord({1}, {1.0f})},
                                               {1, tensorRecord({2}, {0.5f, 0.5f})},
                                               {0, tensorRecord({3, 1}, {0.25f, 0.5f, 0.25f})}};
    // Two and four input channels: channel counts below and at the vector width.
    for (const int numInputChannels : {1, 2})
    {
        NeuralModel<float> model;
        ASSERT_TRUE(loadBytes(
            model, mw::writeModel(complexModel(3, {layer("bands", mw::FrequencyRescaleLayerRecord{"input", bands})},
                                               "bands", numInputChannels))));
        const int channels = 2 * numInputChannels;
        const std::vector<float> x = randomValues(static_cast<std::size_t>(2 * 3 * channels), 21);
        const Tensor<float> result = model.pushTensor(makeTensor({2, 3, channels}, x));
        ASSERT_EQ(result.shape, (std::vector<int>{2, 3, channels}));
        for (int t = 0; t < 2; ++t)
            for (int c = 0; c < channels; ++c)
            {
                auto in = [&](int row) { return x[static_cast<std::size_t>((t * 3 + row) * channels + c)]; };
                auto out = [&](int row) { return result.getReadPointer()[(t * 3 + row) * channels + c]; };
                EXPECT_EQ(out(0), in(0));
                EXPECT_NEAR(out(1), (in(1) + in(2)) / 2, 1e-6f);
                EXPECT_NEAR(out(2), 0.25f * in(0) + 0.5f * in(1) + 0.25f * in(2), 1e-6f);
            }
    }
}
