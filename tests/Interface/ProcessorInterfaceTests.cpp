#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <utility>
#include <vector>

#include "Interface/MurelEngine.h"
#include "Processor/ProcessorTestSupport.h"
#include "TestSupport.h"

using namespace murel::test;

namespace
{

const ModelBlocking blocking{256, 256, 128, 48000.0};

/** Streams input through the handle as a real-time host: blocks of the given sizes (cycled),
    alternately planar and interleaved, and as many samples back per block once the latency has
    passed (silence before), planar or interleaved. */
Channels streamAsHost(void* processor, Channels input, const std::vector<int>& blockSizes, int latency)
{
    const std::size_t numOfChannels = input.size();
    const std::size_t length = input[0].size();
    Channels output(numOfChannels, std::vector<float>(length, 0.0f));
    std::size_t position = 0;
    for (std::size_t i = 0; position < length; ++i)
    {
        const std::size_t count =
            std::min(static_cast<std::size_t>(blockSizes[i % blockSizes.size()]), length - position);
        std::vector<float> frames(count * numOfChannels);
        for (std::size_t n = 0; n < count; ++n)
            for (std::size_t c = 0; c < numOfChannels; ++c)
                frames[n * numOfChannels + c] = input[c][position + n];
        if (i % 2 == 0)
            murelAddAudio(processor, pointers(input, position).data(), static_cast<int>(count));
        else
            murelAddAudioInterleaved(processor, frames.data(), static_cast<int>(count));

        // The host's output is silent while the latency lasts, then the processor's.
        const std::size_t from = std::max(position, static_cast<std::size_t>(latency));
        position += count;
        if (from >= position)
            continue;
        const int wanted = static_cast<int>(position - from);
        if (murelGetNumOfPendingSamples(processor) < wanted)
        {
            ADD_FAILURE() << "after " << position << " samples only " << murelGetNumOfPendingSamples(processor)
                          << " of " << wanted << " were pending";
            return output;
        }
        if (i % 3 != 0)
        {
            EXPECT_TRUE(murelGetAudio(processor, pointers(output, from).data(), wanted));
            continue;
        }
        EXPECT_TRUE(murelGetAudioInterleaved(processor, frames.data(), wanted));
        for (std::size_t n = 0; n < static_cast<std::size_t>(wanted); ++n)
            for (std::size_t c = 0; c < numOfChannels; ++c)
                output[c][from + n] = frames[n * numOfChannels + c];
    }
    return output;
}

/** Info with values that show which fields a call wrote. */
MurelModelInfo sentinelInfo()
{
    return MurelModelInfo{-1.0, -1, -1, -1, -1, 1234};
}

int latencyOf(void* processor)
{
    MurelModelInfo info = sentinelInfo();
    murelGetProcessorInfo(processor, &info);
    return info.latency;
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
    // Files that are no model, models that disagree or yield no bus: see
    // EachCreateFailureSaysWhyAndASuccessClearsTheReason.
    EXPECT_NE(createSeparator({good, good}, 2), nullptr);
    EXPECT_NE(create(good, 6, 44100.0), nullptr);
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
    EXPECT_EQ(latencyOf(nullptr), -1);
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
    const Processor processor = create(model.c_str(), 2);
    void* p = processor.get();
    ASSERT_NE(p, nullptr);
    std::vector<float> left(512, 0.25f), right(512, -0.25f);
    float* both[2] = {left.data(), right.data()};
    float* oneMissing[2] = {left.data(), nullptr};
    murelAddAudio(p, nullptr, 512);
    murelAddAudio(p, oneMissing, 512);
    murelAddAudio(p, both, -512);
    murelAddAudio(p, both, 0);
    murelAddAudioInterleaved(p, nullptr, 256);
    murelAddAudioInterleaved(p, left.data(), -1);
    EXPECT_EQ(murelGetNumOfPendingSamples(p), 0);
    murelGetProcessorInfo(p, nullptr);

    murelAddAudio(p, both, 512);
    const int pending = murelGetNumOfPendingSamples(p);
    ASSERT_GT(pending, 0);
    EXPECT_FALSE(murelGetAudio(p, nullptr, 1));
    EXPECT_FALSE(murelGetAudio(p, oneMissing, 1));
    EXPECT_FALSE(murelGetAudio(p, both, -1));
    EXPECT_FALSE(murelGetAudioInterleaved(p, nullptr, 1));
    EXPECT_FALSE(murelGetAudioInterleaved(p, left.data(), -1));
    EXPECT_EQ(murelGetNumOfPendingSamples(p), pending);
}

// ---- Streaming ----

TEST(ProcessorInterface, PlanarAndInterleavedCallsShareOneStream)
{
    for (const int numOfChannels : {1, 2, 6})
    {
        SCOPED_TRACE(numOfChannels);
        // Spectra mode: the identity is exact up to the transforms' rounding.
        const TemporaryModelFile model(identityModel(numOfChannels, blocking, 1, 129));
        const Processor processor = create(model.c_str(), numOfChannels);
        ASSERT_NE(processor.get(), nullptr);
        const int latency = latencyOf(processor.get());
        EXPECT_EQ(latency, 256);
        const Channels input = noise(numOfChannels, 9000, 17u);
        expectDelayedCopy(input, streamAsHost(processor.get(), input, {100, 7, 513, 1, 64}, latency), latency);
    }
}

TEST(ProcessorInterface, PendingCountsAndExactTakes)
{
    const TemporaryModelFile model(identityModel(1, blocking, 0, 129));
    const Processor processor = create(model.c_str(), 1);
    void* p = processor.get();
    ASSERT_NE(p, nullptr);
    float buffer[1024] = {};
    float* channel = buffer;

    // Nothing queued yet: 0 samples is still a successful take, 1 is not.
    EXPECT_EQ(murelGetNumOfPendingSamples(p), 0);
    EXPECT_TRUE(murelGetAudio(p, &channel, 0));
    EXPECT_TRUE(murelGetAudioInterleaved(p, buffer, 0));
    EXPECT_FALSE(murelGetAudio(p, &channel, 1));

    std::vector<float> block(300, 0.1f);
    float* input = block.data();
    murelAddAudio(p, &input, 300);
    murelAddAudio(p, &input, 300);
    // Square-root Hann, hop 128: with 128 samples of start-up silence, 600 samples make four
    // frames, and the last frame waits for its overlap partner: three hops.
    const int pending = murelGetNumOfPendingSamples(p);
    EXPECT_EQ(pending, 384);
    buffer[pending] = 42.0f;
    EXPECT_FALSE(murelGetAudio(p, &channel, pending + 1));
    EXPECT_EQ(murelGetNumOfPendingSamples(p), pending);
    EXPECT_EQ(buffer[pending], 42.0f);
    EXPECT_TRUE(murelGetAudio(p, &channel, 200));
    EXPECT_TRUE(murelGetAudioInterleaved(p, buffer, pending - 200));
    EXPECT_EQ(murelGetNumOfPendingSamples(p), 0);
    EXPECT_EQ(buffer[pending], 42.0f);

    murelAddAudio(p, &input, 300);
    EXPECT_GT(murelGetNumOfPendingSamples(p), 0);
    murelResetProcessorState(p);
    EXPECT_EQ(murelGetNumOfPendingSamples(p), 0);
    EXPECT_TRUE(murelGetAudio(p, &channel, 0));
}

TEST(ProcessorInterface, ResetGivesTheSameOutputAsAFreshHandle)
{
    const TemporaryModelFile model(scalingModel(2, blocking, 0, 129, 0.8f, 0.02f, 1));
    const Processor fresh = create(model.c_str(), 2);
    const Processor used = create(model.c_str(), 2);
    ASSERT_NE(fresh.get(), nullptr);
    ASSERT_NE(used.get(), nullptr);
    for (void* handle : {fresh.get(), used.get()})
    {
        murelSetParameterValue(handle, 1, -6.0f);
        murelSetParameterValue(handle, 2, 30.0f);
    }
    const int latency = latencyOf(fresh.get());
    streamAsHost(used.get(), noise(2, 3333, 24u), {99}, latency);
    murelResetProcessorState(used.get());
    EXPECT_FLOAT_EQ(murelGetParameterValue(used.get(), 2), 30.0f);
    const Channels input = noise(2, 6000, 23u);
    EXPECT_EQ(streamAsHost(used.get(), input, {99, 1000}, latency),
              streamAsHost(fresh.get(), input, {99, 1000}, latency));
}

TEST(ProcessorInterface, InfoDescribesTheFirstModelAndTheLatencyAtTheHostRate)
{
    const TemporaryModelFile model(scalingModel(2, blocking, 0, 129, 1.0f, 0.0f, 3));
    const Processor processor = create(model.c_str(), 2, 96000.0);
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
    const Processor processor = create(model.c_str(), 1);
    void* p = processor.get();
    ASSERT_NE(p, nullptr);
    const auto setAndGet = [p](int id, float value, int readId)
    {
        murelSetParameterValue(p, id, value);
        return murelGetParameterValue(p, readId);
    };

    // Defaults: every gain 1, every sensitivity 0, the residual level 0 dB.
    EXPECT_EQ(murelGetParameterValue(p, 1), 0.0f);
    EXPECT_EQ(murelGetParameterValue(p, 256 + 15), 1.0f);
    EXPECT_EQ(murelGetParameterValue(p, 512 + 15), 0.0f);

    // Id 1 is the residual level in dB, -96 to 0; it puts bus 0 back at unity.
    murelSetParameterValue(p, 256, 0.5f);
    EXPECT_EQ(setAndGet(1, 0.0f, 256), 1.0f);
    EXPECT_EQ(murelGetParameterValue(p, 257), 1.0f);
    EXPECT_NEAR(setAndGet(1, -120.0f, 257), 1e-6f, 1e-9f);
    EXPECT_NEAR(murelGetParameterValue(p, 1), -96.0f, 1e-4f);
    EXPECT_NEAR(setAndGet(1, -20.0f, 257), 0.1f, 1e-6f);
    EXPECT_NEAR(murelGetParameterValue(p, 1), -20.0f, 1e-4f);
    EXPECT_EQ(setAndGet(1, 6.0f, 257), 1.0f);
    EXPECT_EQ(murelGetParameterValue(p, 1), 0.0f);
    EXPECT_EQ(setAndGet(257, 4.0f, 1), 0.0f); // a linear gain above unity reads as 0 dB

    // Id 2 is bus 0's sensitivity, 512 + b bus b's, clamped to +-100; id 3 is read-only 0.
    EXPECT_EQ(setAndGet(2, 150.0f, 2), 100.0f);
    EXPECT_EQ(murelGetParameterValue(p, 512), 100.0f);
    EXPECT_EQ(setAndGet(512 + 5, -150.0f, 512 + 5), -100.0f);
    EXPECT_EQ(setAndGet(3, 1.0f, 3), 0.0f);

    // 256 + b is bus b's linear gain, at least 0, for the sixteen buses that hold values.
    EXPECT_EQ(setAndGet(256 + 15, 2.5f, 256 + 15), 2.5f);
    EXPECT_EQ(setAndGet(256 + 15, std::nanf(""), 256 + 15), 2.5f);
    EXPECT_EQ(setAndGet(256 + 15, -2.5f, 256 + 15), 0.0f);
    EXPECT_EQ(setAndGet(256 + 16, 0.5f, 256 + 16), 0.0f);
    EXPECT_EQ(setAndGet(512 + 16, 50.0f, 512 + 16), 0.0f);
    for (const int id : {0, 4, 255, -1, -255, 768, -300, 1000, -512})
        EXPECT_EQ(setAndGet(id, 0.25f, id), 0.0f) << id;
}

TEST(ProcessorInterface, ParameterRanges)
{
    using Range = std::pair<float, float>;
    const auto range = [](int id)
    {
        Range result{7.0f, 8.0f};
        murelGetParameterRange(nullptr, id, &result.first, &result.second);
        return result;
    };
    EXPECT_EQ(range(1), Range(-96.0f, 0.0f));
    for (const int id : {2, 512, 767})
        EXPECT_EQ(range(id), Range(-100.0f, 100.0f)) << id;
    for (const int id : {256, 256 + 20, 511})
        EXPECT_EQ(range(id), Range(0.0f, 100.0f)) << id;
    // No range: the outputs stay as they were.
    for (const int id : {0, 3, 4, 255, 768, -300, -1})
        EXPECT_EQ(range(id), Range(7.0f, 8.0f)) << id;
}

TEST(ProcessorInterface, BusNamesAreCopiedWithoutATerminatorWhenTheyFillTheBuffer)
{
    const TemporaryModelFile model(identityModel(1, blocking, 0, 129));
    const Processor processor = create(model.c_str(), 1);
    ASSERT_NE(processor.get(), nullptr);
    EXPECT_EQ(murelGetNumOfOutputBusses(processor.get()), 2);
    const std::string none("\0\0\0\0\0\0#", 7);
    const struct
    {
        int index;
        int size;
        std::string expected; // the buffer, up to the first byte that must stay untouched
    } cases[] = {{1, 4, "Resi#"},
                 {1, 8, "Residual#"},
                 {1, 9, std::string("Residual\0#", 10)},
                 {0, 12, std::string("Processed\0\0\0#", 13)},
                 {-1, 6, none},
                 {2, 6, none},
                 {100, 6, none},
                 {0, 0, "#"},
                 {0, -5, "#"}};
    for (const auto& c : cases)
    {
        char buffer[16];
        std::memset(buffer, '#', sizeof buffer);
        murelGetOutputBusName(processor.get(), c.index, buffer, c.size);
        EXPECT_EQ(std::string(buffer, c.expected.size()), c.expected) << c.index << " " << c.size;
    }

    char buffer[16];
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
    const Processor processor = createSeparator({first.c_str(), second.c_str()}, 2);
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
    const Processor processor = createSeparator({first.c_str(), second.c_str()}, 2);
    void* handle = processor.get();
    ASSERT_NE(handle, nullptr);
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
    const Channels output = streamAsHost(handle, noise(2, 24000, 61u), {128, 77}, latencyOf(handle));
    running.store(false);
    controller.join();
    for (const auto& channel : output)
        for (const float sample : channel)
            ASSERT_TRUE(std::isfinite(sample));
}

// ---- Reasons, the fixed-latency call, version ----

TEST(ProcessorInterface, EachCreateFailureSaysWhyAndASuccessClearsTheReason)
{
    const TemporaryModelFile good(identityModel(2, blocking, 0, 129));
    ModelBlocking otherHop = blocking;
    otherHop.hop = 64;
    const TemporaryModelFile hopModel(identityModel(2, otherHop, 0, 129));
    mw::ModelDescription future = identityModel(2, blocking, 0, 129);
    future.header.version = 4200;
    const TemporaryModelFile futureModel(future);
    mw::ModelDescription noBus = identityModel(2, blocking, 0, 129);
    noBus.header.numOutputs = 0;
    noBus.header.outputNames = {"Residual"};
    const TemporaryModelFile noBusModel(noBus);
    mw::ModelDescription noBins = identityModel(2, blocking, 0, 129);
    noBins.header.inputPacking = mw::Packing::plain(murel::PackingCode::realAndImaginary, 0);
    const TemporaryModelFile noBinsModel(noBins);
    std::vector<std::uint8_t> bytes = mw::writeModel(scalingModel(2, blocking, 0, 129, 1.0f));
    bytes.resize(bytes.size() - 40);
    const std::string truncated = ::testing::TempDir() + "murel-truncated.model";
    std::ofstream(truncated, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    const std::string garbage = ::testing::TempDir() + "murel-garbage.model";
    std::ofstream(garbage) << "no model in here";
    const std::string fifo = ::testing::TempDir() + "murel-fifo.model";
    std::remove(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    const struct
    {
        std::vector<std::string> paths;
        int numOfChannels;
        double rate;
        std::string reason;
    } cases[] = {
        {{"/nonexistent/model.model"}, 2, 48000.0, "No such file"},
        {{::testing::TempDir()}, 2, 48000.0, "it is a folder"},
        {{fifo}, 2, 48000.0, "not a regular file"},
        {{garbage}, 2, 48000.0, "not a model file"},
        {{futureModel.path}, 2, 48000.0, "version 4200"},
        {{truncated}, 2, 48000.0, "layer 1 'scale' (Conv): the file ends inside tensor 'weights'"},
        {{noBinsModel.path}, 2, 48000.0, "no bins"},
        {{noBusModel.path}, 2, 48000.0, "no output bus"},
        {{good.path, hopModel.path}, 2, 48000.0, "cannot run with model '" + good.path + "'"},
        {{good.path}, 0, 48000.0, "channel count"},
        {{good.path}, 2, -1.0, "sample rate"},
        {{good.path}, 2, 1.0, "cannot run 2 channels at 1 Hz"},
    };
    for (const auto& entry : cases)
    {
        std::vector<const char*> paths;
        for (const std::string& path : entry.paths)
            paths.push_back(path.c_str());
        EXPECT_EQ(createSeparator(paths, entry.numOfChannels, entry.rate), nullptr);
        EXPECT_NE(std::string(murelGetLastErrorMessage()).find(entry.reason), std::string::npos)
            << murelGetLastErrorMessage() << " / " << entry.reason;
        if (paths.size() == 1)
        {
            EXPECT_EQ(create(paths[0], entry.numOfChannels, entry.rate), nullptr);
            EXPECT_NE(std::string(murelGetLastErrorMessage()).find(entry.reason), std::string::npos);
        }
        EXPECT_NE(create(good.c_str(), 2).get(), nullptr);
        EXPECT_STREQ(murelGetLastErrorMessage(), "");
    }
    // The model functions give the same reasons; the text belongs to the failing thread.
    EXPECT_EQ(murelCreateModel(truncated.c_str()), nullptr);
    EXPECT_NE(std::string(murelGetLastErrorMessage()).find("the file ends"), std::string::npos);
    std::string otherThread = "not run";
    std::thread([&] { otherThread = murelGetLastErrorMessage(); }).join();
    EXPECT_EQ(otherThread, "");
    void* model = murelCreateModel(good.c_str());
    EXPECT_STREQ(murelGetLastErrorMessage(), "");
    murelDeleteModel(model);
    for (const std::string& path : {truncated, garbage, fifo})
        std::remove(path.c_str());
}

/** Runs input through murelProcessAudio (or its interleaved form) in blocks of the given sizes,
    cycled. */
Channels streamWithFixedLatency(void* processor, const Channels& input, const std::vector<int>& blockSizes,
                                bool interleaved)
{
    const std::size_t numOfChannels = input.size();
    const std::size_t length = input[0].size();
    Channels output(numOfChannels, std::vector<float>(length, 0.0f));
    std::vector<float> frames;
    for (std::size_t i = 0, position = 0; position < length; ++i)
    {
        const std::size_t count =
            std::min(static_cast<std::size_t>(blockSizes[i % blockSizes.size()]), length - position);
        if (!interleaved)
        {
            EXPECT_TRUE(murelProcessAudio(processor, pointers(input, position).data(),
                                          pointers(output, position).data(), static_cast<int>(count)));
        }
        else
        {
            // In place, as a plug-in with one buffer does it.
            frames.resize(count * numOfChannels);
            for (std::size_t n = 0; n < count; ++n)
                for (std::size_t c = 0; c < numOfChannels; ++c)
                    frames[n * numOfChannels + c] = input[c][position + n];
            EXPECT_TRUE(murelProcessAudioInterleaved(processor, frames.data(), frames.data(), static_cast<int>(count)));
            for (std::size_t n = 0; n < count; ++n)
                for (std::size_t c = 0; c < numOfChannels; ++c)
                    output[c][position + n] = frames[n * numOfChannels + c];
        }
        position += count;
    }
    return output;
}

TEST(ProcessorInterface, FixedLatencyCallDelaysByExactlyTheReportedLatencyAtAnyBlockSizes)
{
    // A model with three frames of latency of its own and the identity, each at host rates below,
    // at and above the model's.
    const TemporaryModelFile delayed(scalingModel(2, blocking, 0, generousNumOfBins(blocking), 1.0f, 0.0f, 3));
    const TemporaryModelFile identity(identityModel(2, blocking, 0, generousNumOfBins(blocking)));
    const std::vector<std::vector<int>> blockSequences = {{1},   {64},   {100},        {128},
                                                          {512}, {4096}, {480, 17, 1}, {1, 4096, 3, 255, 128, 129}};
    const Channels input = noise(2, 9000, 5u);
    for (const TemporaryModelFile* model : {&delayed, &identity})
        for (const double rate : {24000.0, 48000.0, 96000.0})
            for (std::size_t s = 0; s < blockSequences.size(); ++s)
            {
                SCOPED_TRACE(std::string(model->c_str()) + " at " + std::to_string(rate) + " Hz, sequence " +
                             std::to_string(s));
                const Processor processor = create(model->c_str(), 2, rate);
                ASSERT_NE(processor.get(), nullptr);
                const int latency = latencyOf(processor.get());
                const bool interleaved = s % 2 == 1;
                expectDelayedCopy(input, streamWithFixedLatency(processor.get(), input, blockSequences[s], interleaved),
                                  latency);
                // After a reset the delay starts over.
                murelResetProcessorState(processor.get());
                expectDelayedCopy(input, streamWithFixedLatency(processor.get(), input, {333}, !interleaved), latency);
            }

    float sample = 0.0f;
    float* channels[2] = {&sample, &sample};
    EXPECT_FALSE(murelProcessAudio(nullptr, channels, channels, 1));
    const Processor processor = create(identity.c_str(), 2);
    EXPECT_FALSE(murelProcessAudio(processor.get(), nullptr, channels, 1));
    EXPECT_FALSE(murelProcessAudio(processor.get(), channels, channels, 0));
    EXPECT_FALSE(murelProcessAudioInterleaved(processor.get(), &sample, nullptr, 1));
}

TEST(ProcessorInterface, InfiniteParameterValuesAreIgnoredLikeNaN)
{
    const TemporaryModelFile model(identityModel(2, blocking, 0, 129));
    const Processor processor = create(model.c_str(), 2);
    murelSetParameterValue(processor.get(), MUREL_PARAMETER_BUS_GAIN(0), 0.5f);
    murelSetParameterValue(processor.get(), MUREL_PARAMETER_BUS_SENSITIVITY(1), 20.0f);
    for (const float value : {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::quiet_NaN()})
        for (const int id : {MUREL_PARAMETER_BUS1_LEVEL, MUREL_PARAMETER_BUS0_SENSITIVITY, MUREL_PARAMETER_BUS_GAIN(0),
                             MUREL_PARAMETER_BUS_SENSITIVITY(1)})
            murelSetParameterValue(processor.get(), id, value);
    EXPECT_EQ(murelGetParameterValue(processor.get(), 256), 0.5f);
    EXPECT_EQ(murelGetParameterValue(processor.get(), 513), 20.0f);
    EXPECT_EQ(murelGetParameterValue(processor.get(), 2), 0.0f);
}

TEST(ProcessorInterface, VersionOfTheHeaderAndTheLibraryAgree)
{
    const std::string expected = std::to_string(MUREL_VERSION_MAJOR) + "." + std::to_string(MUREL_VERSION_MINOR) + "." +
                                 std::to_string(MUREL_VERSION_PATCH);
    EXPECT_EQ(expected, MUREL_VERSION_STRING);
    EXPECT_STREQ(murelGetVersionString(), MUREL_VERSION_STRING);
}
