#pragma once

#include <cstdint>
#include <list>

#include "DspCore/Signals.h"

namespace murel
{

/** FIFO of multichannel blocks from which exactly n samples can be taken across block
    boundaries. Appending shares the block's storage; taking copies each sample once. */
template <typename SignalType>
class MUREL_EXPORT SignalQueue
{
public:
    /** Appends a block; empty blocks are ignored, and a block of another channel count replaces
        everything queued. */
    void add(const SignalType& block);
    /** Takes n samples per channel as a new block. The caller makes sure n does not exceed
        numOfSamples. Returns an empty block when nothing was ever appended. */
    SignalType get(int n);
    /** Copies the oldest n samples of every channel into a new block without consuming them. */
    SignalType peek(int n) const;
    /** Drops n samples from the front; dropping all of them keeps the channel count. */
    void skip(int64_t n);
    void clear();

    int64_t getNumOfSamples() const { return numOfSamples; }
    int getNumOfChannels() const { return numOfChannels; }
    /** Sets the channel count of an empty queue (the spectral frame primes it this way). */
    void setNumOfChannels(int channels) { numOfChannels = channels; }
    std::size_t getNumOfBlocks() const { return blocks.size(); }

    /** Samples per channel queued and not yet taken. */
    int64_t numOfSamples = 0;

private:
    void copyFront(SignalType& target, int n) const;

    std::list<SignalType> blocks;
    int readPosition = 0;
    int numOfChannels = -1;
};

extern template class SignalQueue<Signal32>;

} // namespace murel
