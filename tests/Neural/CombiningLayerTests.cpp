#include <gtest/gtest.h>

#include "LayerTestSupport.h"

using namespace murel;
using namespace murel::test;

namespace
{

/** The results for frames x [T, rows, 1] of a graph ending in a concatenation of outputs. */
Tensor<float> runGraph(int rows, std::vector<mw::LayerRecord> layers, std::vector<std::string> outputs,
                       const std::vector<float>& x)
{
    layers.push_back(layer("all", mw::ConcatLayerRecord{std::move(outputs)}));
    NeuralModel<float> model;
    EXPECT_TRUE(loadDescription(model, frameGraph(rows, 1, std::move(layers), "all")));
    return model.pushTensor(makeTensor({static_cast<int>(x.size()) / rows, rows, 1}, x));
}

mw::LayerRecord arithmetic(std::string name, std::vector<std::string> sources, int operation)
{
    return layer(std::move(name), mw::ArithmeticLayerRecord{std::move(sources), operation});
}

} // namespace

TEST(CombiningLayers, ConcatPlacesEachInputAtItsChannelOffset)
{
    // Inputs of 2, 3 and 1 channels: [x, x^2], [2x, x^3, x], [x]. The input feeds several
    // queues of one layer and several layers.
    const std::vector<float> x = randomValues(10, 3);
    const Tensor<float> result =
        runGraph(5,
                 {arithmetic("sq", {"input", "input"}, 0), arithmetic("cube", {"input", "input", "input"}, 0),
                  arithmetic("twice", {"input", "input"}, 2), layer("b", mw::ConcatLayerRecord{{"input", "sq"}}),
                  layer("c", mw::ConcatLayerRecord{{"twice", "cube", "input"}})},
                 {"b", "c", "input"}, x);
    ASSERT_EQ(result.shape, (std::vector<int>{2, 5, 6}));
    for (std::size_t i = 0; i < x.size(); ++i)
    {
        const float v = x[i];
        const float expected[6] = {v, v * v, v + v, v * v * v, v, v};
        for (std::size_t c = 0; c < 6; ++c)
            EXPECT_FLOAT_EQ(result.getReadPointer()[i * 6 + c], expected[c]) << "row " << i << " channel " << c;
    }
}

TEST(CombiningLayers, ArithmeticOperandOrder)
{
    // Rows 9 with one column: 9 elements per frame, so the vector loop has a tail. Operations:
    // 0 multiplies, 1 divides, 2 adds, 3 subtracts each later input from the first; others pass
    // the first input.
    const std::vector<float> x = randomValues(18, 8);
    const Tensor<float> result =
        runGraph(9,
                 {arithmetic("sq", {"input", "input"}, 0), arithmetic("cube", {"sq", "input"}, 0),
                  arithmetic("sub2", {"input", "sq"}, 3), arithmetic("sub3", {"input", "sq", "cube"}, 3),
                  arithmetic("div", {"input", "sq"}, 1), arithmetic("add", {"input", "sq", "cube"}, 2),
                  arithmetic("pass", {"sq", "input"}, 7), arithmetic("negative", {"sq", "input"}, -1)},
                 {"sub2", "sub3", "div", "add", "pass", "negative"}, x);
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
    const std::vector<float> out = toVector(runGraph(2, {arithmetic("div", {"input", "input"}, 1)}, {"div"}, {0, 2}));
    EXPECT_TRUE(std::isnan(out.at(0)));
    EXPECT_EQ(out.at(1), 1.0f);
}

TEST(CombiningLayers, FrequencyRescaleSumsWeightedBands)
{
    const std::vector<mw::FrequencyBand> bands{{0, tensorRecord({1}, {1.0f})},
                                               {1, tensorRecord({2}, {0.5f, 0.5f})},
                                               {0, tensorRecord({3, 1}, {0.25f, 0.5f, 0.25f})}};
    // Two and four columns: channel counts below and at the vector width.
    for (const int channels : {2, 4})
    {
        const std::vector<float> x = randomValues(static_cast<std::size_t>(2 * 3 * channels), 21);
        const Frames in(3, channels, x);
        Frames expected(3, channels, 2);
        for (int t = 0; t < 2; ++t)
            for (int c = 0; c < channels; ++c)
            {
                expected.cell(t, 0, c).add(in.at(t, 0, c));
                expected.cell(t, 1, c).add((in.at(t, 1, c) + in.at(t, 2, c)) / 2);
                expected.cell(t, 2, c).add(0.25 * in.at(t, 0, c) + 0.5 * in.at(t, 1, c) + 0.25 * in.at(t, 2, c));
            }
        expectStreamMatches(mw::FrequencyRescaleLayerRecord{"input", bands}, 3, channels, x, expected);
    }
}
