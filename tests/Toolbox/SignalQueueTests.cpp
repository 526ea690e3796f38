#include <gtest/gtest.h>

#include "Toolbox/SignalQueue.h"

using namespace murel;

namespace
{

// Block of the given channels whose sample i of channel c is c * 1000 + start + i, so every
// sample says where in the stream it came from.
Signal32 rampBlock(int channels, int start, int length)
{
    Signal32 block(channels, length);
    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < length; ++i)
            block.getWritePointer(c)[i] = static_cast<float>(c * 1000 + start + i);
    return block;
}

void expectRamp(const Signal32& block, int start)
{
    for (int c = 0; c < block.getNumOfChannels(); ++c)
        for (int i = 0; i < block.getNumOfSamples(); ++i)
            ASSERT_EQ(block.getReadPointer(c)[i], static_cast<float>(c * 1000 + start + i)) << c << ", " << i;
}

} // namespace

TEST(SignalQueue, ReadsSpanBlocksAndEndOnBlockEdges)
{
    SignalQueue<Signal32> queue;
    queue.add(rampBlock(2, 0, 5));
    queue.add(rampBlock(2, 5, 3));
    queue.add(rampBlock(2, 8, 7));
    EXPECT_EQ(queue.numOfSamples, 15);

    const Signal32 first = queue.get(5); // ends exactly on the first block's edge
    expectRamp(first, 0);
    EXPECT_EQ(queue.getNumOfBlocks(), 2u);

    const Signal32 spanning = queue.get(9); // spans the rest of two blocks
    EXPECT_EQ(spanning.getNumOfSamples(), 9);
    expectRamp(spanning, 5);
    EXPECT_EQ(queue.numOfSamples, 1);

    queue.add(rampBlock(2, 15, 4));
    const Signal32 rest = queue.get(5);
    expectRamp(rest, 14);
    EXPECT_EQ(queue.numOfSamples, 0);
    EXPECT_EQ(queue.getNumOfBlocks(), 0u);
    EXPECT_EQ(queue.getNumOfChannels(), 2);
}

TEST(SignalQueue, AddingSharesStorage)
{
    SignalQueue<Signal32> queue;
    Signal32 block = rampBlock(1, 0, 4);
    queue.add(block);
    EXPECT_EQ(block.getUseCount(), 2);
    const Signal32 taken = queue.get(4);
    EXPECT_NE(taken.getReadPointer(0), block.getReadPointer(0)) << "get returns fresh storage";
}

TEST(SignalQueue, EmptyAndZeroRequests)
{
    SignalQueue<Signal32> queue;
    EXPECT_FALSE(queue.get(0).hasStorage());
    EXPECT_EQ(queue.getNumOfChannels(), -1);

    queue.add(Signal32(2, 0));
    queue.add(Signal32());
    EXPECT_EQ(queue.getNumOfChannels(), -1) << "empty blocks change nothing";

    queue.add(rampBlock(3, 0, 2));
    const Signal32 none = queue.get(0);
    EXPECT_EQ(none.getNumOfChannels(), 3);
    EXPECT_EQ(none.getNumOfSamples(), 0);
    EXPECT_EQ(queue.numOfSamples, 2);
}

TEST(SignalQueue, ChannelChangeDropsQueuedBlocks)
{
    SignalQueue<Signal32> queue;
    queue.add(rampBlock(1, 0, 10));
    queue.get(3);
    queue.add(rampBlock(2, 100, 4));
    EXPECT_EQ(queue.getNumOfChannels(), 2);
    EXPECT_EQ(queue.numOfSamples, 4);
    expectRamp(queue.get(4), 100);

    queue.clear();
    EXPECT_EQ(queue.getNumOfChannels(), -1);
    EXPECT_EQ(queue.numOfSamples, 0);
}

TEST(SignalQueue, PeekAndSkipLeaveTheRestInPlace)
{
    SignalQueue<Signal32> queue;
    queue.add(rampBlock(1, 0, 6));
    queue.add(rampBlock(1, 6, 6));
    expectRamp(queue.peek(8), 0);
    EXPECT_EQ(queue.numOfSamples, 12);
    queue.skip(6);
    EXPECT_EQ(queue.getNumOfBlocks(), 1u);
    expectRamp(queue.peek(6), 6);
    queue.skip(100);
    EXPECT_EQ(queue.numOfSamples, 0);
    EXPECT_EQ(queue.getNumOfChannels(), 1) << "skipping everything keeps the channel count";
}
