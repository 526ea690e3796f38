#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

#include "ModelTestSupport.h"

using namespace murel;
using namespace murel::test;

namespace
{

const float inf = std::numeric_limits<float>::infinity();
const float nan = std::numeric_limits<float>::quiet_NaN();

/** Runs input [frames, rows, 2] through a model whose only layer is the given record. */
std::vector<float> runLayer(const mw::LayerBody& body, int rows, const std::vector<float>& input)
{
    NeuralModel<float> model;
    EXPECT_TRUE(loadBytes(model, mw::writeModel(complexModel(rows, {layer("a", body)}, "a"))));
    const int frames = static_cast<int>(input.size()) / (rows * 2);
    const Tensor<float> result = model.pushTensor(makeTensor({frames, rows, 2}, input));
    EXPECT_EQ(result.shape, (std::vector<int>{frames, rows, 2}));
    return toVector(result);
}

/** Edge values, then random ones: 3 frames of 7 rows and 2 channels, so that the vector loop
    has a scalar tail. */
std::vector<float> testInput()
{
    std::vector<float> values{0.0f, -0.0f, nan,    1000.0f, -1000.0f, 10.0f,   -10.0f,   3.0f,  -3.0f,  1e-30f, -1e-30f,
                              inf,  -inf,  100.0f, 0.5f,    -0.5f,    2.9999f, -2.9999f, 20.0f, -20.0f, 1.0f};
    const std::vector<float> random = randomValues(42 - values.size(), 11, 12.0f);
    values.insert(values.end(), random.begin(), random.end());
    return values;
}

void expectAll(const std::vector<float>& actual, const std::vector<float>& input,
               const std::function<double(float)>& reference, double tolerance, const char* name)
{
    ASSERT_EQ(actual.size(), input.size());
    for (std::size_t i = 0; i < input.size(); ++i)
    {
        const double expected = reference(input[i]);
        if (std::isnan(expected))
            EXPECT_TRUE(std::isnan(actual[i])) << name << " x=" << input[i];
        else if (std::isinf(expected))
            EXPECT_EQ(static_cast<double>(actual[i]), expected) << name << " x=" << input[i];
        else
            EXPECT_NEAR(actual[i], expected, tolerance * std::max(1.0, std::fabs(expected)))
                << name << " x=" << input[i];
    }
}

bool isNegativeZero(float x)
{
    return x == 0.0f && std::signbit(x);
}

} // namespace

TEST(ActivationLayers, ReLU)
{
    const std::vector<float> input = testInput();
    const std::vector<float> output = runLayer(mw::ActivationLayerRecord{4, "input"}, 7, input);
    expectAll(
        output, input, [](float x) { return x < 0 ? 0.0 : static_cast<double>(x); }, 0.0, "relu");
    EXPECT_TRUE(isNegativeZero(output[1]));
    EXPECT_TRUE(std::isnan(output[2]));
}

TEST(ActivationLayers, LeakyReLU)
{
    const std::vector<float> input = testInput();
    const std::vector<float> output = runLayer(mw::LeakyReLULayerRecord{"input", 0.2f}, 7, input);
    expectAll(
        output, input, [](float x) { return x < 0 ? static_cast<double>(0.2f * x) : static_cast<double>(x); }, 1e-7,
        "leaky");
    const std::vector<float> simple = runLayer(mw::LeakyReLULayerRecord{"input", 0.2f}, 1, {-5.0f, 5.0f});
    EXPECT_FLOAT_EQ(simple[0], -1.0f);
    EXPECT_EQ(simple[1], 5.0f);
}

TEST(ActivationLayers, ELU)
{
    const std::vector<float> input = testInput();
    const std::vector<float> output = runLayer(mw::ActivationLayerRecord{5, "input"}, 7, input);
    expectAll(
        output, input, [](float x) { return x > 0 ? static_cast<double>(x) : std::expm1(static_cast<double>(x)); },
        1e-6, "elu");
    EXPECT_EQ(output[0], 0.0f);
    EXPECT_EQ(output[4], -1.0f);
}

TEST(ActivationLayers, Sigmoid)
{
    const std::vector<float> input = testInput();
    const std::vector<float> output = runLayer(mw::ActivationLayerRecord{6, "input"}, 7, input);
    expectAll(
        output, input,
        [](float x)
        {
            const double clamped =
                std::isnan(x) ? static_cast<double>(x) : std::min(10.0, std::max(-10.0, static_cast<double>(x)));
            return 1.0 / (1.0 + std::exp(-clamped));
        },
        1e-6, "sigmoid");
    // 10 and 1000 clamp to the same value.
    EXPECT_EQ(output[3], output[5]);
    EXPECT_NEAR(output[5], 0.9999546f, 1e-7f);
}

TEST(ActivationLayers, HardSigmoid)
{
    const std::vector<float> input = testInput();
    const std::vector<float> output = runLayer(mw::ActivationLayerRecord{20, "input"}, 7, input);
    expectAll(
        output, input,
        [](float x)
        {
            if (std::isnan(x))
                return static_cast<double>(x);
            return std::min(1.0, std::max(0.0, static_cast<double>(x) / 6.0 + 0.5));
        },
        1e-7, "hard sigmoid");
    EXPECT_EQ(output[0], 0.5f);
    EXPECT_EQ(output[7], 1.0f);
    EXPECT_EQ(output[8], 0.0f);
}

TEST(ActivationLayers, Softplus)
{
    const std::vector<float> input = testInput();
    const std::vector<float> output = runLayer(mw::ActivationLayerRecord{17, "input"}, 7, input);
    expectAll(
        output, input,
        [](float x)
        {
            // e^x overflows single precision beyond about 88.7: no clamping.
            if (x > 88.8f)
                return std::numeric_limits<double>::infinity();
            return std::log1p(std::exp(static_cast<double>(x)));
        },
        1e-6, "softplus");
    EXPECT_TRUE(std::isinf(output[13]));
}

TEST(ActivationLayers, EmptyInputsPassAsEmptyOutputs)
{
    NeuralModel<float> model;
    ASSERT_TRUE(loadBytes(model, mw::writeModel(complexModel(3, {activation("a", 6, "input")}, "a"))));
    const Tensor<float> result = model.pushTensor(makeTensor({0, 3, 2}, {}));
    EXPECT_EQ(result.shape, (std::vector<int>{0, 3, 2}));
    EXPECT_EQ(result.getNumOfElements(), 0);
}

TEST(ActivationLayers, OutputsStayValidWhileTheNextFrameIsComputed)
{
    // A later push must not overwrite a result that is still held.
    NeuralModel<float> model;
    ASSERT_TRUE(loadBytes(model, mw::writeModel(complexModel(2, {activation("a", 4, "input")}, "a"))));
    const Tensor<float> first = model.pushTensor(makeTensor({1, 2, 2}, {1, 2, 3, 4}));
    const Tensor<float> second = model.pushTensor(makeTensor({1, 2, 2}, {5, 6, 7, 8}));
    EXPECT_EQ(toVector(first), (std::vector<float>{1, 2, 3, 4}));
    EXPECT_EQ(toVector(second), (std::vector<float>{5, 6, 7, 8}));
}
