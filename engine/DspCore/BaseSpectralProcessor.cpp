#include "DspCore/BaseSpectralProcessor.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>
#include <vector>

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

/** Runs the subclass's spectral hook for the stage. The first exception stops the work (later
    frames give nothing) and is rethrown once the stage returns. */
class HookWork : public ShortTimeFourierStage::Work
{
public:
    explicit HookWork(BaseSpectralProcessor& owner) : processor(owner) {}

    void processSpectrum(const ComplexSignal32& spectrum, ShortTimeFourierStage& stage) noexcept override
    {
        if (failure != nullptr)
            return;
        try
        {
            const std::list<ComplexSignal32> outputs = processor.process(spectrum);
            stage.reserveOutput(static_cast<int64_t>(outputs.size()) * processor.getHopSize());
            for (const ComplexSignal32& output : outputs)
                stage.addOutputSpectrum(output);
        }
        catch (...)
        {
            failure = std::current_exception();
        }
    }

    std::exception_ptr failure;

private:
    BaseSpectralProcessor& processor;
};

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
    stage.configure(fftSize, windowSize, hopSize, analysisWindow, synthesisWindow, synthesisDelay,
                    std::max(numOfOverlaps, 1));
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
    stage.clear();
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
    stage.reset();
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
        std::vector<const float*> rows(static_cast<std::size_t>(block.getNumOfChannels()));
        for (int c = 0; c < block.getNumOfChannels(); ++c)
            rows[static_cast<std::size_t>(c)] = block.getReadPointer(c);
        stage.reserve(block.getNumOfSamples());
        HookWork work(*this);
        stage.process(rows.data(), block.getNumOfSamples(), work);
        if (work.failure != nullptr)
            std::rethrow_exception(work.failure);
    }

    const int64_t available = stage.getNumOfOutputSamples();
    if (available > std::numeric_limits<int>::max())
        throw std::length_error("spectral frame output block too long");
    Signal32 result(numOfOutputChannels, static_cast<int>(available));
    std::vector<float*> rows(static_cast<std::size_t>(numOfOutputChannels));
    for (int c = 0; c < numOfOutputChannels; ++c)
        rows[static_cast<std::size_t>(c)] = result.getWritePointer(c);
    stage.readOutput(rows.data(), static_cast<int>(available));
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
