// Writes the seed corpus of the model fuzzer: small valid models of every format version, with
// every packing code and every layer type of the format, in float and half-float encodings.
#include <cstdio>
#include <string>
#include <vector>

#include "ModelWriter.h"

namespace mw = murel::modelwriter;

namespace
{

constexpr int numBins = 8;

mw::TensorRecord ramp(std::vector<int> shape)
{
    mw::TensorRecord record;
    record.shape = shape;
    std::size_t count = shape.empty() ? 0 : 1;
    for (const int axis : shape)
        count *= static_cast<std::size_t>(axis);
    for (std::size_t i = 0; i < count; ++i)
        record.values.push_back(0.125f * static_cast<float>(i % 7) - 0.25f);
    return record;
}

mw::ModelDescription base(int version, mw::Packing input, mw::Packing output, int channels = 1)
{
    mw::ModelDescription description;
    description.header.version = version;
    description.header.numInputChannels = channels;
    description.header.inputPacking = input;
    description.header.outputPacking = output;
    description.header.fftSize = 2 * (numBins - 1);
    description.header.windowSize = description.header.fftSize;
    description.header.hopSize = numBins / 2;
    if (version >= 4102)
    {
        description.header.numOutputs = 2;
        description.header.outputNames = {"Voice", "Noise", "Residual"};
    }
    return description;
}

mw::LayerRecord record(std::string name, mw::LayerBody body)
{
    return mw::LayerRecord{std::move(name), std::move(body)};
}

/** Every layer type the engine runs, in one graph over input [1, 8, 2]. */
std::vector<mw::LayerRecord> supportedLayers()
{
    return {
        record("relu", mw::ActivationLayerRecord{4, "input"}),
        record("elu", mw::ActivationLayerRecord{5, "relu"}),
        record("sigmoid", mw::ActivationLayerRecord{6, "input"}),
        record("leaky", mw::LeakyReLULayerRecord{"elu", 0.1f}),
        record("softplus", mw::ActivationLayerRecord{17, "leaky"}),
        record("hard", mw::ActivationLayerRecord{20, "sigmoid"}),
        record("mix", mw::ArithmeticLayerRecord{{"softplus", "hard", "input"}, 0}),
        record("bands", mw::FrequencyRescaleLayerRecord{"mix", {{0, ramp({2})}, {2, ramp({6})}, {1, ramp({3})}}}),
        record("joined", mw::ConcatLayerRecord{{"mix", "input"}}),
    };
}

/** One record of each type that later versions of the engine run, fed by the input
    [1, 8, 2]; the output is the last record. */
std::vector<std::vector<mw::LayerRecord>> otherLayers()
{
    mw::ConvLayerRecord conv{"input", ramp({3, 3, 2, 4}), ramp({4}), 1, 1, 1, 1, 0};
    mw::ConvLayerRecord strided{"input", ramp({2, 1, 2, 2}), {}, 2, 1, 2, 1, 1};
    mw::TransposedConvLayerRecord transposed{"strided", ramp({2, 1, 2, 2}), ramp({2}), 2, 2, 1, 1, 1, 1};
    mw::NormLayerRecord norm{"input", 1, ramp({2}), ramp({2})};
    mw::DenseLayerRecord dense{"input", ramp({8, 8, 2}), ramp({8, 2})};
    mw::SeparableChannelConvLayerRecord separable{"input", ramp({3}), ramp({3})};
    mw::PreNormLayerRecord preNorm{"input", ramp({3})};
    mw::SelfAttentionLayerRecord attention{"input", ramp({2, 2}), ramp({8, 2}), 1, ramp({2, 2})};
    mw::ARPreNormLayerRecord arPreNorm{"input", 0.9f, 0.99f, 1e-3f};
    // Depthwise forms: one weight channel, the channels repeated or kept.
    mw::ConvLayerRecord depthwise{"input", ramp({2, 3, 1, 4}), ramp({4}), 1, 1, 2, 1, 0};
    mw::TransposedConvLayerRecord depthwiseUp{"input", ramp({3, 3, 1, 2}), {}, 2, 1, 1, 1, 1, 0};
    // Encoder/decoder: down in frequency and time, attention, up again, a skip connection.
    mw::ConvLayerRecord down{"input", ramp({2, 3, 2, 4}), ramp({4}), 2, 2, 1, 1, 1};
    mw::SelfAttentionLayerRecord middle{"down", ramp({4, 4}), ramp({4, 4}), 0, ramp({2, 4})};
    mw::TransposedConvLayerRecord up{"middle", ramp({2, 4, 2, 4}), ramp({2}), 2, 2, 2, 1, 1, 1};
    mw::NormLayerRecord skipNorm{"skip", 0, ramp({4}), {}};
    mw::SeparableChannelConvLayerRecord smooth{"skipnorm", ramp({2}), ramp({3})};
    return {
        {record("conv", conv)},
        {record("strided", strided), record("transposed", transposed)},
        {record("norm", norm)},
        {record("dense", dense)},
        {record("separable", separable)},
        {record("prenorm", preNorm)},
        {record("attention", attention)},
        {record("arprenorm", arPreNorm)},
        {record("depthwise", depthwise)},
        {record("depthwiseup", depthwiseUp), record("joined", mw::ConcatLayerRecord{{"depthwiseup", "input"}})},
        {record("down", down), record("middle", middle), record("up", up),
         record("skip", mw::ConcatLayerRecord{{"up", "input"}}), record("skipnorm", skipNorm), record("smooth", smooth),
         record("mask", mw::ActivationLayerRecord{6, "smooth"})},
    };
}

bool save(const std::string& directory, const std::string& name, const mw::ModelDescription& description)
{
    if (!mw::saveModel(description, directory + "/" + name + ".model"))
    {
        std::fprintf(stderr, "cannot write %s\n", name.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    const std::string directory = argv[1];
    bool ok = true;
    const mw::Packing complexPacking = mw::Packing::plain(4, numBins);
    for (int version = 4100; version <= 4106; ++version)
    {
        const std::string prefix = "v" + std::to_string(version) + "-";
        for (const bool half : {false, true})
        {
            if (half && version < 4105)
                continue;
            const std::string suffix = half ? "-half" : "";
            const auto encode = [&](mw::ModelDescription description)
            {
                description.encoding = half ? mw::TensorEncoding::float16 : mw::TensorEncoding::float32;
                return description;
            };

            mw::ModelDescription all = encode(base(version, complexPacking, complexPacking));
            all.layers = supportedLayers();
            all.outputSource = "joined";
            ok = save(directory, prefix + "supported" + suffix, all) && ok;

            int index = 0;
            for (auto& layers : otherLayers())
            {
                mw::ModelDescription other = encode(base(version, complexPacking, complexPacking));
                other.outputSource = layers.back().name;
                other.layers = std::move(layers);
                ok = save(directory, prefix + "layer" + std::to_string(index++) + suffix, other) && ok;
            }
        }

        ok = save(directory, prefix + "identity", base(version, complexPacking, complexPacking, 2)) && ok;
        ok = save(directory, prefix + "magnitudes",
                  base(version, mw::Packing::plain(1, numBins), mw::Packing::plain(1, numBins))) &&
             ok;
        ok = save(directory, prefix + "quadrants",
                  base(version, mw::Packing::split(2, 2, numBins - 2), mw::Packing::split(2, 2, numBins - 2))) &&
             ok;
        ok = save(directory, prefix + "history",
                  base(version, mw::Packing::history(2, numBins - 2, 3), mw::Packing::history(2, numBins - 2, 3))) &&
             ok;
        mw::ModelDescription decimated =
            base(version, mw::Packing::decimated(2, numBins - 1, 2), mw::Packing::decimated(2, numBins - 1, 2));
        decimated.header.magic = "KAVo.model";
        ok = save(directory, prefix + "decimated", decimated) && ok;
    }
    return ok ? 0 : 1;
}
