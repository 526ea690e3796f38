#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "ModelTestSupport.h"

using namespace murel;
using namespace murel::test;

namespace
{

const float infinity = std::numeric_limits<float>::infinity();
const float notANumber = std::numeric_limits<float>::quiet_NaN();

/** NaN stays NaN in every activation. */
double keepNaN(float x, double y)
{
    return std::isnan(x) ? static_cast<double>(x) : y;
}

} // namespace

TEST(ActivationLayers, MatchThePlainFormulas)
{
    struct Case
    {
        const char* name;
        mw::LayerBody record;
        std::function<double(float)> reference;
        double tolerance;
    };
    const std::vector<Case> cases{
        {"relu", mw::ActivationLayerRecord{LayerType::relu, "input"},
         [](float x) { return x < 0 ? 0.0 : static_cast<double>(x); }, 0.0},
        {"leaky relu", mw::LeakyReLULayerRecord{"input", 0.2f},
         [](float x) { return static_cast<double>(x < 0 ? 0.2f * x : x); }, 1e-7},
        {"elu", mw::ActivationLayerRecord{LayerType::elu, "input"},
         [](float x) { return x > 0 ? static_cast<double>(x) : std::expm1(static_cast<double>(x)); }, 1e-6},
        // The input is clamped to [-10, 10] first.
        {"sigmoid", mw::ActivationLayerRecord{LayerType::sigmoid, "input"},
         [](float x) { return keepNaN(x, 1.0 / (1.0 + std::exp(-std::clamp(static_cast<double>(x), -10.0, 10.0)))); },
         1e-6},
        {"hard sigmoid", mw::ActivationLayerRecord{LayerType::hardSigmoid, "input"},
         [](float x) { return keepNaN(x, std::clamp(static_cast<double>(x) / 6.0 + 0.5, 0.0, 1.0)); }, 1e-7},
        // e^x overflows single precision beyond about 88.7: no clamping.
        {"softplus", mw::ActivationLayerRecord{LayerType::softplus, "input"},
         [](float x)
         { return x > 88.8f ? std::numeric_limits<double>::infinity() : std::log1p(std::exp(static_cast<double>(x))); },
         1e-6}};

    // Edge values, then random ones: 3 frames of 7 rows and 2 channels, so that the vector loop
    // has a scalar tail.
    std::vector<float> x{0.0f, -0.0f, notANumber, 1000.0f,  -1000.0f, 10.0f,     -10.0f,
                         3.0f, -3.0f, 1e-30f,     -1e-30f,  infinity, -infinity, 100.0f,
                         0.5f, -0.5f, 2.9999f,    -2.9999f, 20.0f,    -20.0f,    1.0f};
    const std::vector<float> random = randomValues(42 - x.size(), 11, 12.0f);
    x.insert(x.end(), random.begin(), random.end());

    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        NeuralModel<float> model;
        ASSERT_TRUE(loadBytes(model, mw::writeModel(complexModel(7, {layer("a", c.record)}, "a"))));
        // Two frames, then the last one: the first result must survive the second push.
        const Tensor<float> first =
            model.pushTensor(makeTensor({2, 7, 2}, std::vector<float>(x.begin(), x.begin() + 28)));
        const Tensor<float> second =
            model.pushTensor(makeTensor({1, 7, 2}, std::vector<float>(x.begin() + 28, x.end())));
        ASSERT_EQ(first.shape, (std::vector<int>{2, 7, 2}));
        ASSERT_EQ(second.shape, (std::vector<int>{1, 7, 2}));
        std::vector<float> y = toVector(first);
        const std::vector<float> last = toVector(second);
        y.insert(y.end(), last.begin(), last.end());
        for (std::size_t i = 0; i < x.size(); ++i)
        {
            const double expected = c.reference(x[i]);
            if (std::isnan(expected))
                EXPECT_TRUE(std::isnan(y[i])) << "x=" << x[i];
            else if (std::isinf(expected))
                EXPECT_EQ(static_cast<double>(y[i]), expected) << "x=" << x[i];
            else
                EXPECT_NEAR(y[i], expected, c.tolerance * std::max(1.0, std::fabs(expected))) << "x=" << x[i];
        }
        EXPECT_EQ(model.pushTensor(makeTensor({0, 7, 2}, {})).shape, (std::vector<int>{0, 7, 2})) << "empty input";
    }
}

TEST(ActivationLayers, ReLUKeepsNegativeZero)
{
    NeuralModel<float> model;
    ASSERT_TRUE(loadBytes(model, mw::writeModel(complexModel(1, {activation("a", 4, "input")}, "a"))));
    const std::vector<float> y = toVector(model.pushTensor(makeTensor({1, 1, 2}, {-0.0f, 1.0f})));
    ASSERT_EQ(y.size(), 2u);
    EXPECT_TRUE(y[0] == 0.0f && std::signbit(y[0]));
}
