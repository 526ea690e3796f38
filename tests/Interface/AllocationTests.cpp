// The audio and tensor functions must not touch the heap once the first frames have passed:
// this program replaces malloc and its relatives (operator new ends there too) with counting
// ones, which every thread of the process, the library's workers included, goes through.

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <vector>

#include "Interface/MurelEngine.h"
#include "Neural/ModelTestSupport.h"
#include "Processor/ProcessorTestSupport.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MUREL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define MUREL_SANITIZED 1
#endif
#endif

namespace
{

std::atomic<bool> counting{false};
std::atomic<long> numOfAllocations{0};

} // namespace

#ifndef MUREL_SANITIZED
namespace
{

void count()
{
    if (counting.load(std::memory_order_relaxed))
        numOfAllocations.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

// glibc's own entry points, which the replacements forward to.
extern "C"
{
    void* __libc_malloc(std::size_t size);
    void* __libc_calloc(std::size_t count, std::size_t size);
    void* __libc_realloc(void* pointer, std::size_t size);
    void* __libc_memalign(std::size_t alignment, std::size_t size);

    void* malloc(std::size_t size)
    {
        count();
        return __libc_malloc(size);
    }
    void* calloc(std::size_t numOfElements, std::size_t size)
    {
        count();
        return __libc_calloc(numOfElements, size);
    }
    void* realloc(void* pointer, std::size_t size)
    {
        count();
        return __libc_realloc(pointer, size);
    }
    void* memalign(std::size_t alignment, std::size_t size)
    {
        count();
        return __libc_memalign(alignment, size);
    }
    void* aligned_alloc(std::size_t alignment, std::size_t size)
    {
        count();
        return __libc_memalign(alignment, size);
    }
    int posix_memalign(void** pointer, std::size_t alignment, std::size_t size)
    {
        count();
        *pointer = __libc_memalign(alignment, size);
        return *pointer != nullptr ? 0 : 12; // ENOMEM
    }
}
#endif

using namespace murel::test;

namespace
{

constexpr int numOfBins = 64;
constexpr int numOfChannels = 2;

mw::TensorRecord values(std::vector<int> shape, std::uint32_t seed)
{
    return randomRecord(std::move(shape), seed, 0.3f);
}

/** The heap calls that work makes. */
template <typename Work>
long countAllocations(Work&& work)
{
    numOfAllocations.store(0);
    counting.store(true);
    work();
    counting.store(false);
    return numOfAllocations.load();
}

/** 64 bands that map the 6 hidden values of the recurrent layers onto the bins. */
std::vector<mw::FrequencyBand> spread(std::uint32_t seed)
{
    std::vector<mw::FrequencyBand> bands;
    for (int m = 0; m < numOfBins; ++m)
        bands.push_back({0, values({6}, seed + static_cast<std::uint32_t>(m))});
    return bands;
}

/** A small encoder/decoder with most layer types on the way: strided convolutions (one in
    time), normalisation, attention with a delay, dense, transposed convolutions (one in time,
    so that frames wait in its queue), a skip concatenation, a separable filter, an arithmetic
    sum and a sigmoid mask; and a stacked GRU and LSTM over the first stage, whose output rows
    are spread back over the bins and join the mask. */
mw::ModelDescription everyLayerModel(std::uint32_t seed)
{
    mw::ModelDescription m = identityModel(numOfChannels, ModelBlocking{256, 256, 128, 48000.0}, 0, numOfBins);
    const int columns = 2 * numOfChannels;
    mw::ConvLayerRecord e1{"input", values({2, 3, columns, 8}, seed), values({8}, seed + 1)};
    e1.frequencyStride = 2; // 32 rows
    mw::ConvLayerRecord e2{"a1", values({2, 3, 8, 8}, seed + 2), values({8}, seed + 3)};
    e2.frequencyStride = 2; // 16 rows, every other frame
    e2.timeStride = 2;
    mw::SelfAttentionLayerRecord attention{"e2", values({8, 8}, seed + 4), values({16 * 8}, seed + 5), 1,
                                           values({2, 8}, seed + 6)};
    mw::TransposedConvLayerRecord d2{"dense", values({2, 4, 8, 8}, seed + 7), values({8}, seed + 8), 8};
    d2.frequencyStride = 2; // 32 rows, two frames per frame
    d2.timeStride = 2;
    mw::TransposedConvLayerRecord d1{"skip", values({1, 4, 8, 16}, seed + 9), values({8}, seed + 10), 8};
    d1.frequencyStride = 2; // 64 rows
    m.layers = {
        {"e1", e1},
        {"n1", mw::NormLayerRecord{"e1", 0, values({8}, seed + 11), values({8}, seed + 12)}},
        {"a1", mw::ActivationLayerRecord{murel::LayerType::relu, "n1"}},
        {"e2", e2},
        {"attention", attention},
        {"dense", mw::DenseLayerRecord{"attention", values({16, 16, 8}, seed + 13), values({16 * 8}, seed + 14)}},
        {"d2", d2},
        {"skip", mw::ConcatLayerRecord{{"d2", "a1"}}},
        {"d1", d1},
        {"a2", mw::LeakyReLULayerRecord{"d1", 0.1f}},
        {"filter", mw::SeparableChannelConvLayerRecord{"a2", values({3}, seed + 15), values({3}, seed + 16)}},
        {"sum", mw::ArithmeticLayerRecord{{"filter", "a2"}, 0}},
        {"gru", mw::RecurrentLayerRecord{murel::LayerType::gru,
                                         "a1",
                                         values({3 * 11, 32 * 8}, seed + 19),
                                         values({3 * 11, 11}, seed + 20),
                                         values({3 * 11}, seed + 21),
                                         {}}},
        {"lstm", mw::RecurrentLayerRecord{murel::LayerType::lstm,
                                          "gru",
                                          values({4 * 6, 11}, seed + 22),
                                          values({4 * 6, 6}, seed + 23),
                                          {},
                                          values({4 * 6}, seed + 24)}},
        {"bands", mw::FrequencyRescaleLayerRecord{"lstm", spread(seed + 25)}},
        {"spread", mw::ConvLayerRecord{"bands", values({1, 1, 1, columns}, seed + 26), {}}},
        {"out", mw::ConvLayerRecord{"sum", values({1, 1, 8, columns}, seed + 17), values({columns}, seed + 18)}},
        {"sum2", mw::ArithmeticLayerRecord{{"spread", "out"}, 2}},
        {"mask", mw::ActivationLayerRecord{murel::LayerType::sigmoid, "sum2"}},
    };
    m.outputSource = "mask";
    return m;
}

/** Odd host blocks, cycled. */
const std::vector<int> blockSizes = {1, 17, 100, 441, 480, 7, 64, 33, 3, 250};

/** The ways a host streams audio: add then get, or the fixed-latency call; planar or interleaved. */
enum class Calls
{
    addAndGet,
    addAndGetInterleaved,
    process,
    processInterleaved,
};

long countWhileStreaming(void* processor, Calls calls, int numOfWarmUpCalls, int numOfCountedCalls)
{
    const int longest = 480;
    Channels channels = noise(numOfChannels, longest, 7u);
    std::vector<float> frames = noise(1, longest * numOfChannels, 8u)[0];
    std::vector<float*> rows;
    for (auto& channel : channels)
        rows.push_back(channel.data());

    const auto run = [&](int numOfCalls)
    {
        for (int i = 0; i < numOfCalls; ++i)
        {
            const int n = blockSizes[static_cast<std::size_t>(i) % blockSizes.size()];
            switch (calls)
            {
            case Calls::addAndGet:
                murelAddAudio(processor, rows.data(), n);
                murelGetAudio(processor, rows.data(), n);
                break;
            case Calls::addAndGetInterleaved:
                murelAddAudioInterleaved(processor, frames.data(), n);
                murelGetAudioInterleaved(processor, frames.data(), n);
                break;
            case Calls::process:
                murelProcessAudio(processor, rows.data(), rows.data(), n);
                break;
            case Calls::processInterleaved:
                murelProcessAudioInterleaved(processor, frames.data(), frames.data(), n);
                break;
            }
            murelSetParameterValue(processor, 512, static_cast<float>(i % 3) * 20.0f - 20.0f);
        }
    };
    run(numOfWarmUpCalls);
    return countAllocations([&] { run(numOfCountedCalls); });
}

TEST(Allocation, AudioCallsAllocateNothingAfterWarmUp)
{
#ifdef MUREL_SANITIZED
    GTEST_SKIP() << "the sanitizers own malloc";
#endif
    const TemporaryModelFile first(everyLayerModel(1));
    const TemporaryModelFile second(everyLayerModel(2));
    for (const std::vector<const char*>& models :
         {std::vector<const char*>{first.c_str()}, std::vector<const char*>{first.c_str(), second.c_str()}})
        for (const Calls calls :
             {Calls::addAndGet, Calls::addAndGetInterleaved, Calls::process, Calls::processInterleaved})
        {
            SCOPED_TRACE(std::to_string(models.size()) + " models, calls " + std::to_string(static_cast<int>(calls)));
            const Processor processor = createSeparator(models, numOfChannels);
            ASSERT_NE(processor, nullptr);
            EXPECT_EQ(countWhileStreaming(processor.get(), calls, 2 * static_cast<int>(blockSizes.size()), 1000), 0);
        }
}

TEST(Allocation, APreparedProcessorAllocatesNothingFromTheFirstFrameNorOnReset)
{
#ifdef MUREL_SANITIZED
    GTEST_SKIP() << "the sanitizers own malloc";
#endif
    const TemporaryModelFile first(everyLayerModel(4));
    const TemporaryModelFile second(everyLayerModel(5));
    for (const std::vector<const char*>& models :
         {std::vector<const char*>{first.c_str()}, std::vector<const char*>{first.c_str(), second.c_str()}})
    {
        for (const Calls calls : {Calls::addAndGet, Calls::processInterleaved})
        {
            SCOPED_TRACE(std::to_string(models.size()) + " models, calls " + std::to_string(static_cast<int>(calls)));
            const Processor handle = createSeparator(models, numOfChannels);
            void* processor = handle.get();
            ASSERT_NE(processor, nullptr);
            ASSERT_TRUE(murelPrepareProcessor(processor, 480));
            EXPECT_EQ(countWhileStreaming(processor, calls, 0, 200), 0);
            // A transport jump in the audio callback, and the frames after it.
            EXPECT_EQ(countAllocations([&] { murelResetProcessorState(processor); }), 0);
            EXPECT_EQ(countWhileStreaming(processor, calls, 0, 200), 0);
        }
    }
}

TEST(Allocation, TensorCallsAllocateNothingAfterWarmUp)
{
#ifdef MUREL_SANITIZED
    GTEST_SKIP() << "the sanitizers own malloc";
#endif
    const TemporaryModelFile file(everyLayerModel(3));
    void* model = murelCreateModel(file.c_str());
    ASSERT_NE(model, nullptr);
    const int shape[3] = {1, numOfBins, 2 * numOfChannels};
    std::vector<float> input(numOfBins * 2 * numOfChannels, 0.25f);
    std::vector<float> output(4 * numOfBins * 2 * numOfChannels);
    int resultShape[3] = {};
    const auto pushTensors = [&](int numOfCalls)
    {
        for (int i = 0; i < numOfCalls; ++i)
        {
            murelAddTensor(model, input.data(), 3, shape);
            if (murelGetResultTensorShape(model, 3, resultShape))
                murelGetTensor(model, output.data());
        }
    };
    pushTensors(100);
    EXPECT_EQ(countAllocations([&] { pushTensors(1000); }), 0);
    murelDeleteModel(model);
}

} // namespace
