#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "Interface/MurelEngine.h"
#include "Processor/ProcessorTestSupport.h"

using namespace murel::test;

namespace
{

using Channels = std::vector<std::vector<float>>;

const ModelBlocking blocking{256, 256, 128, 48000.0};

/** A processor handle that is deleted with the object. */
class Processor
{
public:
    explicit Processor(void* processorHandle) : handle(processorHandle) {}
    ~Processor() { murelDeleteProcessor(handle); }
    Processor(const Processor&) = delete;
    Processor& operator=(const Processor&) = delete;
    void* get() const { return handle; }

private:
    void* handle;
};

std::vector<float*> pointers(Channels& channels)
{
    std::vector<float*> result;
    for (auto& channel : channels)
        result.push_back(channel.data());
    return result;
}

Channels slice(const Channels& input, std::size_t start, std::size_t count)
{
    Channels result;
    for (const auto& channel : input)
        result.emplace_back(channel.begin() + static_cast<std::ptrdiff_t>(start),
                            channel.begin() + static_cast<std::ptrdiff_t>(start + count));
    return result;
}

std::vector<float> interleave(const Channels& channels)
{
    std::vector<float> result;
    for (std::size_t i = 0; i < channels[0].size(); ++i)
        for (const auto& channel : channels)
            result.push_back(channel[i]);
    return result;
}

/** Streams input through the handle as a real-time host: blocks of the given sizes (cycled),
    alternately planar and interleaved, and as many samples back per block once the latency has
    passed (silence before), alternately planar and interleaved. */
Channels streamAsHost(void* processor, const Channels& input, const std::vector<int>& blockSizes, int latency)
{
    const std::size_t numOfChannels = input.size();
    const std::size_t length = input[0].size();
    Channels output(numOfChannels);
    std::size_t position = 0;
    std::size_t emitted = 0;
    for (std::size_t i = 0; position < length; ++i)
    {
        const std::size_t count =
            std::min(static_cast<std::size_t>(blockSizes[i % blockSizes.size()]), length - position);
        Channels block = slice(input, position, count);
        if (i % 2 == 0)
            murelAddAudio(processor, pointers(block).data(), static_cast<int>(count));
        else
            murelAddAudioInterleaved(processor, interleave(block).data(), static_cast<int>(count));
        position += count;

        // Silence while the latency lasts, then the processor's output.
        std::size_t silent = 0;
        if (emitted < static_cast<std::size_t>(latency))
            silent = std::min(count, static_cast<std::size_t>(latency) - emitted);
        for (auto& channel : output)
            channel.insert(channel.end(), silent, 0.0f);
        const std::size_t wanted = count - silent;
        emitted += count;
        if (wanted == 0)
            continue;
        if (murelGetNumOfPendingSamples(processor) < static_cast<int>(wanted))
        {
            ADD_FAILURE() << "after " << position << " samples only " << murelGetNumOfPendingSamples(processor)
                          << " of " << wanted << " were pending";
            return output;
        }
        if (i % 3 == 0)
        {
            std::vector<float> frames(wanted * numOfChannels);
            EXPECT_TRUE(murelGetAudioInterleaved(processor, frames.data(), static_cast<int>(wanted)));
            for (std::size_t n = 0; n < wanted; ++n)
                for (std::size_t c = 0; c < numOfChannels; ++c)
                    output[c].push_back(frames[n * numOfChannels + c]);
        }
        else
        {
            Channels taken(numOfChannels, std::vector<float>(wanted));
            EXPECT_TRUE(murelGetAudio(processor, pointers(taken).data(), static_cast<int>(wanted)));
            for (std::size_t c = 0; c < numOfChannels; ++c)
                output[c].insert(output[c].end(), taken[c].begin(), taken[c].end());
        }
    }
    return output;
}

void expectDelayedCopy(const Channels& input, const Channels& output, int latency, float tolerance)
{
    ASSERT_EQ(input.size(), output.size());
    for (std::size_t c = 0; c < input.size(); ++c)
    {
        ASSERT_EQ(output[c].size(), input[c].size());
        for (std::size_t n = 0; n < output[c].size(); ++n)
        {
            const float expected =
                n >= static_cast<std::size_t>(latency) ? input[c][n - static_cast<std::size_t>(latency)] : 0.0f;
            ASSERT_NEAR(output[c][n], expected, tolerance) << "channel " << c << " sample " << n;
        }
    }
}

MurelModelInfo sentinelInfo()
{
    MurelModelInfo info;
    info.sampleRate = -1.0;
    info.numOfChannels = -1;
    info.latency = -1;
    info.windowSize = -1;
    info.hopSize = -1;
    info.modelLatency = 1234;
    return info;
}

} // namespace

// ---- Creating ----

TEST(ProcessorInterface, CreateRejectsBadArgumentsAndModelsThatCannotRun)
{
    const TemporaryModelFile model(identityModel(2, blocking, 0, 129));
    const char* good = model.c_str();
    EXPECT_EQ(murelCreateProcessor(nullptr, 2, 48000.0), nullptr);
    EXPECT_EQ(murelCreateProcessor("/nonexistent/folder/model.model", 2, 48000.0), nullptr);
    for (const int channels : {0, -1, std::numeric_limits<int>::min(), 1025})
        EXPECT_EQ(murelCreateProcessor(good, channels, 48000.0), nullptr) << channels;
    for (const double rate : {0.0, -48000.0, std::nan(""), std::numeric_limits<double>::infinity(), 1.0})
        EXPECT_EQ(murelCreateProcessor(good, 2, rate), nullptr) << rate;

    const char* paths[2] = {good, nullptr};
    EXPECT_EQ(murelCreateStemSeparator(0, paths, 2, 48000.0), nullptr);
    EXPECT_EQ(murelCreateStemSeparator(-3, paths, 2, 48000.0), nullptr);
    EXPECT_EQ(murelCreateStemSeparator(1, nullptr, 2, 48000.0), nullptr);
    EXPECT_EQ(murelCreateStemSeparator(2, paths, 2, 48000.0), nullptr);

    // Not a model at all.
    const std::string garbage = ::testing::TempDir() + "murel-not-a-model.bin";
    FILE* file = std::fopen(garbage.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("no model in here", file);
    std::fclose(file);
    EXPECT_EQ(murelCreateProcessor(garbage.c_str(), 2, 48000.0), nullptr);
    std::remove(garbage.c_str());

    // Models that disagree, or cannot run together.
    ModelBlocking otherHop = blocking;
    otherHop.hop = 64;
    const TemporaryModelFile hopModel(identityModel(2, otherHop, 0, 129));
    const char* disagreeing[2] = {good, hopModel.c_str()};
    EXPECT_EQ(murelCreateStemSeparator(2, disagreeing, 2, 48000.0), nullptr);
    mw::ModelDescription noBus = identityModel(2, blocking, 0, 129);
    noBus.header.numOutputs = 0;
    noBus.header.outputNames = {"Residual"};
    const TemporaryModelFile noBusModel(noBus);
    EXPECT_EQ(murelCreateProcessor(noBusModel.c_str(), 2, 48000.0), nullptr);

    const char* twice[2] = {good, good};
    const Processor separator(murelCreateStemSeparator(2, twice, 2, 48000.0));
    EXPECT_NE(separator.get(), nullptr);
    const Processor single(murelCreateProcessor(good, 6, 44100.0));
    EXPECT_NE(single.get(), nullptr);
}

TEST(ProcessorInterface, NullHandlesAndBadBuffersAreHarmless)
{
    float sample = 0.5f;
    float* channel = &sample;
    float range[2] = {7.0f, 8.0f};
    murelDeleteProcessor(nullptr);
    murelAddAudio(nullptr, &channel, 1);
    murelAddAudioInterleaved(nullptr, &sample, 1);
    EXPECT_FALSE(murelGetAudio(nullptr, &channel, 0));
    EXPECT_FALSE(murelGetAudioInterleaved(nullptr, &sample, 0));
    EXPECT_EQ(murelGetNumOfPendingSamples(nullptr), 0);
    murelResetProcessorState(nullptr);
    MurelModelInfo info = sentinelInfo();
    murelGetProcessorInfo(nullptr, &info);
    EXPECT_EQ(info.latency, -1);
    EXPECT_EQ(murelGetParameterValue(nullptr, 256), 0.0f);
    murelSetParameterValue(nullptr, 256, 1.0f);
    EXPECT_EQ(murelGetNumOfOutputBusses(nullptr), 0);
    char name[4] = {'x', 'x', 'x', 'x'};
    murelGetOutputBusName(nullptr, 0, name, 4);
    EXPECT_EQ(std::string(name, 4), std::string(4, '\0'));
    murelGetOutputBusName(nullptr, 0, nullptr, 4);
    murelGetVectorArithmeticWrapperName(nullptr, 16);
    murelGetParameterRange(nullptr, 1, nullptr, &range[1]);
    EXPECT_EQ(range[1], 8.0f);

    const TemporaryModelFile model(identityModel(2, blocking, 0, 129));
    const Processor processor(murelCreateProcessor(model.c_str(), 2, 48000.0));
    ASSERT_NE(processor.get(), nullptr);
    std::vector<float> left(512, 0.25f), right(512, -0.25f);
    float* both[2] = {left.data(), right.data()};
    float* oneMissing[2] = {left.data(), nullptr};
    murelAddAudio(processor.get(), nullptr, 512);
    murelAddAudio(processor.get(), oneMissing, 512);
    murelAddAudio(processor.get(), both, -512);
    murelAddAudio(processor.get(), both, 0);
    murelAddAudioInterleaved(processor.get(), nullptr, 256);
    murelAddAudioInterleaved(processor.get(), left.data(), -1);
    EXPECT_EQ(murelGetNumOfPendingSamples(processor.get()), 0);
    murelGetProcessorInfo(processor.get(), nullptr);

    murelAddAudio(processor.get(), both, 512);
    const int pending = murelGetNumOfPendingSamples(processor.get());
    ASSERT_GT(pending, 0);
    EXPECT_FALSE(murelGetAudio(processor.get(), nullptr, 1));
    EXPECT_FALSE(murelGetAudio(processor.get(), oneMissing, 1));
    EXPECT_FALSE(murelGetAudio(processor.get(), both, -1));
    EXPECT_FALSE(murelGetAudioInterleaved(processor.get(), nullptr, 1));
    EXPECT_FALSE(murelGetAudioInterleaved(processor.get(), left.data(), -1));
    EXPECT_EQ(murelGetNumOfPendingSamples(processor.get()), pending);
}

// ---- Streaming ----

TEST(ProcessorInterface, PlanarAndInterleavedCallsShareOneStream)
{
    for (const int numOfChannels : {1, 2, 6})
    {
        // Spectra mode: the identity is exact up to the transforms' rounding.
        const TemporaryModelFile model(identityModel(numOfChannels, blocking, 1, 129));
        const Processor processor(murelCreateProcessor(model.c_str(), numOfChannels, 48000.0));
        ASSERT_NE(processor.get(), nullptr);
        MurelModelInfo info = sentinelInfo();
        murelGetProcessorInfo(processor.get(), &info);
        EXPECT_EQ(info.latency, 256);
        const Channels input = noise(numOfChannels, 9000, 17u);
        expectDelayedCopy(input, streamAsHost(processor.get(), input, {100, 7, 513, 1, 64}, info.latency), info.latency,
                          2e-5f);
    }
}

TEST(ProcessorInterface, PendingCountsAndExactTakes)
{
    const TemporaryModelFile model(identityModel(1, blocking, 0, 129));
    const Processor processor(murelCreateProcessor(model.c_str(), 1, 48000.0));
    ASSERT_NE(processor.get(), nullptr);
    float buffer[1024] = {};
    float* channel = buffer;

    // Nothing queued yet: 0 samples is still a successful take, 1 is not.
    EXPECT_EQ(murelGetNumOfPendingSamples(processor.get()), 0);
    EXPECT_TRUE(murelGetAudio(processor.get(), &channel, 0));
    EXPECT_TRUE(murelGetAudioInterleaved(processor.get(), buffer, 0));
    EXPECT_FALSE(murelGetAudio(processor.get(), &channel, 1));

    std::vector<float> block(300, 0.1f);
    float* input = block.data();
    murelAddAudio(processor.get(), &input, 300);
    murelAddAudio(processor.get(), &input, 300);
    // Square-root Hann, hop 128: with 128 samples of start-up silence, 600 samples make four
    // frames, and the last frame waits for its overlap partner: three hops.
    const int pending = murelGetNumOfPendingSamples(processor.get());
    EXPECT_EQ(pending, 384);
    buffer[pending] = 42.0f;
    EXPECT_FALSE(murelGetAudio(processor.get(), &channel, pending + 1));
    EXPECT_EQ(murelGetNumOfPendingSamples(processor.get()), pending);
    EXPECT_EQ(buffer[pending], 42.0f);
    EXPECT_TRUE(murelGetAudio(processor.get(), &channel, 200));
    EXPECT_TRUE(murelGetAudioInterleaved(processor.get(), buffer, pending - 200));
    EXPECT_EQ(murelGetNumOfPendingSamples(processor.get()), 0);
    EXPECT_EQ(buffer[pending], 42.0f);

    murelAddAudio(processor.get(), &input, 300);
    EXPECT_GT(murelGetNumOfPendingSamples(processor.get()), 0);
    murelResetProcessorState(processor.get());
    EXPECT_EQ(murelGetNumOfPendingSamples(processor.get()), 0);
    EXPECT_TRUE(murelGetAudio(processor.get(), &channel, 0));
}

TEST(ProcessorInterface, ResetGivesTheSameOutputAsAFreshHandle)
{
    mw::ModelDescription description = identityModel(2, blocking, 0, 129);
    description.layers = {scalingConv("delay", "input", 2, 0.8f, 0.02f, 1)};
    description.outputSource = "delay";
    const TemporaryModelFile model(description);
    const Channels input = noise(2, 6000, 23u);

    const Processor fresh(murelCreateProcessor(model.c_str(), 2, 48000.0));
    const Processor used(murelCreateProcessor(model.c_str(), 2, 48000.0));
    ASSERT_NE(fresh.get(), nullptr);
    ASSERT_NE(used.get(), nullptr);
    for (void* handle : {fresh.get(), used.get()})
    {
        murelSetParameterValue(handle, 1, -6.0f);
        murelSetParameterValue(handle, 2, 30.0f);
    }
    MurelModelInfo info = sentinelInfo();
    murelGetProcessorInfo(fresh.get(), &info);
    streamAsHost(used.get(), noise(2, 3333, 24u), {99}, info.latency);
    murelResetProcessorState(used.get());
    EXPECT_FLOAT_EQ(murelGetParameterValue(used.get(), 2), 30.0f);
    EXPECT_EQ(streamAsHost(used.get(), input, {99, 1000}, info.latency),
              streamAsHost(fresh.get(), input, {99, 1000}, info.latency));
}

TEST(ProcessorInterface, InfoDescribesTheFirstModelAndTheLatencyAtTheHostRate)
{
    mw::ModelDescription description = identityModel(2, blocking, 0, 129);
    description.layers = {scalingConv("delay", "input", 2, 1.0f, 0.0f, 3)};
    description.outputSource = "delay";
    const TemporaryModelFile model(description);
    const Processor processor(murelCreateProcessor(model.c_str(), 2, 96000.0));
    ASSERT_NE(processor.get(), nullptr);
    MurelModelInfo info = sentinelInfo();
    murelGetProcessorInfo(processor.get(), &info);
    EXPECT_EQ(info.sampleRate, 48000.0);
    EXPECT_EQ(info.numOfChannels, 2);
    // The frame runs at twice the model's sizes: hop 256; two hops of frame plus three of model.
    EXPECT_EQ(info.latency, 2 * 256 + 3 * 256);
    EXPECT_EQ(info.windowSize, 256);
    EXPECT_EQ(info.hopSize, 128);
    EXPECT_EQ(info.modelLatency, 1234);
}

// ---- Parameters and buses ----

TEST(ProcessorInterface, ParameterIdSpaceWithItsClamps)
{
    const TemporaryModelFile model(identityModel(1, blocking, 0, 129));
    const Processor handle(murelCreateProcessor(model.c_str(), 1, 48000.0));
    void* p = handle.get();
    ASSERT_NE(p, nullptr);

    EXPECT_EQ(murelGetParameterValue(p, 1), 0.0f);
    murelSetParameterValue(p, 256, 0.5f);
    murelSetParameterValue(p, 257, 0.5f);
    murelSetParameterValue(p, 1, 0.0f);
    EXPECT_EQ(murelGetParameterValue(p, 256), 1.0f);
    EXPECT_EQ(murelGetParameterValue(p, 257), 1.0f);
    EXPECT_EQ(murelGetParameterValue(p, 1), 0.0f);

    murelSetParameterValue(p, 1, -120.0f);
    EXPECT_NEAR(murelGetParameterValue(p, 257), 1e-6f, 1e-9f);
    EXPECT_NEAR(murelGetParameterValue(p, 1), -96.0f, 1e-4f);
    murelSetParameterValue(p, 1, -20.0f);
    EXPECT_NEAR(murelGetParameterValue(p, 257), 0.1f, 1e-6f);
    EXPECT_NEAR(murelGetParameterValue(p, 1), -20.0f, 1e-4f);
    murelSetParameterValue(p, 1, 6.0f);
    EXPECT_EQ(murelGetParameterValue(p, 257), 1.0f);
    EXPECT_EQ(murelGetParameterValue(p, 1), 0.0f);
    // A linear gain above unity reads as 0 dB.
    murelSetParameterValue(p, 257, 4.0f);
    EXPECT_EQ(murelGetParameterValue(p, 1), 0.0f);

    murelSetParameterValue(p, 2, 150.0f);
    EXPECT_EQ(murelGetParameterValue(p, 2), 100.0f);
    EXPECT_EQ(murelGetParameterValue(p, 512), 100.0f);
    murelSetParameterValue(p, 512 + 5, -150.0f);
    EXPECT_EQ(murelGetParameterValue(p, 512 + 5), -100.0f);

    EXPECT_EQ(murelGetParameterValue(p, 3), 0.0f);
    murelSetParameterValue(p, 3, 1.0f);
    EXPECT_EQ(murelGetParameterValue(p, 3), 0.0f);

    murelSetParameterValue(p, 256 + 3, 2.5f);
    EXPECT_EQ(murelGetParameterValue(p, 259), 2.5f);
    murelSetParameterValue(p, 256 + 3, -2.5f);
    EXPECT_EQ(murelGetParameterValue(p, 259), 0.0f);
    murelSetParameterValue(p, 256 + 20, 0.5f);
    EXPECT_EQ(murelGetParameterValue(p, 256 + 20), 0.0f);
    EXPECT_EQ(murelGetParameterValue(p, 512 + 20), 0.0f);

    for (const int id : {0, 4, 255, -1, -255, 768, -300, 1000, -512})
    {
        murelSetParameterValue(p, id, 0.25f);
        EXPECT_EQ(murelGetParameterValue(p, id), 0.0f) << id;
    }
}

TEST(ProcessorInterface, ParameterRanges)
{
    const struct
    {
        int id;
        float minimum;
        float maximum;
    } ranged[] = {{1, -96.0f, 0.0f},   {2, -100.0f, 100.0f},   {256, 0.0f, 100.0f},   {256 + 20, 0.0f, 100.0f},
                  {511, 0.0f, 100.0f}, {512, -100.0f, 100.0f}, {767, -100.0f, 100.0f}};
    for (const auto& r : ranged)
    {
        float minimum = 7.0f;
        float maximum = 8.0f;
        murelGetParameterRange(nullptr, r.id, &minimum, &maximum);
        EXPECT_EQ(minimum, r.minimum) << r.id;
        EXPECT_EQ(maximum, r.maximum) << r.id;
    }
    for (const int id : {0, 3, 4, 255, 768, -300, -1})
    {
        float minimum = 7.0f;
        float maximum = 8.0f;
        murelGetParameterRange(nullptr, id, &minimum, &maximum);
        EXPECT_EQ(minimum, 7.0f) << id;
        EXPECT_EQ(maximum, 8.0f) << id;
    }
}

TEST(ProcessorInterface, BusNamesAreCopiedWithoutATerminatorWhenTheyFillTheBuffer)
{
    const TemporaryModelFile model(identityModel(1, blocking, 0, 129));
    const Processor processor(murelCreateProcessor(model.c_str(), 1, 48000.0));
    ASSERT_NE(processor.get(), nullptr);
    EXPECT_EQ(murelGetNumOfOutputBusses(processor.get()), 2);

    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    murelGetOutputBusName(processor.get(), 1, buffer, 4);
    EXPECT_EQ(std::string(buffer, 5), "Resi#");
    std::memset(buffer, '#', sizeof buffer);
    murelGetOutputBusName(processor.get(), 1, buffer, 8);
    EXPECT_EQ(std::string(buffer, 9), "Residual#");
    std::memset(buffer, '#', sizeof buffer);
    murelGetOutputBusName(processor.get(), 1, buffer, 9);
    EXPECT_EQ(std::string(buffer, 10), std::string("Residual\0#", 10));
    std::memset(buffer, '#', sizeof buffer);
    murelGetOutputBusName(processor.get(), 0, buffer, 12);
    EXPECT_EQ(std::string(buffer, 13), std::string("Processed\0\0\0#", 13));
    for (const int index : {-1, 2, 100})
    {
        std::memset(buffer, '#', sizeof buffer);
        murelGetOutputBusName(processor.get(), index, buffer, 6);
        EXPECT_EQ(std::string(buffer, 7), std::string("\0\0\0\0\0\0#", 7)) << index;
    }
    std::memset(buffer, '#', sizeof buffer);
    murelGetOutputBusName(processor.get(), 0, buffer, 0);
    murelGetOutputBusName(processor.get(), 0, buffer, -5);
    EXPECT_EQ(buffer[0], '#');

    std::memset(buffer, '#', sizeof buffer);
    murelGetVectorArithmeticWrapperName(buffer, 16);
    EXPECT_EQ(std::string(buffer, 16), std::string("ARM NEON\0\0\0\0\0\0\0\0", 16));
    std::memset(buffer, '#', sizeof buffer);
    murelGetVectorArithmeticWrapperName(buffer, 3);
    EXPECT_EQ(std::string(buffer, 4), "ARM#");
}

TEST(ProcessorInterface, StemSeparatorNamesEachModelsBussesAndOneResidual)
{
    mw::ModelDescription voice = identityModel(2, blocking, 0, 129);
    voice.header.outputNames = {"Voice", "Accompaniment"};
    mw::ModelDescription drums = identityModel(2, blocking, 0, 129);
    drums.header.numOutputs = 2;
    drums.header.outputNames = {"Kick", "Snare", "Other"};
    const TemporaryModelFile first(voice);
    const TemporaryModelFile second(drums);
    const char* paths[2] = {first.c_str(), second.c_str()};
    const Processor processor(murelCreateStemSeparator(2, paths, 2, 48000.0));
    ASSERT_NE(processor.get(), nullptr);
    ASSERT_EQ(murelGetNumOfOutputBusses(processor.get()), 4);
    const char* expected[4] = {"Voice", "Kick", "Snare", "Accompaniment"};
    for (int b = 0; b < 4; ++b)
    {
        char name[32];
        murelGetOutputBusName(processor.get(), b, name, 32);
        EXPECT_STREQ(name, expected[b]);
    }
}

TEST(ProcessorInterface, ParametersChangeFromAnotherThreadWhileAudioRuns)
{
    // Run under ThreadSanitizer: only the parameter functions cross threads.
    const TemporaryModelFile first(identityModel(2, blocking, 0, 129));
    const TemporaryModelFile second(
        constantMaskModel(2, blocking, std::vector<std::complex<float>>(129, {0.5f, 0.0f})));
    const char* paths[2] = {first.c_str(), second.c_str()};
    const Processor processor(murelCreateStemSeparator(2, paths, 2, 48000.0));
    ASSERT_NE(processor.get(), nullptr);
    void* handle = processor.get();
    std::atomic<bool> running{true};
    std::thread controller(
        [&]()
        {
            float value = -100.0f;
            while (running.load())
            {
                murelSetParameterValue(handle, 1, value * 0.5f);
                murelSetParameterValue(handle, 2, value);
                murelSetParameterValue(handle, 256 + 2, (value + 100.0f) / 200.0f);
                murelSetParameterValue(handle, 512 + 2, -value);
                (void)murelGetParameterValue(handle, 1);
                (void)murelGetParameterValue(handle, 3);
                value = value >= 100.0f ? -100.0f : value + 1.0f;
                std::this_thread::yield();
            }
        });
    MurelModelInfo info = sentinelInfo();
    murelGetProcessorInfo(handle, &info);
    const Channels output = streamAsHost(handle, noise(2, 24000, 61u), {128, 77}, info.latency);
    running.store(false);
    controller.join();
    for (const auto& channel : output)
        for (const float sample : channel)
            ASSERT_TRUE(std::isfinite(sample));
}
