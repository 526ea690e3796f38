#include "DspCore/ShortTimeFourierStage.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "DspCore/MathEx.h"
#include "DspCore/VectorOps.h"

namespace murel
{

namespace
{

/** dst = a * b, sample by sample; dst may be a. */
void multiply(float* dst, const float* a, const float* b, int n)
{
    int i = 0;
    for (; i + vec::numOfLanes <= n; i += vec::numOfLanes)
        vec::store(dst + i, vec::mul(vec::load(a + i), vec::load(b + i)));
    for (; i < n; ++i)
        dst[i] = a[i] * b[i];
}

float* floats(std::complex<float>* p)
{
    return reinterpret_cast<float*>(p);
}

} // namespace

bool ShortTimeFourierStage::setBlocking(int fftSize, int windowSize, int hopSize)
{
    clear();
    if (hopSize < 1 || hopSize > windowSize || fftSize < windowSize || fftSize < 2 ||
        MathEx::findLargerPowerOfTwo(fftSize) != fftSize)
        return false;
    blocking.fftSize = fftSize;
    blocking.windowSize = windowSize;
    blocking.hopSize = hopSize;
    return true;
}

bool ShortTimeFourierStage::configure(const Signal32& newAnalysisWindow, const Signal32& newSynthesisWindow,
                                      int synthesisDelay, int numOfOverlaps)
{
    const int windowSize = blocking.windowSize;
    const bool valid = windowSize >= 1 && numOfOverlaps >= 1 && synthesisDelay >= 0 && !newAnalysisWindow.isEmpty() &&
                       !newSynthesisWindow.isEmpty() && newAnalysisWindow.getNumOfSamples() == windowSize &&
                       newSynthesisWindow.getNumOfSamples() == windowSize;
    if (!valid)
    {
        clear();
        return false;
    }
    blocking.synthesisDelay = synthesisDelay;
    blocking.numOfOverlaps = numOfOverlaps;
    analysisWindow = newAnalysisWindow;
    synthesisWindow = newSynthesisWindow;
    const int fftSize = blocking.fftSize;
    fourierTransform.allocate(fftSize / 2);

    const int numOfInputChannels = analysisWindow.getNumOfChannels();
    const int numOfOutputChannels = synthesisWindow.getNumOfChannels();
    const int numOfBins = fftSize / 2 + 1;
    inputFrame = Signal32(numOfInputChannels, windowSize);
    paddedFrame = Signal32(numOfInputChannels, fftSize);
    paddedFrame.setToZero();
    spectrum = ComplexSignal32(numOfInputChannels, numOfBins);
    paddedSpectrum = ComplexSignal32(numOfOutputChannels, numOfBins);
    inverseFrame = Signal32(numOfOutputChannels, fftSize);
    synthesisFrames.assign(static_cast<std::size_t>(numOfOverlaps), Signal32());
    for (Signal32& frame : synthesisFrames)
        frame = Signal32(numOfOutputChannels, windowSize);
    hop = Signal32(numOfOutputChannels, blocking.hopSize);
    output = Signal32();
    outputCapacity = 0;
    reserveOutput(static_cast<int64_t>(numOfOverlaps + synthesisDelay + 2) * blocking.hopSize);
    reset();
    return true;
}

void ShortTimeFourierStage::clear()
{
    *this = ShortTimeFourierStage();
}

void ShortTimeFourierStage::reset() noexcept
{
    numOfBuffered = 0;
    inputLength = inputPosition = 0;
    firstPendingFrame = 0;
    numOfPendingFrames = 0;
    outputStart = 0;
    outputCount = 0;
    if (!isConfigured())
        return;
    // Aligns the first input sample so that output sample n is input sample n.
    const int numOfSilentSamples = blocking.windowSize - blocking.hopSize * (1 + blocking.synthesisDelay);
    if (numOfSilentSamples >= 1)
    {
        for (int c = 0; c < inputFrame.getNumOfChannels(); ++c)
            std::fill_n(inputFrame.getWritePointer(c), numOfSilentSamples, 0.0f);
        numOfBuffered = numOfSilentSamples;
    }
}

void ShortTimeFourierStage::reserve(int numOfSamples)
{
    if (!isConfigured() || numOfSamples < 1)
        return;
    const int64_t windowSize = blocking.windowSize;
    const int64_t gathered = static_cast<int64_t>(numOfBuffered) + numOfSamples;
    const int64_t numOfFrames = gathered >= windowSize ? (gathered - windowSize) / blocking.hopSize + 1 : 0;
    // A host's backlog (what it leaves unread) wanders by up to a block and a frame.
    reserveOutput(2 * (numOfFrames + 1) * blocking.hopSize + 2 * windowSize);
}

void ShortTimeFourierStage::reserveOutput(int64_t numOfSamples)
{
    const int64_t needed = outputCount + std::max<int64_t>(numOfSamples, 0);
    if (!isConfigured() || needed <= outputCapacity)
        return;
    // Room to spare, so that a host whose backlog wanders settles after a few blocks.
    const int64_t capacity = std::max(2 * needed, 2 * outputCapacity);
    if (capacity > std::numeric_limits<int>::max())
        throw std::length_error("spectral stage output queue too long");
    Signal32 grown(synthesisWindow.getNumOfChannels(), static_cast<int>(capacity));
    // The waiting samples move to the front of the new ring.
    for (int c = 0; c < grown.getNumOfChannels(); ++c)
    {
        float* target = grown.getWritePointer(c);
        const float* ring = output.hasStorage() ? output.getReadPointer(c) : nullptr;
        const int64_t first = std::min(outputCount, outputCapacity - outputStart);
        if (first > 0)
            std::memcpy(target, ring + outputStart, static_cast<std::size_t>(first) * sizeof(float));
        if (outputCount > first)
            std::memcpy(target + first, ring, static_cast<std::size_t>(outputCount - first) * sizeof(float));
    }
    output = std::move(grown);
    outputCapacity = capacity;
    outputStart = 0;
}

void ShortTimeFourierStage::setInput(const float* const* channels, int numOfSamples) noexcept
{
    inputRows = channels;
    inputFrames = nullptr;
    inputLength = isConfigured() ? std::max(numOfSamples, 0) : 0;
    inputPosition = 0;
}

void ShortTimeFourierStage::setInputInterleaved(const float* samples, int numOfFrames) noexcept
{
    setInput(nullptr, numOfFrames);
    inputFrames = samples;
}

const ComplexSignal32* ShortTimeFourierStage::nextSpectrum() noexcept
{
    const int windowSize = blocking.windowSize;
    const int numOfChannels = inputFrame.getNumOfChannels();
    if (numOfBuffered == windowSize && isConfigured())
    {
        // The frame returned last: its first hop is consumed.
        const int kept = windowSize - blocking.hopSize;
        for (int c = 0; c < numOfChannels && kept > 0; ++c)
        {
            float* row = inputFrame.getWritePointer(c);
            std::memmove(row, row + blocking.hopSize, static_cast<std::size_t>(kept) * sizeof(float));
        }
        numOfBuffered = kept;
    }
    const int count = std::min(inputLength - inputPosition, windowSize - numOfBuffered);
    if (count > 0)
    {
        for (int c = 0; c < numOfChannels; ++c)
        {
            float* row = inputFrame.getWritePointer(c) + numOfBuffered;
            if (inputRows != nullptr)
                std::memcpy(row, inputRows[c] + inputPosition, static_cast<std::size_t>(count) * sizeof(float));
            else
                for (int i = 0; i < count; ++i)
                    row[i] = inputFrames[static_cast<std::ptrdiff_t>(inputPosition + i) * numOfChannels + c];
            // A non-finite sample counts as silence.
            vec::replaceNonFinite(row, count);
        }
        numOfBuffered += count;
        inputPosition += count;
    }
    if (numOfBuffered < windowSize || !isConfigured())
    {
        inputLength = inputPosition = 0;
        return nullptr;
    }
    return &analyse(inputFrame);
}

const ComplexSignal32& ShortTimeFourierStage::analyse(const Signal32& frame) noexcept
{
    const int numOfChannels = inputFrame.getNumOfChannels();
    const int fftSize = blocking.fftSize;
    const int windowSize = blocking.windowSize;
    for (int c = 0; c < numOfChannels; ++c)
        multiply(paddedFrame.getWritePointer(c) + (fftSize - windowSize), frame.getReadPointer(c),
                 analysisWindow.getReadPointer(c), windowSize);
    fourierTransform.forwardReal(paddedFrame, spectrum);
    // Finite samples of any size can still sum beyond the float range.
    for (int c = 0; c < numOfChannels; ++c)
        vec::replaceNonFinite(floats(spectrum.getWritePointer(c)), 2 * spectrum.getNumOfSamples());
    return spectrum;
}

void ShortTimeFourierStage::synthesise(const ComplexSignal32& outputSpectrum, Signal32& frame) noexcept
{
    const int numOfOutputChannels = synthesisWindow.getNumOfChannels();
    const int fftSize = blocking.fftSize;
    const int windowSize = blocking.windowSize;
    const int numOfBins = fftSize / 2 + 1;
    const ComplexSignal32* source = &outputSpectrum;
    if (!outputSpectrum.hasStorage() || outputSpectrum.getNumOfChannels() < numOfOutputChannels ||
        outputSpectrum.getNumOfSamples() < numOfBins)
    {
        paddedSpectrum.setToZero();
        const int rows =
            outputSpectrum.hasStorage() ? std::min(outputSpectrum.getNumOfChannels(), numOfOutputChannels) : 0;
        const int bins = std::clamp(outputSpectrum.getNumOfSamples(), 0, numOfBins);
        for (int c = 0; c < rows; ++c)
            std::copy_n(outputSpectrum.getReadPointer(c), bins, paddedSpectrum.getWritePointer(c));
        source = &paddedSpectrum;
    }
    fourierTransform.inverseReal(*source, inverseFrame);
    for (int c = 0; c < numOfOutputChannels; ++c)
        multiply(frame.getWritePointer(c), inverseFrame.getReadPointer(c) + (fftSize - windowSize),
                 synthesisWindow.getReadPointer(c), windowSize);
}

void ShortTimeFourierStage::addOutputSpectrum(const ComplexSignal32& outputSpectrum) noexcept
{
    if (!isConfigured())
        return;
    const int numOfOverlaps = blocking.numOfOverlaps;
    const int slot = (firstPendingFrame + numOfPendingFrames) % numOfOverlaps;
    synthesise(outputSpectrum, synthesisFrames[static_cast<std::size_t>(slot)]);
    ++numOfPendingFrames;
    if (numOfPendingFrames >= numOfOverlaps)
        emitHop();
}

void ShortTimeFourierStage::emitHop() noexcept
{
    const int numOfOutputChannels = synthesisWindow.getNumOfChannels();
    const int numOfOverlaps = blocking.numOfOverlaps;
    const int synthesisDelay = blocking.synthesisDelay;
    const int w = blocking.windowSize;
    const int h = blocking.hopSize;
    for (int c = 0; c < numOfOutputChannels; ++c)
        std::fill_n(hop.getWritePointer(c), h, 0.0f);
    for (int j = 0; j < numOfOverlaps; ++j)
    {
        // Segment of frame j; a frame is zero outside its windowSize samples, which matters
        // when windowSize is less than 2 * hopSize.
        const int start = w - h * (1 + j + synthesisDelay);
        const int first = std::max(start, 0);
        const int last = std::min(start + h, w);
        if (last <= first)
            continue;
        const int slot = (firstPendingFrame + j) % numOfOverlaps;
        for (int c = 0; c < numOfOutputChannels; ++c)
            vec::addTo(hop.getWritePointer(c) + (first - start),
                       synthesisFrames[static_cast<std::size_t>(slot)].getReadPointer(c) + first, last - first);
    }
    firstPendingFrame = (firstPendingFrame + 1) % numOfOverlaps;
    --numOfPendingFrames;

    if (outputCount + h > outputCapacity)
        return;
    for (int c = 0; c < numOfOutputChannels; ++c)
    {
        float* samples = hop.getWritePointer(c);
        vec::replaceNonFinite(samples, h);
        float* ring = output.getWritePointer(c);
        const int64_t end = (outputStart + outputCount) % outputCapacity;
        const int64_t first = std::min<int64_t>(h, outputCapacity - end);
        std::memcpy(ring + end, samples, static_cast<std::size_t>(first) * sizeof(float));
        if (first < h)
            std::memcpy(ring, samples + first, static_cast<std::size_t>(h - first) * sizeof(float));
    }
    outputCount += h;
}

template <typename Write>
bool ShortTimeFourierStage::read(int numOfSamples, Write write) noexcept
{
    if (numOfSamples < 0 || numOfSamples > outputCount)
        return false;
    if (numOfSamples == 0)
        return true;
    const int numOfChannels = synthesisWindow.getNumOfChannels();
    const int64_t first = std::min<int64_t>(numOfSamples, outputCapacity - outputStart);
    for (int c = 0; c < numOfChannels; ++c)
    {
        const float* ring = output.getReadPointer(c);
        write(c, 0, ring + outputStart, static_cast<int>(first));
        if (first < numOfSamples)
            write(c, static_cast<int>(first), ring, static_cast<int>(numOfSamples - first));
    }
    outputStart = (outputStart + numOfSamples) % outputCapacity;
    outputCount -= numOfSamples;
    return true;
}

bool ShortTimeFourierStage::readOutput(float* const* channels, int numOfSamples) noexcept
{
    return read(numOfSamples, [channels](int c, int offset, const float* from, int count)
                { std::memcpy(channels[c] + offset, from, static_cast<std::size_t>(count) * sizeof(float)); });
}

bool ShortTimeFourierStage::readOutputInterleaved(float* samples, int numOfFrames) noexcept
{
    const std::ptrdiff_t stride = synthesisWindow.getNumOfChannels();
    return read(numOfFrames,
                [samples, stride](int c, int offset, const float* from, int count)
                {
                    float* target = samples + static_cast<std::ptrdiff_t>(offset) * stride + c;
                    for (int i = 0; i < count; ++i)
                        target[i * stride] = from[i];
                });
}

} // namespace murel
