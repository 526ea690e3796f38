#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "ModelTestSupport.h"
#include "Neural/CombiningLayers.h"

using namespace murel;
using namespace murel::test;

namespace
{

std::vector<std::uint8_t> identityModelBytes()
{
    std::vector<std::uint8_t> bytes;
    auto append = [&](std::initializer_list<int> values)
    {
        for (const int value : values)
            bytes.push_back(static_cast<std::uint8_t>(value));
    };
    auto appendText = [&](const std::string& text)
    {
        append({static_cast<int>(text.size()), 0, 0, 0});
        bytes.insert(bytes.end(), text.begin(), text.end());
    };
    appendText("MUREL.model");
    append({0x06, 0x10, 0x00, 0x00});                         // version 4102
    append({0x00, 0x00});                                     // model id
    append({0x00, 0x00, 0x00, 0x00, 0x00, 0x70, 0xE7, 0x40}); // 48000.0
    append({1, 4, 0x01, 0x01});                               // one channel, code 4, 257 bins
    append({0, 1, 1});                                        // mode, output channels, N
    appendText("Processed");
    appendText("Residual");
    append({4, 0x01, 0x01});                      // output code 4, 257 bins
    append({0x00, 0x02, 0x00, 0x02, 0x80, 0x00}); // 512, 512, 128
    append({0, 0, 0, 0});                         // no layers
    appendText("input");
    return bytes;
}

/** The bytes of a model whose only layer "x" is a record of the given type: the source name
    "input" (unless withSource is false), then the given bytes. */
std::vector<std::uint8_t> rawModel(int type, std::vector<std::uint8_t> bytes, bool withSource = true)
{
    if (withSource)
        bytes.insert(bytes.begin(), {5, 0, 0, 0, 'i', 'n', 'p', 'u', 't'});
    mw::ByteWriter record;
    record.writeString("x");
    record.writeInt16(type);
    record.writeBytes(bytes);
    // Written without layers; the record goes in before the output source "x" and the count
    // before that becomes 1.
    std::vector<std::uint8_t> file = mw::writeModel(complexModel(4, {}, "x"));
    const auto outputSource = file.end() - 5;
    *(outputSource - 4) = 1;
    file.insert(outputSource, record.getBytes().begin(), record.getBytes().end());
    return file;
}

bool loadsRaw(const std::vector<std::uint8_t>& bytes)
{
    NeuralModel<float> model;
    return loadBytes(model, bytes);
}

mw::ModelDescription identityDescription(int version)
{
    mw::ModelDescription description;
    description.header.version = version;
    return description;
}

/** A model that uses every layer type, with half floats where the version allows them. Over
    6 bins of one complex channel: [6, 2] frames throughout. */
mw::ModelDescription everyLayerModel(int version)
{
    const mw::ConvLayerRecord conv{"input", randomRecord({2, 3, 2, 2}, 1), randomRecord({2}, 2), 1, 1, 1, 1, 0};
    const mw::TransposedConvLayerRecord up{"ar", randomRecord({2, 3, 2, 2}, 3), randomRecord({2}, 4), 2, 1, 1, 1, 1, 0};
    const mw::SelfAttentionLayerRecord attention{"dense", randomRecord({2, 2}, 5), randomRecord({6, 2}, 6), 1,
                                                 randomRecord({2, 2}, 7)};
    mw::ModelDescription description = complexModel(
        6,
        {activation("relu", 4, "input"), activation("elu", 5, "relu"), activation("sigmoid", 6, "input"),
         layer("leaky", mw::LeakyReLULayerRecord{"elu", 0.25f}), activation("softplus", 17, "leaky"),
         activation("hard", 20, "sigmoid"), layer("sum", mw::ArithmeticLayerRecord{{"softplus", "hard", "input"}, 2}),
         layer("bands", mw::FrequencyRescaleLayerRecord{"sum",
                                                        {{0, tensorRecord({1}, {1.0f})},
                                                         {1, tensorRecord({2}, {0.5f, 0.5f})},
                                                         {3, tensorRecord({3}, {0.25f, 0.5f, 0.25f})}}}),
         layer("conv", conv), layer("norm", mw::NormLayerRecord{"conv", 1, randomRecord({2}, 8), randomRecord({2}, 9)}),
         layer("dense", mw::DenseLayerRecord{"norm", randomRecord({6, 6, 2}, 10), randomRecord({6, 2}, 11)}),
         layer("att", attention),
         layer("sep", mw::SeparableChannelConvLayerRecord{"att", randomRecord({3}, 12), randomRecord({3}, 13)}),
         layer("pre", mw::PreNormLayerRecord{"sep", tensorRecord({3}, {0.5f, 0.25f, 0.25f})}),
         layer("ar", mw::ARPreNormLayerRecord{"pre", 0.9f, 0.5f, 0.01f}), layer("up", up),
         layer("joined", mw::ConcatLayerRecord{{"sum", "input", "up"}})},
        "joined");
    description.header.version = version;
    if (version >= 4105)
        description.encoding = mw::TensorEncoding::float16;
    return description;
}

} // namespace

TEST(ModelLoader, IdentityModelByteForByte)
{
    const std::vector<std::uint8_t> bytes = identityModelBytes();
    ASSERT_EQ(bytes.size(), 83u);
    EXPECT_EQ(mw::writeModel(identityDescription(4102)), bytes);

    NeuralModel<float> model;
    ASSERT_TRUE(loadBytes(model, bytes));
    // Model id, channels, packing codes, output channels and count, frame sizes, bins, rows,
    // latency.
    EXPECT_EQ((std::vector<int>{model.modelId, model.numInputChannels, model.inputPacking, model.outputPacking,
                                model.numOutputChannels, model.numOutputs, model.fftSize, model.windowSize,
                                model.hopSize, model.numBins, model.lowBins, model.tensorRows, model.latency}),
              (std::vector<int>{0, 1, 4, 4, 1, 1, 512, 512, 128, 257, 0, 257, 0}));
    EXPECT_EQ(model.sampleRate, 48000.0);
    EXPECT_EQ(model.outputNames, (std::list<std::string>{"Processed", "Residual"}));
    EXPECT_EQ(model.getHeader().outputNames, (std::vector<std::string>{"Processed", "Residual"}));
    ASSERT_EQ(model.spectrumHistory.size(), 1u);
    EXPECT_EQ(model.spectrumHistory.front().getNumOfChannels(), 1);
    EXPECT_EQ(model.spectrumHistory.front().getNumOfSamples(), 257);
    EXPECT_EQ(model.layers.size(), 2u);
    EXPECT_EQ(model.outputLayer->getSources().front(), model.inputLayer.get());
}

TEST(ModelLoader, BothMagicsLoadTheSameModel)
{
    mw::ModelDescription description = everyLayerModel(4106);
    NeuralModel<float> first;
    ASSERT_TRUE(loadBytes(first, mw::writeModel(description)));
    description.header.magic = "KAVo.model";
    NeuralModel<float> second;
    ASSERT_TRUE(loadBytes(second, mw::writeModel(description)));
    EXPECT_EQ(first.layers.size(), second.layers.size());
    EXPECT_EQ(first.tensorRows, second.tensorRows);
    const std::vector<float> input = randomValues(36, 5);
    const std::vector<float> out = toVector(first.pushTensor(makeTensor({3, 6, 2}, input)));
    EXPECT_FALSE(out.empty());
    EXPECT_EQ(toVector(second.pushTensor(makeTensor({3, 6, 2}, input))), out);

    for (const char* magic : {"MUREL.mode", "MUREL.model ", "kavo.model", ""})
    {
        description.header.magic = magic;
        EXPECT_FALSE(loads(description)) << magic;
    }
}

TEST(ModelLoader, FormatVersionsAndTheirFields)
{
    for (const int version : {4099, newestModelVersion + 1, 5000, -1})
    {
        NeuralModel<float> model;
        mw::ModelDescription description = identityDescription(4106);
        std::vector<std::uint8_t> bytes = mw::writeModel(description);
        const auto bits = static_cast<std::uint32_t>(version);
        for (int i = 0; i < 4; ++i)
            bytes[15 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(bits >> (8 * i));
        EXPECT_FALSE(loadBytes(model, bytes)) << version;
    }

    mw::ModelDescription old = identityDescription(4100);
    old.header.fftSize = 1024;
    old.header.windowSize = 777; // not written
    old.header.hopSize = 256;
    NeuralModel<float> model4100;
    ASSERT_TRUE(loadBytes(model4100, mw::writeModel(old)));
    EXPECT_EQ(model4100.getHeader().windowSize, 1024);
    EXPECT_EQ(model4100.getHeader().hopSize, 256);
    EXPECT_EQ(model4100.getHeader().numOutputs, 1);

    old.header.version = 4101;
    old.header.numOutputs = 3;
    old.header.outputNames = {"a", "b", "c", "d"}; // not written before 4102
    NeuralModel<float> model4101;
    ASSERT_TRUE(loadBytes(model4101, mw::writeModel(old)));
    EXPECT_EQ(model4101.getHeader().windowSize, 777);
    EXPECT_EQ(model4101.getHeader().numOutputs, 1);
    EXPECT_EQ(model4101.getHeader().outputNames, (std::vector<std::string>{"Processed", "Residual"}));

    old.header.version = 4102;
    NeuralModel<float> model4102;
    ASSERT_TRUE(loadBytes(model4102, mw::writeModel(old)));
    EXPECT_EQ(model4102.getHeader().numOutputs, 3);
    EXPECT_EQ(model4102.getHeader().outputNames, (std::vector<std::string>{"a", "b", "c", "d"}));

    // Every version reads the model that uses every layer type; half floats from 4105.
    for (int version = 4100; version <= newestModelVersion; ++version)
    {
        NeuralModel<float> model;
        EXPECT_TRUE(loadBytes(model, mw::writeModel(everyLayerModel(version)))) << version;
        EXPECT_EQ(model.layers.size(), 19u);
    }
}

TEST(ModelLoader, PackingCodesAndDerivedRows)
{
    struct Case
    {
        mw::Packing packing;
        int numBins, lowBins, tensorRows, numHistoryFrames, channels;
    };
    const Case cases[] = {
        {mw::Packing::plain(PackingCode::magnitudes, 257), 257, 0, 257, 1, 1},
        {mw::Packing::split(PackingCode::splitMagnitudes, 16, 241), 257, 16, 305, 1, 1},
        {mw::Packing::plain(PackingCode::realAndImaginary, 100), 100, 0, 100, 1, 2},
        {mw::Packing::history(2, 6, 3), 8, 2, 14, 3, 3},
        {mw::Packing::decimated(32, 224, 4), 256, 32, 88, 1, 2},
        {mw::Packing::decimated(32, 224, 0), 256, 32, 32, 1, 2},
    };
    for (const Case& c : cases)
    {
        NeuralModel<float> model;
        ASSERT_TRUE(
            loadBytes(model, mw::writeModel(packedModel(c.packing, mw::Packing::plain(PackingCode::history, 0)))))
            << static_cast<int>(c.packing.code);
        EXPECT_EQ((std::vector<int>{model.getHeader().inputPacking.numBins, model.getHeader().inputPacking.lowBins,
                                    model.tensorRows, model.getHeader().inputPacking.numOfHistoryFrames,
                                    static_cast<int>(model.spectrumHistory.size()), model.getNumOfInputTensorChannels(),
                                    model.getHeader().inputPacking.decimation}),
                  (std::vector<int>{c.numBins, c.lowBins, c.tensorRows, c.numHistoryFrames, c.numHistoryFrames,
                                    c.channels, c.packing.code == PackingCode::decimated ? c.packing.decimation : 1}))
            << "code " << static_cast<int>(c.packing.code);
    }

    // The output parameter block of code 6 is read (five bytes) and changes nothing.
    mw::ModelDescription description;
    description.header.outputPacking = mw::Packing::decimated(3, 4, 5);
    description.header.numOutputChannels = 2;
    NeuralModel<float> model;
    ASSERT_TRUE(loadBytes(model, mw::writeModel(description)));
    EXPECT_EQ(model.getHeader().outputPacking.code, PackingCode::decimated);
    EXPECT_EQ(model.getHeader().inputPacking.numBins, 257);
    EXPECT_EQ(model.getHeader().inputPacking.decimation, 1);
    EXPECT_EQ(model.getHeader().numOutputChannels, 2);

    for (const int code : {0, 3, 7, -1, 100})
    {
        mw::ModelDescription input;
        input.header.inputPacking.code = static_cast<PackingCode>(code);
        EXPECT_FALSE(loads(input)) << code;
        mw::ModelDescription output;
        output.header.outputPacking.code = static_cast<PackingCode>(code);
        EXPECT_FALSE(loads(output)) << code;
    }
}

TEST(ModelLoader, UnknownAndCutShortLayerRecordsAreRejected)
{
    // Codes that are no layer record, then types whose record needs more than a source name.
    for (const int code : {0, 1, 8, 10, 11, 13, 21, 24, -3, 2, 3, 7, 14, 15, 16, 19, 23})
        EXPECT_FALSE(loadsRaw(rawModel(code, {}))) << code;
}

TEST(ModelLoader, ExceptionsForNamesThatCannotBeResolvedOrRead)
{
    NeuralModel<float> model;
    EXPECT_THROW(loadBytes(model, mw::writeModel(complexModel(4, {activation("a", 4, "later")}, "a"))),
                 std::out_of_range);
    EXPECT_THROW(loadBytes(model, mw::writeModel(complexModel(4, {}, "missing"))), std::out_of_range);
    // A failed load leaves a model whose input feeds its output.
    EXPECT_EQ(model.layers.size(), 2u);
    EXPECT_EQ(model.outputLayer->getSources().front(), model.inputLayer.get());

    mw::ByteWriter negativeMagic;
    negativeMagic.writeInt32(-5);
    EXPECT_THROW(loadBytes(model, negativeMagic.getBytes()), std::length_error);

    EXPECT_THROW(loadBytes(model, rawModel(22, {1, 0, 0, 0, 1, 0xFF})), std::length_error);
}

TEST(ModelLoader, RejectsNamesThatWouldReplaceLayers)
{
    for (const auto& names : std::vector<std::vector<std::string>>{{"a", "a"}, {"input"}, {"output"}, {"a", "output"}})
    {
        std::vector<mw::LayerRecord> layers;
        for (const std::string& name : names)
            layers.push_back(activation(name, 4, "input"));
        EXPECT_FALSE(loads(complexModel(4, layers, "input"))) << names.back();
    }
}

TEST(ModelLoader, RejectsHeadersItCannotRun)
{
    using Change = std::function<void(mw::ModelDescription&)>;
    const std::vector<std::pair<const char*, Change>> changes{
        {"no history", [](auto& d) { d.header.inputPacking = mw::Packing::history(2, 6, 0); }},
        {"negative history", [](auto& d) { d.header.inputPacking = mw::Packing::history(2, 6, -4); }},
        {"negative bins",
         [](auto& d) { d.header.inputPacking = mw::Packing::plain(PackingCode::realAndImaginary, -2); }},
        {"negative low bins",
         [](auto& d) { d.header.inputPacking = mw::Packing::split(PackingCode::splitMagnitudes, -1, 10); }},
        {"negative decimation", [](auto& d) { d.header.inputPacking = mw::Packing::decimated(4, 12, -2); }},
        {"no channels", [](auto& d) { d.header.numInputChannels = 0; }},
        {"negative channels", [](auto& d) { d.header.numInputChannels = -3; }},
        // History, input tensor and frames far beyond what an 80-byte file can justify.
        {"huge history",
         [](auto& d)
         {
             d.header.inputPacking = mw::Packing::history(30000, 30000, 30000);
             d.header.outputPacking.code = PackingCode::history;
         }},
        {"huge frames", [](auto& d)
         {
             d.header.numInputChannels = 127;
             d.header.inputPacking = mw::Packing::split(PackingCode::splitMagnitudes, 32000, 32000);
             d.header.outputPacking = mw::Packing::split(PackingCode::splitMagnitudes, 32000, 32000);
         }}};
    for (const auto& [what, change] : changes)
    {
        mw::ModelDescription description;
        change(description);
        EXPECT_FALSE(loads(description)) << what;
    }
}

TEST(ModelLoader, RejectsShapesThatDoNotFit)
{
    auto rescale = [](std::string name, std::vector<mw::FrequencyBand> bands) {
        return layer(std::move(name), mw::FrequencyRescaleLayerRecord{"input", std::move(bands)});
    };
    // A band past the last row, a band without weights, a band before the first row.
    EXPECT_TRUE(loads(complexModel(4, {rescale("b", {{0, ones(4)}})}, "input")));
    EXPECT_FALSE(loads(complexModel(4, {rescale("b", {{1, ones(4)}})}, "input")));
    EXPECT_FALSE(loads(complexModel(4, {rescale("b", {{0, ones()}})}, "input")));
    EXPECT_FALSE(loads(complexModel(4, {rescale("b", {{-1, ones(1)}})}, "input")));
    EXPECT_FALSE(loads(complexModel(4, {rescale("b", {{0, ones(3, 0)}})}, "input")));

    // "half" has two rows where the input has four. Element-wise inputs need at least the
    // elements of the first one, concatenation the first one's rows in every input.
    auto withHalf = [&](mw::LayerRecord record, const std::string& output = "input") {
        return complexModel(4, {rescale("half", {{0, ones(1)}, {1, ones(1)}}), std::move(record)}, output);
    };
    EXPECT_TRUE(loads(withHalf(layer("sum", mw::ArithmeticLayerRecord{{"half", "input"}, 2}))));
    EXPECT_FALSE(loads(withHalf(layer("sum", mw::ArithmeticLayerRecord{{"input", "half"}, 2}))));
    EXPECT_TRUE(loads(withHalf(layer("cat", mw::ConcatLayerRecord{{"half", "input"}}))));
    EXPECT_FALSE(loads(withHalf(layer("cat", mw::ConcatLayerRecord{{"input", "half"}}))));
    EXPECT_FALSE(loads(complexModel(4, {layer("cat", mw::ConcatLayerRecord{{}})}, "input")));

    // The output must hold the rows and columns that unpacking reads.
    EXPECT_FALSE(loads(withHalf(activation("a", 4, "input"), "half")));
    EXPECT_TRUE(loads(withHalf(layer("cat", mw::ConcatLayerRecord{{"input", "input"}}), "cat")));
}

TEST(ModelLoader, RejectsOutputsTooSmallForUnpacking)
{
    auto packed = [](mw::Packing input, mw::Packing output, int numInputChannels = 1)
    { return loads(packedModel(input, output, numInputChannels)); };
    EXPECT_TRUE(packed(mw::Packing::split(PackingCode::splitMagnitudes, 4, 10),
                       mw::Packing::plain(PackingCode::magnitudes, 0)));
    EXPECT_FALSE(packed(mw::Packing::split(PackingCode::splitMagnitudes, 4, 10),
                        mw::Packing::plain(PackingCode::realAndImaginary, 0)));
    EXPECT_TRUE(packed(mw::Packing::split(PackingCode::splitMagnitudes, 4, 10),
                       mw::Packing::plain(PackingCode::realAndImaginary, 0), 2));
    // Codes 1 and 2 give one column per channel: too few for complex unpacking.
    EXPECT_FALSE(
        packed(mw::Packing::plain(PackingCode::magnitudes, 14), mw::Packing::plain(PackingCode::realAndImaginary, 0)));
    EXPECT_TRUE(packed(mw::Packing::plain(PackingCode::magnitudes, 14),
                       mw::Packing::plain(PackingCode::realAndImaginary, 0), 2));
    // Decimated rows are fewer than the bins that code 4 unpacks.
    EXPECT_FALSE(packed(mw::Packing::decimated(4, 12, 4), mw::Packing::plain(PackingCode::realAndImaginary, 0)));
    EXPECT_TRUE(packed(mw::Packing::decimated(4, 12, 4), mw::Packing::decimated(0, 0, 0)));
    // A partial last group is accepted; its missing row reads as zero.
    EXPECT_TRUE(packed(mw::Packing::decimated(4, 13, 4), mw::Packing::decimated(0, 0, 0)));
    // Decimation 0 cannot be unpacked above the low bins.
    EXPECT_FALSE(packed(mw::Packing::decimated(4, 12, 0), mw::Packing::decimated(0, 0, 0)));
    EXPECT_TRUE(packed(mw::Packing::decimated(4, 0, 0), mw::Packing::decimated(0, 0, 0)));
}

TEST(ModelLoader, RejectsCountsTheFileCannotHold)
{
    // Layer count, input count and band count far beyond the bytes that follow.
    mw::ModelDescription description;
    std::vector<std::uint8_t> bytes = mw::writeModel(description);
    bytes.resize(bytes.size() - 13);
    mw::ByteWriter tail;
    tail.writeInt32(1000000);
    tail.writeString("input");
    bytes.insert(bytes.end(), tail.getBytes().begin(), tail.getBytes().end());
    NeuralModel<float> model;
    EXPECT_FALSE(loadBytes(model, bytes));

    EXPECT_FALSE(loadsRaw(rawModel(9, {0xFF, 0x7F, 5, 0, 0, 0, 'i', 'n', 'p', 'u', 't'}, false)));
    EXPECT_FALSE(loadsRaw(rawModel(22, {0xFF, 0x7F})));
    EXPECT_FALSE(loadsRaw(rawModel(22, {0xFF, 0xFF})));

    // A string length beyond the file.
    mw::ByteWriter longName;
    longName.writeInt32(0x7FFFFFFF);
    EXPECT_FALSE(loadBytes(model, longName.getBytes()));
    EXPECT_FALSE(loadBytes(model, {}));
}

TEST(ModelLoader, RejectsGraphsTooDeepToRun)
{
    std::vector<mw::LayerRecord> chain;
    std::string previous = "input";
    for (int i = 0; i < 1100; ++i)
    {
        const std::string name = "r" + std::to_string(i);
        chain.push_back(activation(name, 4, previous));
        previous = name;
    }
    EXPECT_FALSE(loads(complexModel(4, chain, previous)));
    chain.resize(1000);
    NeuralModel<float> model;
    ASSERT_TRUE(loadBytes(model, mw::writeModel(complexModel(4, chain, "r999"))));
    // The deepest chain accepted still runs.
    const Tensor<float> result = model.pushTensor(makeTensor({1, 4, 2}, {1, -1, 2, -2, 3, -3, 4, -4}));
    EXPECT_EQ(toVector(result), (std::vector<float>{1, 0, 2, 0, 3, 0, 4, 0}));

    // Diamonds in a row double the paths each time.
    std::vector<mw::LayerRecord> diamonds;
    previous = "input";
    for (int i = 0; i < 20; ++i)
    {
        const std::string index = std::to_string(i);
        diamonds.push_back(activation("a" + index, 4, previous));
        diamonds.push_back(activation("b" + index, 4, previous));
        diamonds.push_back(layer("m" + index, mw::ArithmeticLayerRecord{{"a" + index, "b" + index}, 2}));
        previous = "m" + index;
    }
    EXPECT_FALSE(loads(complexModel(4, diamonds, previous)));
    diamonds.resize(3 * 12);
    EXPECT_TRUE(loads(complexModel(4, diamonds, "m11")));
}

TEST(ModelLoader, NeedsAStreamThatCanSeek)
{
    class ForwardOnlyStream : public MemoryInputStream
    {
    public:
        using MemoryInputStream::MemoryInputStream;
        bool canSeek() override { return false; }
    };
    NeuralModel<float> model;
    EXPECT_FALSE(model.loadModel(std::make_shared<ForwardOnlyStream>(mw::writeModel(identityDescription(4106)))));
    EXPECT_FALSE(model.loadModel(nullptr));
}

TEST(ModelLoader, EveryTruncationFailsCleanly)
{
    for (const int version : {4100, 4102, 4104, 4106})
    {
        const std::vector<std::uint8_t> full = mw::writeModel(everyLayerModel(version));
        for (std::size_t size = 0; size < full.size(); ++size)
        {
            NeuralModel<float> model;
            bool loaded = true;
            try
            {
                loaded =
                    loadBytes(model, std::vector<std::uint8_t>(full.begin(), full.begin() + static_cast<long>(size)));
            }
            catch (const std::exception&)
            {
                loaded = false; // a name cut short can name no layer
            }
            EXPECT_FALSE(loaded) << "version " << version << ", " << size << " of " << full.size() << " bytes";
        }
        NeuralModel<float> model;
        EXPECT_TRUE(loadBytes(model, full));
    }
}
