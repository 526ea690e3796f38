#include "Toolbox/SignalQueue.h"

#include <algorithm>
#include <cstring>

namespace murel
{

template <typename SignalType>
void SignalQueue<SignalType>::add(const SignalType& block)
{
    if (!block.hasStorage() || block.getNumOfSamples() < 1)
        return;
    if (numOfChannels != -1 && block.getNumOfChannels() != numOfChannels)
        clear();
    numOfChannels = block.getNumOfChannels();
    blocks.push_back(block);
    numOfSamples += block.getNumOfSamples();
}

template <typename SignalType>
void SignalQueue<SignalType>::copyFront(SignalType& target, int n) const
{
    using Sample = typename SignalType::SampleType;
    int written = 0;
    int position = readPosition;
    for (auto it = blocks.begin(); written < n && it != blocks.end(); ++it)
    {
        const int count = std::min(it->getNumOfSamples() - position, n - written);
        for (int c = 0; c < numOfChannels; ++c)
            std::memcpy(target.getWritePointer(c) + written, it->getReadPointer(c) + position,
                        static_cast<std::size_t>(count) * sizeof(Sample));
        written += count;
        position = 0;
    }
}

template <typename SignalType>
SignalType SignalQueue<SignalType>::get(int n)
{
    if (numOfChannels < 1)
        return SignalType();
    SignalType result(numOfChannels, n);
    if (n < 1)
    {
        numOfSamples -= n;
        return result;
    }
    copyFront(result, n);
    skip(n);
    return result;
}

template <typename SignalType>
SignalType SignalQueue<SignalType>::peek(int n) const
{
    if (numOfChannels < 1)
        return SignalType();
    SignalType result(numOfChannels, n);
    if (n >= 1)
        copyFront(result, n);
    return result;
}

template <typename SignalType>
void SignalQueue<SignalType>::skip(int64_t n)
{
    if (n >= numOfSamples)
    {
        blocks.clear();
        readPosition = 0;
        numOfSamples = 0;
        return;
    }
    numOfSamples -= n;
    while (n > 0 && !blocks.empty())
    {
        const int64_t available = blocks.front().getNumOfSamples() - readPosition;
        if (available > n)
        {
            readPosition += static_cast<int>(n);
            return;
        }
        n -= available;
        blocks.pop_front();
        readPosition = 0;
    }
}

template <typename SignalType>
void SignalQueue<SignalType>::clear()
{
    blocks.clear();
    numOfSamples = 0;
    readPosition = 0;
    numOfChannels = -1;
}

template class SignalQueue<Signal32>;

} // namespace murel
