// Writes the seed corpora of the fuzzers: small valid models of every format version, with every
// packing code and every layer type of the format, in float and half-float encodings. The
// processor fuzzer's seeds are the same models followed by call scripts (see ProcessorFuzzer.cpp).
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "Format/ModelWriter.h"

namespace mw = murel::modelwriter;

namespace
{

constexpr int numBins = 8;

mw::TensorRecord ramp(std::vector<int> shape)
{
    std::size_t count = shape.empty() ? 0 : 1;
    for (const int axis : shape)
        count *= static_cast<std::size_t>(axis);
    std::vector<float> values;
    for (std::size_t i = 0; i < count; ++i)
        values.push_back(0.125f * static_cast<float>(i % 7) - 0.25f);
    return mw::TensorRecord(std::move(shape), values);
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
        record("relu", mw::ActivationLayerRecord{murel::LayerType::relu, "input"}),
        record("elu", mw::ActivationLayerRecord{murel::LayerType::elu, "relu"}),
        record("sigmoid", mw::ActivationLayerRecord{murel::LayerType::sigmoid, "input"}),
        record("leaky", mw::LeakyReLULayerRecord{"elu", 0.1f}),
        record("softplus", mw::ActivationLayerRecord{murel::LayerType::softplus, "leaky"}),
        record("hard", mw::ActivationLayerRecord{murel::LayerType::hardSigmoid, "sigmoid"}),
        record("mix", mw::ArithmeticLayerRecord{{"softplus", "hard", "input"}, 0}),
        record("bands", mw::FrequencyRescaleLayerRecord{"mix", {{0, ramp({2})}, {2, ramp({6})}, {1, ramp({3})}}}),
        record("joined", mw::ConcatLayerRecord{{"mix", "input"}}),
    };
}

/** One record of each type that later versions of the engine run, fed by the input
    [1, 8, 2]; the output is the last record. */
std::vector<std::vector<mw::LayerRecord>> otherLayers(int version)
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
    std::vector<std::vector<mw::LayerRecord>> layers = {
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
         record("mask", mw::ActivationLayerRecord{murel::LayerType::sigmoid, "smooth"})},
    };
    if (version >= 4107)
    {
        // Stacked recurrences over the whole frame, spread back over the rows.
        mw::RecurrentLayerRecord gru{murel::LayerType::gru, "input", ramp({15, 16}), ramp({15, 5}), ramp({15}), {}};
        mw::RecurrentLayerRecord lstm{murel::LayerType::lstm, "gru", ramp({12, 5}), ramp({12, 3}), {}, ramp({12})};
        mw::FrequencyRescaleLayerRecord bands{"lstm", {}};
        for (int m = 0; m < 8; ++m)
            bands.bands.push_back({0, ramp({3})});
        mw::ConvLayerRecord spread{"bands", ramp({1, 1, 1, 2}), ramp({2}), 1, 1, 1, 1, 0};
        layers.push_back({record("gru", gru), record("lstm", lstm), record("bands", bands), record("spread", spread)});
    }
    return layers;
}

/** Encodes the processor fuzzer's call script. */
class ScriptWriter
{
public:
    explicit ScriptWriter(std::uint8_t setup, std::uint8_t channels, std::uint8_t rate) : bytes{setup, channels, rate}
    {
    }

    ScriptWriter& add(int frames, bool interleaved) { return op(interleaved ? 2 : 0).frames(frames); }
    ScriptWriter& take(int frames, bool interleaved) { return op(interleaved ? 4 : 3).frames(frames); }
    ScriptWriter& takeAll(bool interleaved) { return op(interleaved ? 5 + 0x10 : 5); }
    /** kind: 0 level of bus 1, 1 sensitivity of bus 0, 3 gain, 4 sensitivity; value: index
        into the fuzzer's table of values. */
    ScriptWriter& set(int kind, int bus, int value) { return op(6).put(kind).put(bus + 2).put(value); }
    ScriptWriter& reset() { return op(8); }
    ScriptWriter& inspect(int nameSize, int bus) { return op(9).put(nameSize).put(bus + 2).put(3).put(bus + 2); }
    ScriptWriter& style(int style) { return op(10).put(style).put(0x34).put(0x12); }
    ScriptWriter& burst(int frames) { return op(11).put(frames - 1); }

    std::vector<std::uint8_t> after(std::vector<std::uint8_t> model) const
    {
        model.insert(model.end(), bytes.begin(), bytes.end());
        model.push_back(static_cast<std::uint8_t>(bytes.size()));
        return model;
    }

private:
    ScriptWriter& put(int value)
    {
        bytes.push_back(static_cast<std::uint8_t>(value));
        return *this;
    }
    ScriptWriter& op(int code) { return put(code); }
    /** 1 to 700 frames directly, larger counts up to 4096 through the large kind. */
    ScriptWriter& frames(int count)
    {
        const int kind = count <= 700 ? 3 : 2;
        const int value = count <= 700 ? count - 1 : count;
        return put(kind).put(value & 0xff).put(value >> 8);
    }

    std::vector<std::uint8_t> bytes;
};

/** Indices into the processor fuzzer's table of parameter values. */
namespace value
{
constexpr int half = 4, minusSix = 6, over = 10, infinity = 16, minusInfinity = 17, nan = 18;
}

/** Two scripts: one processor, mono at the model rate, planar; and a stem separator of two
    copies, stereo at 44.1 kHz, interleaved; both with non-finite parameters and audio. */
std::vector<ScriptWriter> scripts()
{
    ScriptWriter mono(0, 0, 7);
    mono.add(334, false)
        .set(3, 0, value::half)
        .add(701, false)
        .take(100, false)
        .set(1, 0, value::infinity)
        .set(0, 1, value::minusSix)
        .takeAll(true)
        .burst(64)
        .inspect(8, 0)
        .style(4)
        .add(1200, true)
        .takeAll(false)
        .set(3, 1, value::nan)
        .reset()
        .add(256, false)
        .takeAll(false);
    ScriptWriter stereo(1, 1, 6);
    stereo.burst(100)
        .set(4, 1, value::over)
        .add(777, true)
        .set(3, 1, value::infinity)
        .take(300, true)
        .style(3)
        .add(900, false)
        .takeAll(false)
        .inspect(3, 2)
        .set(4, 0, value::minusInfinity)
        .style(5)
        .burst(37)
        .reset()
        .take(1, false);
    return {mono, stereo};
}

bool writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file)
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return static_cast<bool>(file);
}

struct Corpora
{
    std::string models;
    std::string processor; // empty: models only
};

bool save(const Corpora& corpora, const std::string& name, const mw::ModelDescription& description)
{
    const std::vector<std::uint8_t> model = mw::writeModel(description);
    bool ok = writeFile(corpora.models + "/" + name + ".model", model);
    if (corpora.processor.empty())
        return ok;
    // The processor also needs a power-of-two FFT; the bins stay as they are. A longer hop
    // keeps the units short.
    mw::ModelDescription runnable = description;
    runnable.header.fftSize = 2 * numBins;
    runnable.header.windowSize = runnable.header.fftSize;
    runnable.header.hopSize = numBins;
    const std::vector<std::uint8_t> runnableModel = mw::writeModel(runnable);
    int index = 0;
    for (const ScriptWriter& script : scripts())
        ok = writeFile(corpora.processor + "/" + name + "-" + std::to_string(index++) + ".seed",
                       script.after(runnableModel)) &&
             ok;
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 3)
    {
        std::fprintf(stderr, "usage: %s <model corpus directory> [<processor corpus directory>]\n", argv[0]);
        return 2;
    }
    const Corpora directory{argv[1], argc == 3 ? argv[2] : ""};
    bool ok = true;
    const mw::Packing complexPacking = mw::Packing::plain(murel::PackingCode::realAndImaginary, numBins);
    for (int version = 4100; version <= murel::newestModelVersion; ++version)
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
            for (auto& layers : otherLayers(version))
            {
                mw::ModelDescription other = encode(base(version, complexPacking, complexPacking));
                other.outputSource = layers.back().name;
                other.layers = std::move(layers);
                ok = save(directory, prefix + "layer" + std::to_string(index++) + suffix, other) && ok;
            }
        }

        ok = save(directory, prefix + "identity", base(version, complexPacking, complexPacking, 2)) && ok;
        ok = save(directory, prefix + "magnitudes",
                  base(version, mw::Packing::plain(murel::PackingCode::magnitudes, numBins),
                       mw::Packing::plain(murel::PackingCode::magnitudes, numBins))) &&
             ok;
        ok = save(directory, prefix + "quadrants",
                  base(version, mw::Packing::split(murel::PackingCode::splitMagnitudes, 2, numBins - 2),
                       mw::Packing::split(murel::PackingCode::splitMagnitudes, 2, numBins - 2))) &&
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
