#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <stdexcept>

#include "LayerTestSupport.h"
#include "Neural/ActivationLayers.h"
#include "Neural/CombiningLayers.h"

using namespace murel;
using namespace murel::test;

namespace
{

using Complex = std::complex<float>;

ComplexSignal32 makeSpectrum(const std::vector<std::vector<Complex>>& channels)
{
    ComplexSignal32 spectrum(static_cast<int>(channels.size()), static_cast<int>(channels.front().size()));
    for (std::size_t c = 0; c < channels.size(); ++c)
        for (std::size_t i = 0; i < channels[c].size(); ++i)
            spectrum.getWritePointer(static_cast<int>(c))[i] = channels[c][i];
    return spectrum;
}

NeuralModel<float> loadModel(const mw::ModelDescription& description)
{
    NeuralModel<float> model;
    EXPECT_TRUE(loadDescription(model, description));
    return model;
}

std::vector<float> column(const Tensor<float>& tensor, int c)
{
    std::vector<float> values;
    for (int r = 0; r < tensor.shape[1]; ++r)
        values.push_back(tensor.getReadPointer()[r * tensor.shape[2] + c]);
    return values;
}

void expectBins(const ComplexSignal32& mask, int channel, const std::vector<Complex>& expected, float tolerance = 1e-6f)
{
    ASSERT_GE(mask.getNumOfSamples(), static_cast<int>(expected.size()));
    for (std::size_t j = 0; j < expected.size(); ++j)
    {
        EXPECT_NEAR(mask.getReadPointer(channel)[j].real(), expected[j].real(), tolerance) << "bin " << j;
        EXPECT_NEAR(mask.getReadPointer(channel)[j].imag(), expected[j].imag(), tolerance) << "bin " << j;
    }
}

/** Holds every frame back by a fixed number of frames. */
class DelayLayer : public BaseLayer<float>
{
public:
    DelayLayer(const LayerMap& layers, const std::string& source, int frames)
        : BaseLayer<float>(layers, source, LayerType::none), delay(frames)
    {
    }
    bool push(const TensorView<const float>& input, BaseLayer<float>*) override
    {
        bool reached = false;
        for (int t = 0; t < input.shape[0]; ++t)
        {
            pending.emplace_back().assign(
                TensorView<const float>(input.getFrame(t), 1, input.shape[1], input.shape[2]));
            if (static_cast<int>(pending.size()) > delay)
            {
                reached = pushToFollowingLayers(pending.front()) || reached;
                pending.pop_front();
            }
        }
        return reached;
    }
    void reset() override { pending.clear(); }
    int measureLatency(int k) override { return measureFollowingLatency(k) + k * delay; }

private:
    int delay;
    std::list<Tensor<float>> pending;
};

} // namespace

TEST(Packing, IdentityModelPassesTheSpectrumThrough)
{
    NeuralModel<float> model = loadModel(complexModel(5, {}, "input", 2));
    model.maskExtrapolationEnabled = false;
    const ComplexSignal32 spectrum = makeSpectrum(
        {{{1, 2}, {3, -4}, {0.5f, 0}, {-1, -1}, {7, 8}, {9, 9}}, {{-1, 0}, {2, 2}, {0, 3}, {4, 4}, {5, -5}, {6, 6}}});
    for (int call = 0; call < 3; ++call)
    {
        const std::vector<ComplexSignal32> masks = model.process(spectrum);
        ASSERT_EQ(masks.size(), 1u);
        ASSERT_EQ(masks[0].getNumOfChannels(), 2);
        ASSERT_EQ(masks[0].getNumOfSamples(), 6);
        for (int c = 0; c < 2; ++c)
        {
            for (int j = 0; j < 5; ++j)
                EXPECT_EQ(masks[0].getReadPointer(c)[j], spectrum.getReadPointer(c)[j]);
            EXPECT_EQ(masks[0].getReadPointer(c)[5], Complex(0, 0));
        }
    }
}

TEST(Packing, MagnitudesAndLowBinQuadrants)
{
    NeuralModel<float> model = loadModel(packedModel(mw::Packing::split(PackingCode::splitMagnitudes, 2, 3),
                                                     mw::Packing::split(PackingCode::splitMagnitudes, 2, 3)));
    const ComplexSignal32 spectrum = makeSpectrum({{{0.5f, -0.25f}, {-1, 2}, {3, 4}, {0, -2}, {1, 0}, {8, 8}, {8, 8}}});
    const Tensor<float> packed = model.signalsToTensor({spectrum});
    ASSERT_EQ(packed.shape, (std::vector<int>{1, 11, 1}));
    EXPECT_EQ(column(packed, 0), (std::vector<float>{0.5f, 0, 0, 0.25f, 0, 2, 1, 0, 5, 2, 1}));

    model.maskExtrapolationEnabled = false;
    const std::vector<ComplexSignal32> masks = model.tensorToSignals(packed, 7);
    ASSERT_EQ(masks.size(), 1u);
    expectBins(masks[0], 0, {{0.5f, -0.25f}, {-1, 2}, {5, 0}, {2, 0}, {1, 0}, {0, 0}, {0, 0}});

    NeuralModel<float> magnitudes = loadModel(
        packedModel(mw::Packing::plain(PackingCode::magnitudes, 3), mw::Packing::plain(PackingCode::magnitudes, 3)));
    EXPECT_EQ(column(magnitudes.signalsToTensor({spectrum}), 0),
              (std::vector<float>{std::hypot(0.5f, 0.25f), std::hypot(1.0f, 2.0f), 5.0f}));
}

TEST(Packing, FewerBinsThanTheModelPackAsZeros)
{
    NeuralModel<float> model = loadModel(complexModel(4, {}, "input", 2));
    const Tensor<float> packed = model.signalsToTensor({makeSpectrum({{{1, 2}, {3, 4}}})});
    ASSERT_EQ(packed.shape, (std::vector<int>{1, 4, 4}));
    EXPECT_EQ(column(packed, 0), (std::vector<float>{1, 3, 0, 0}));
    EXPECT_EQ(column(packed, 1), (std::vector<float>{2, 4, 0, 0}));
    // The second channel is missing altogether.
    EXPECT_EQ(column(packed, 2), (std::vector<float>{0, 0, 0, 0}));
}

TEST(Packing, DecimatedGroupsAreAveragedAndInterpolated)
{
    NeuralModel<float> model = loadModel(packedModel(mw::Packing::decimated(1, 8, 4), mw::Packing::decimated(1, 8, 4)));
    std::vector<Complex> bins;
    for (int b = 0; b < 10; ++b)
        bins.emplace_back(static_cast<float>(b), -2.0f * static_cast<float>(b));
    const ComplexSignal32 spectrum = makeSpectrum({bins});
    const Tensor<float> packed = model.signalsToTensor({spectrum});
    ASSERT_EQ(packed.shape, (std::vector<int>{1, 3, 2}));
    // Row 1 averages bins 1..4, row 2 bins 5..8.
    EXPECT_EQ(column(packed, 0), (std::vector<float>{0.0f, 2.5f, 6.5f}));
    EXPECT_EQ(column(packed, 1), (std::vector<float>{-0.0f, -5.0f, -13.0f}));

    model.maskExtrapolationEnabled = false;
    const std::vector<ComplexSignal32> masks = model.tensorToSignals(packed, 10);
    ASSERT_EQ(masks.size(), 1u);
    std::vector<Complex> expected{{0, 0}};
    for (int q = 0; q < 4; ++q)
    {
        const float w = static_cast<float>(q) / 4.0f;
        expected.emplace_back((1 - w) * 2.5f + w * 6.5f, (1 - w) * -5.0f + w * -13.0f);
    }
    for (int q = 0; q < 4; ++q)
    {
        const float w = static_cast<float>(q) / 4.0f;
        expected.emplace_back((1 - w) * 6.5f, (1 - w) * -13.0f);
    }
    expected.emplace_back(0, 0);
    expectBins(masks[0], 0, expected);
}

TEST(Packing, MaskExtrapolationFollowsTheSmoothedMagnitude)
{
    NeuralModel<float> model = loadModel(complexModel(5, {}, "input"));
    const ComplexSignal32 ones = makeSpectrum({std::vector<Complex>(8, Complex(0.6f, 0.8f))});
    const std::vector<ComplexSignal32> masks = model.process(ones);
    ASSERT_EQ(masks.size(), 1u);
    float level = 0.0f;
    for (int j = 0; j < 5; ++j)
        level = 0.98f * level + 0.02f * std::abs(Complex(0.6f, 0.8f));
    for (int j = 5; j < 8; ++j)
        EXPECT_NEAR(masks[0].getReadPointer(0)[j].real(), level, 1e-7f);
    model.maskExtrapolationEnabled = false;
    EXPECT_EQ(model.process(ones)[0].getReadPointer(0)[6], Complex(0, 0));
}

TEST(Packing, UnknownPackingFormatOnTheFirstFrame)
{
    NeuralModel<float> model =
        loadModel(packedModel(mw::Packing::history(1, 2, 2), mw::Packing::plain(PackingCode::realAndImaginary, 3)));
    try
    {
        model.process(makeSpectrum({{{1, 1}, {1, 1}, {1, 1}}}));
        FAIL() << "no exception";
    }
    catch (const std::runtime_error& error)
    {
        EXPECT_STREQ(error.what(), "Unknown packing format");
    }

    mw::Packing output = mw::Packing::plain(PackingCode::history, 0);
    NeuralModel<float> outputModel =
        loadModel(packedModel(mw::Packing::plain(PackingCode::realAndImaginary, 3), output));
    EXPECT_THROW(outputModel.process(makeSpectrum({{{1, 1}, {1, 1}, {1, 1}}})), std::runtime_error);
}

TEST(LayerGraph, QueuedLayerPairsTheFramesOfItsInputs)
{
    LayerMap layers;
    auto first = std::make_shared<InputLayer<float>>();
    auto second = std::make_shared<InputLayer<float>>();
    layers["a"] = first;
    layers["b"] = second;
    ArithmeticLayer subtract(layers, ArithmeticLayerRecord{{"a", "b"}, 3});
    OutputLayer<float> output(&subtract);
    // Three frames in one tensor from the first input wait for the second; a sender that is no
    // input is ignored.
    EXPECT_FALSE(subtract.push(makeTensor({3, 1, 2}, {1, 2, 3, 4, 5, 6}), first.get()));
    EXPECT_FALSE(subtract.push(makeTensor({1, 1, 2}, {7, 7}), &subtract));
    EXPECT_TRUE(output.results.empty());
    // Then single frames from the second: each pairs with the next queued frame.
    for (int t = 0; t < 3; ++t)
        EXPECT_TRUE(subtract.push(makeTensor({1, 1, 2}, {10.0f * static_cast<float>(t + 1), 100}), second.get()));
    ASSERT_EQ(output.results.size(), 3u);
    auto it = output.results.begin();
    EXPECT_EQ(toVector(*it++), (std::vector<float>{9, 98}));
    EXPECT_EQ(toVector(*it++), (std::vector<float>{17, 96}));
    EXPECT_EQ(toVector(*it++), (std::vector<float>{25, 94}));

    EXPECT_FALSE(subtract.push(makeTensor({1, 1, 2}, {1, 2}), first.get()));
    subtract.reset();
    EXPECT_TRUE(subtract.getQueues().front().tensors.empty());
}

TEST(LayerGraph, ResultsOfOnePushAreJoinedInOrder)
{
    // The concatenation releases one frame at a time, so two frames reach the output as two
    // tensors during one push.
    NeuralModel<float> model = loadModel(complexModel(
        2, {activation("relu", 4, "input"), layer("cat", mw::ConcatLayerRecord{{"relu", "input"}})}, "cat"));
    const std::vector<float> values{-1, 2, 3, -4, 5, 6, -7, 8};
    const Tensor<float> result = model.pushTensor(makeTensor({2, 2, 2}, values));
    ASSERT_EQ(result.shape, (std::vector<int>{2, 2, 4}));
    EXPECT_EQ(toVector(result), (std::vector<float>{0, 2, -1, 2, 3, 0, 3, -4, 5, 6, 5, 6, 0, 8, -7, 8}));
    EXPECT_TRUE(model.outputLayer->results.empty());

    // Single frames give the same frames.
    EXPECT_EQ(pushInRuns(model, values, 2, 2, {1}), toVector(result));
}

TEST(LayerGraph, CopiesHeldByTheCallerKeepTheirValues)
{
    // The layers pass views of the input along and the result is written in place.
    NeuralModel<float> model = loadModel(complexModel(2, {}, "input"));
    const std::vector<float> first{1, 2, 3, 4};
    const std::vector<float> second{5, 6, 7, 8};
    const Tensor<float> input = makeTensor({1, 2, 2}, first);
    Tensor<float> reused = model.pushTensor(input);
    const Tensor<float> kept = reused;
    model.pushTensorInto(makeTensor({1, 2, 2}, second), reused);
    EXPECT_EQ(toVector(kept), first);
    EXPECT_EQ(toVector(input), first);
    EXPECT_EQ(toVector(reused), second);
}

TEST(LayerGraph, PushTensorRefusesOtherShapes)
{
    NeuralModel<float> model = loadModel(complexModel(3, {}, "input"));
    EXPECT_EQ(model.pushTensor(makeTensor({1, 3, 2}, std::vector<float>(6, 1))).shape, (std::vector<int>{1, 3, 2}));
    for (const std::vector<int>& shape : std::vector<std::vector<int>>{{1, 4, 2}, {1, 3, 1}, {3, 2}})
        EXPECT_TRUE(model.pushTensor(Tensor<float>(shape)).shape.empty()) << shape[0] << "x" << shape[1];
    EXPECT_TRUE(model.pushTensor(Tensor<float>()).shape.empty());
    EXPECT_EQ(model.pushTensor(makeTensor({0, 3, 2}, {})).shape, (std::vector<int>{0, 3, 2}));
}

TEST(LayerGraph, LatencyIsTheLongestDelayOverAllPaths)
{
    LayerMap layers;
    auto input = std::make_shared<InputLayer<float>>();
    layers["input"] = input;
    EXPECT_EQ(input->measureLatency(1), 0);
    auto shortPath = std::make_shared<DelayLayer>(layers, "input", 1);
    layers["short"] = shortPath;
    auto longPath = std::make_shared<DelayLayer>(layers, "input", 2);
    layers["long"] = longPath;
    auto after = std::make_shared<DelayLayer>(layers, "long", 3);
    layers["after"] = after;
    EXPECT_EQ(input->measureLatency(1), 5);
    EXPECT_EQ(input->measureLatency(2), 10);
    EXPECT_EQ(shortPath->measureLatency(1), 1);

    // Forward triggers reach every layer below.
    struct Counter : BaseLayer<float>
    {
        Counter(const LayerMap& map, const std::string& source) : BaseLayer<float>(map, source, LayerType::none) {}
        void triggerForward() override { ++count; }
        int count = 0;
    };
    Counter counter(layers, "after");
    input->triggerForward();
    EXPECT_EQ(counter.count, 1);
}

TEST(LayerGraph, DelayedPathsComeOutOfLaterCalls)
{
    LayerMap layers;
    auto input = std::make_shared<InputLayer<float>>();
    layers["input"] = input;
    DelayLayer delay(layers, "input", 2);
    OutputLayer<float> output(&delay);
    for (int t = 0; t < 4; ++t)
    {
        const bool reached = input->push(makeTensor({1, 1, 1}, {static_cast<float>(t)}), nullptr);
        EXPECT_EQ(reached, t >= 2);
    }
    ASSERT_EQ(output.results.size(), 2u);
    EXPECT_EQ(toVector(output.results.front()), std::vector<float>{0.0f});
    EXPECT_EQ(toVector(output.results.back()), std::vector<float>{1.0f});
}

TEST(LayerGraph, ResetGivesTheOutputsOfAFreshModel)
{
    const std::vector<mw::LayerRecord> layers{activation("elu", 5, "input"), activation("sig", 6, "input"),
                                              layer("mix", mw::ArithmeticLayerRecord{{"elu", "sig"}, 0}),
                                              layer("cat", mw::ConcatLayerRecord{{"mix", "input"}})};
    auto run = [](NeuralModel<float>& model)
    {
        std::vector<float> out;
        for (int call = 0; call < 3; ++call)
        {
            std::vector<Complex> bins;
            for (int b = 0; b < 4; ++b)
                bins.emplace_back(static_cast<float>(b + call) * 0.5f - 1.0f, static_cast<float>(call - b));
            for (const ComplexSignal32& mask : model.process(makeSpectrum({bins})))
                for (int c = 0; c < mask.getNumOfChannels(); ++c)
                    for (int j = 0; j < mask.getNumOfSamples(); ++j)
                    {
                        out.push_back(mask.getReadPointer(c)[j].real());
                        out.push_back(mask.getReadPointer(c)[j].imag());
                    }
        }
        return out;
    };
    NeuralModel<float> fresh = loadModel(complexModel(4, layers, "cat"));
    const std::vector<float> expected = run(fresh);
    ASSERT_EQ(expected.size(), 3u * 2u * 4u * 2u);

    NeuralModel<float> used = loadModel(complexModel(4, layers, "cat"));
    run(used);
    // Leave a frame queued and a result uncollected, then reset.
    ConcatLayer& cat = findLayer<ConcatLayer>(used, "cat");
    cat.push(makeTensor({1, 4, 2}, std::vector<float>(8, 3.0f)), used.inputLayer.get());
    used.outputLayer->results.push_back(makeTensor({1, 4, 4}, std::vector<float>(16, 1.0f)));
    used.reset();
    EXPECT_TRUE(cat.getQueues().back().tensors.empty());
    EXPECT_TRUE(used.outputLayer->results.empty());
    EXPECT_EQ(run(used), expected);
}
