#include "DspCore/BaseSpectralProcessor.h"

#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>
#include <vector>

#include "DspCore/WindowFunctions.h"

namespace murel
{

namespace
{

bool isUsable(const AudioFormat& format)
{
    return format.getNumOfChannels() >= 1 && format.getSampleRate() > 0.0;
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

} // namespace

bool BaseSpectralProcessor::setBlocking(int newFftSize, int newWindowSize, int newHopSize)
{
    if (!isUsable(inputFormat) || !isUsable(outputFormat) || !stage.setBlocking(newFftSize, newWindowSize, newHopSize))
    {
        stage.clear();
        return false;
    }
    generateWindows();
    reset();
    return true;
}

void BaseSpectralProcessor::generateWindows()
{
    const ShortTimeFourierStage::Blocking& blocking = stage.getBlocking();
    if (!isUsable(outputFormat) || inputFormat.getNumOfChannels() < 1 || blocking.windowSize < 1)
        return;
    const int numOfInputChannels = inputFormat.getNumOfChannels();
    const int numOfOutputChannels = outputFormat.getNumOfChannels();
    const int w = blocking.windowSize;
    const int h = blocking.hopSize;

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
        stage.configure(replicateRow(analysisRow, numOfInputChannels), replicateRow(synthesisRow, numOfOutputChannels),
                        1, 2);
    }
    else
    {
        // Square-root Hann on both sides; the inverse transform's factor fftSize is folded in.
        Signal32 synthesisRow = WindowFunctions::generateSqrtHannWindow(1, w);
        const float scale = 1.0f / static_cast<float>(blocking.fftSize);
        float* synthesis = synthesisRow.getWritePointer(0);
        for (int i = 0; i < w; ++i)
            synthesis[i] *= scale;
        stage.configure(WindowFunctions::generateSqrtHannWindow(numOfInputChannels, w),
                        replicateRow(synthesisRow, numOfOutputChannels), 0, 2);
    }
}

int BaseSpectralProcessor::getLatency(int blockSize) const
{
    const ShortTimeFourierStage::Blocking& blocking = stage.getBlocking();
    const int hopSize = blocking.hopSize;
    if (!stage.isConfigured() || hopSize <= 0)
        return 0;
    const int numOfHops = blocking.synthesisDelay + blocking.numOfOverlaps;
    return blockSize % hopSize != 0 ? hopSize * numOfHops : hopSize * (numOfHops - 1);
}

void BaseSpectralProcessor::reset()
{
    stage.reset();
}

Signal32 BaseSpectralProcessor::process(const Signal32& block)
{
    if (!stage.isConfigured())
        return block;

    const int numOfOutputChannels = stage.getNumOfOutputChannels();
    if (!block.isEmpty())
    {
        if (block.getNumOfChannels() != stage.getNumOfInputChannels())
            return Signal32(numOfOutputChannels, 0);
        std::vector<const float*> rows(static_cast<std::size_t>(block.getNumOfChannels()));
        for (int c = 0; c < block.getNumOfChannels(); ++c)
            rows[static_cast<std::size_t>(c)] = block.getReadPointer(c);
        stage.reserve(block.getNumOfSamples());
        stage.setInput(rows.data(), block.getNumOfSamples());
        // The first exception stops the spectral work (later frames give nothing) and is
        // rethrown once the block is consumed.
        std::exception_ptr failure;
        while (const ComplexSignal32* spectrum = stage.nextSpectrum())
        {
            if (failure != nullptr)
                continue;
            try
            {
                const std::list<ComplexSignal32> outputs = process(*spectrum);
                stage.reserveOutput(static_cast<int64_t>(outputs.size()) * getHopSize());
                for (const ComplexSignal32& output : outputs)
                    stage.addOutputSpectrum(output);
            }
            catch (...)
            {
                failure = std::current_exception();
            }
        }
        if (failure != nullptr)
            std::rethrow_exception(failure);
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
    if (!stage.isConfigured() || frame.isEmpty() || frame.getNumOfChannels() != stage.getNumOfInputChannels() ||
        frame.getNumOfSamples() != getWindowSize())
        return {};
    const std::list<ComplexSignal32> spectra = process(stage.analyse(frame));
    std::list<Signal32> frames;
    for (const ComplexSignal32& output : spectra)
    {
        frames.emplace_back(stage.getNumOfOutputChannels(), getWindowSize());
        stage.synthesise(output, frames.back());
    }
    return frames;
}

} // namespace murel
