#include "DspCore/BaseSpectralProcessor.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "DspCore/VectorOps.h"
#include "DspCore/WindowFunctions.h"

namespace murel
{

namespace
{

bool isPowerOfTwo(int n)
{
    return n > 0 && (n & (n - 1)) == 0;
}

bool isUsable(const AudioFormat& format)
{
    return format.getNumOfChannels() >= 1 && format.getSampleRate() > 0.0;
}

/** dst = a * b, sample by sample; dst may be a. */
void multiply(float* dst, const float* a, const float* b, int n)
{
    int i = 0;
    for (; i + vec::numOfLanes <= n; i += vec::numOfLanes)
        vec::store(dst + i, vec::mul(vec::load(a + i), vec::load(b + i)));
    for (; i < n; ++i)
        dst[i] = a[i] * b[i];
}

/** numOfChannels copies of row 0 of window. */
Signal32 replicateRow(const Signal32& window, int numOfChannels)
{
    if (numOfChannels < 2)
        return window;
    const int length = window.getNumOfSamples();
    Signal32 result(numOfChannels, length);
    for (int c = 0; c < numOfChannels; ++c)
        std::memcpy(result.getWritePointer(c), window.getReadPointer(0),
                    static_cast<std::size_t>(length) * sizeof(float));
    return result;
}

/** A copy of signal with room for capacity samples per row, keeping its first numOfSamples. */
Signal32 grow(const Signal32& signal, int numOfSamples, int64_t capacity)
{
    if (capacity > std::numeric_limits<int>::max())
        throw std::length_error("spectral frame output block too long");
    Signal32 result(signal.getNumOfChannels(), static_cast<int>(capacity));
    if (numOfSamples < 1)
        return result;
    for (int c = 0; c < signal.getNumOfChannels(); ++c)
        std::memcpy(result.getWritePointer(c), signal.getReadPointer(c),
                    static_cast<std::size_t>(numOfSamples) * sizeof(float));
    return result;
}

} // namespace

bool BaseSpectralProcessor::setBlocking(int newFftSize, int newWindowSize, int newHopSize)
{
    const bool valid = newHopSize >= 1 && newHopSize <= newWindowSize && newFftSize >= newWindowSize &&
                       newFftSize >= 2 && isPowerOfTwo(newFftSize) && isUsable(inputFormat) && isUsable(outputFormat);
    if (!valid)
    {
        switchOff();
        return false;
    }
    fftSize = newFftSize;
    windowSize = newWindowSize;
    hopSize = newHopSize;
    // The zero head of the padded frame depends on the blocking: rebuild the scratch lazily.
    paddedFrame = Signal32();
    inverseFrame = Signal32();
    generateWindows();
    fourierTransform.allocate(fftSize / 2);
    reset();
    return true;
}

void BaseSpectralProcessor::switchOff()
{
    fftSize = 0;
    windowSize = 0;
    hopSize = 0;
    synthesisDelay = 0;
    numOfOverlaps = 2;
    analysisWindow = Signal32();
    synthesisWindow = Signal32();
    pendingFrames.clear();
    inputQueue.clear();
    paddedFrame = Signal32();
    inverseFrame = Signal32();
}

void BaseSpectralProcessor::generateWindows()
{
    if (!isUsable(outputFormat) || inputFormat.getNumOfChannels() < 1 || windowSize < 1 || hopSize < 1 || fftSize < 1)
        return;
    const int numOfInputChannels = inputFormat.getNumOfChannels();
    const int numOfOutputChannels = outputFormat.getNumOfChannels();
    const int w = windowSize;
    const int h = hopSize;

    if (w >= 3 * h)
    {
        // Hann analysis; the synthesis window turns the product into a short Hann window of
        // length 2h in the frame's middle, which overlap-adds to 1 at hop h.
        const Signal32 analysisRow = WindowFunctions::generateHannWindow(1, w);
        Signal32 synthesisRow(1, w);
        synthesisRow.setToZero();
        const Signal32 shortWindow = WindowFunctions::generateHannWindow(1, 2 * h);
        if (shortWindow.getNumOfSamples() >= 1)
            std::memcpy(synthesisRow.getWritePointer(0) + (w - 2 * h) / 2, shortWindow.getReadPointer(0),
                        static_cast<std::size_t>(shortWindow.getNumOfSamples()) * sizeof(float));
        const float scale = static_cast<float>(w);
        const float* analysis = analysisRow.getReadPointer(0);
        float* synthesis = synthesisRow.getWritePointer(0);
        for (int i = 0; i < w; ++i)
            synthesis[i] /= analysis[i] * scale;
        analysisWindow = replicateRow(analysisRow, numOfInputChannels);
        synthesisWindow = replicateRow(synthesisRow, numOfOutputChannels);
        synthesisDelay = 1;
    }
    else
    {
        // Square-root Hann on both sides; the inverse transform's factor fftSize is folded in.
        analysisWindow = WindowFunctions::generateSqrtHannWindow(numOfInputChannels, w);
        synthesisWindow = WindowFunctions::generateSqrtHannWindow(numOfOutputChannels, w);
        const float scale = 1.0f / static_cast<float>(fftSize);
        for (int c = 0; c < numOfOutputChannels; ++c)
        {
            float* row = synthesisWindow.getWritePointer(c);
            for (int i = 0; i < w; ++i)
                row[i] *= scale;
        }
        synthesisDelay = 0;
    }
    numOfOverlaps = 2;
}

int BaseSpectralProcessor::getLatency(int blockSize) const
{
    if (windowSize <= 0 || hopSize <= 0)
        return 0;
    const int numOfHops = synthesisDelay + numOfOverlaps;
    return blockSize % hopSize != 0 ? hopSize * numOfHops : hopSize * (numOfHops - 1);
}

void BaseSpectralProcessor::reset()
{
    pendingFrames.clear();
    inputQueue.clear();
    if (windowSize <= 0 || !isUsable(inputFormat))
        return;
    // The frame's channel count is the one its windows were built for, so that formats changed
    // without a new setBlocking cannot make the frame read rows it has no window for.
    const int numOfChannels = analysisWindow.getNumOfChannels();
    if (numOfChannels < 1)
        return;
    // Aligns the first input sample so that output sample n is input sample n.
    const int numOfSilentSamples = windowSize - hopSize * (1 + synthesisDelay);
    inputQueue.setNumOfChannels(numOfChannels);
    if (numOfSilentSamples >= 1)
    {
        Signal32 silence(numOfChannels, numOfSilentSamples);
        silence.setToZero();
        inputQueue.add(silence);
    }
}

Signal32 BaseSpectralProcessor::process(const Signal32& block)
{
    if (windowSize <= 0)
        return block;

    const int numOfOutputChannels = synthesisWindow.getNumOfChannels();
    if (!block.isEmpty())
    {
        if (block.getNumOfChannels() != analysisWindow.getNumOfChannels())
            return Signal32(numOfOutputChannels, 0);
        inputQueue.add(block);
    }

    const int w = windowSize;
    const int h = hopSize;
    // A subclass may set its own overlap count; fewer than one frame per hop is meaningless.
    const int overlaps = std::max(numOfOverlaps, 1);
    const int64_t queued = inputQueue.getNumOfSamples();
    const int64_t expectedFrames = queued >= w ? (queued - w) / h + 1 : 0;
    // Sized for one returned spectrum per frame; grown if the subclass returns more.
    int64_t capacity = std::max<int64_t>(0, static_cast<int64_t>(pendingFrames.size()) + expectedFrames - overlaps + 1);
    capacity = std::min<int64_t>(capacity, std::numeric_limits<int>::max() / h);
    Signal32 result(numOfOutputChannels, static_cast<int>(capacity * h));
    int numOfHops = 0;

    // Emitting as soon as numOfOverlaps frames are pending keeps at most a few frames alive,
    // however long the block.
    const auto emitReadyHops = [&]()
    {
        while (static_cast<int64_t>(pendingFrames.size()) >= overlaps)
        {
            if (numOfHops == capacity)
            {
                capacity = std::max<int64_t>(2 * capacity, capacity + 1);
                result = grow(result, numOfHops * h, capacity * h);
            }
            const int offset = numOfHops * h;
            for (int c = 0; c < numOfOutputChannels; ++c)
                std::fill_n(result.getWritePointer(c) + offset, h, 0.0f);
            auto frame = pendingFrames.begin();
            for (int j = 0; j < overlaps; ++j, ++frame)
            {
                // Segment of frame j; a frame is zero outside its windowSize samples, which
                // matters when windowSize is less than 2 * hopSize.
                const int start = w - h * (1 + j + synthesisDelay);
                const int first = std::max(start, 0);
                const int last = std::min(start + h, w);
                if (last <= first)
                    continue;
                const int rows = std::min(frame->getNumOfChannels(), numOfOutputChannels);
                for (int c = 0; c < rows; ++c)
                    vec::addTo(result.getWritePointer(c) + offset + (first - start), frame->getReadPointer(c) + first,
                               last - first);
            }
            pendingFrames.pop_front();
            ++numOfHops;
        }
    };

    emitReadyHops();
    while (inputQueue.getNumOfSamples() >= w)
    {
        const Signal32 frame = inputQueue.peek(w);
        inputQueue.skip(h);
        pendingFrames.splice(pendingFrames.end(), processBlock(frame));
        emitReadyHops();
    }
    result.resizeView(numOfOutputChannels, numOfHops * h);
    return result;
}

std::list<Signal32> BaseSpectralProcessor::processBlock(const Signal32& frame)
{
    const int numOfChannels = analysisWindow.getNumOfChannels();
    const int w = windowSize;
    if (w <= 0 || numOfChannels < 1 || frame.isEmpty() || frame.getNumOfChannels() != numOfChannels ||
        frame.getNumOfSamples() != w || analysisWindow.getNumOfSamples() != w || synthesisWindow.getNumOfSamples() != w)
        return {};

    const int f = fftSize;
    if (paddedFrame.getNumOfChannels() != numOfChannels || paddedFrame.getNumOfSamples() != f)
    {
        paddedFrame = Signal32(numOfChannels, f);
        paddedFrame.setToZero();
    }
    for (int c = 0; c < numOfChannels; ++c)
        multiply(paddedFrame.getWritePointer(c) + (f - w), frame.getReadPointer(c), analysisWindow.getReadPointer(c),
                 w);

    ComplexSignal32 spectrum(numOfChannels, f / 2 + 1);
    fourierTransform.forwardReal(paddedFrame, spectrum);

    const std::list<ComplexSignal32> spectra = process(spectrum);
    std::list<Signal32> frames;
    for (const ComplexSignal32& output : spectra)
        frames.push_back(synthesise(output, synthesisWindow.getNumOfChannels()));
    return frames;
}

Signal32 BaseSpectralProcessor::synthesise(const ComplexSignal32& spectrum, int numOfOutputChannels)
{
    const int f = fftSize;
    const int w = windowSize;
    const int numOfBins = f / 2 + 1;

    const ComplexSignal32* source = &spectrum;
    if (spectrum.getNumOfChannels() < numOfOutputChannels || spectrum.getNumOfSamples() < numOfBins)
    {
        paddedSpectrum.resizeView(numOfOutputChannels, numOfBins);
        paddedSpectrum.setToZero();
        const int rows = std::min(spectrum.getNumOfChannels(), numOfOutputChannels);
        const int bins = std::min(spectrum.getNumOfSamples(), numOfBins);
        for (int c = 0; c < rows; ++c)
            std::copy_n(spectrum.getReadPointer(c), bins, paddedSpectrum.getWritePointer(c));
        source = &paddedSpectrum;
    }

    Signal32 output(numOfOutputChannels, w);
    if (f == w)
    {
        fourierTransform.inverseReal(*source, output);
        for (int c = 0; c < numOfOutputChannels; ++c)
            multiply(output.getWritePointer(c), output.getReadPointer(c), synthesisWindow.getReadPointer(c), w);
    }
    else
    {
        inverseFrame.resizeView(numOfOutputChannels, f);
        fourierTransform.inverseReal(*source, inverseFrame);
        for (int c = 0; c < numOfOutputChannels; ++c)
            multiply(output.getWritePointer(c), inverseFrame.getReadPointer(c) + (f - w),
                     synthesisWindow.getReadPointer(c), w);
    }
    return output;
}

} // namespace murel
