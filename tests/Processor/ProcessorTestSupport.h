#pragma once

// Models made with the writer for the processor and interface tests, and small signal helpers.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "Format/ModelWriter.h"
#include "Interface/MurelEngine.h"
#include "Neural/MemoryInputStream.h"

namespace murel::test
{

namespace mw = murel::modelwriter;

/** Spectral blocking and rate of a test model. */
struct ModelBlocking
{
    int fft = 256;
    int window = 256;
    int hop = 128;
    double sampleRate = 48000.0;
};

/** Packing code 4 in and out over numOfBins bins; the output is the input unless layers say
    otherwise. processingMode 0: the model gives masks; 1: spectra. */
inline mw::ModelDescription identityModel(int numOfChannels, const ModelBlocking& blocking, int processingMode,
                                          int numOfBins)
{
    mw::ModelDescription description;
    mw::ModelHeader& header = description.header;
    header.sampleRate = blocking.sampleRate;
    header.numInputChannels = numOfChannels;
    header.numOutputChannels = numOfChannels;
    header.processingMode = static_cast<ProcessingMode>(processingMode);
    header.inputPacking = mw::Packing::plain(PackingCode::realAndImaginary, numOfBins);
    header.outputPacking = mw::Packing::plain(PackingCode::realAndImaginary, numOfBins);
    header.fftSize = blocking.fft;
    header.windowSize = blocking.window;
    header.hopSize = blocking.hop;
    header.numOutputs = 1;
    header.outputNames = {"Processed", "Residual"};
    description.outputSource = "input";
    return description;
}

/** Bins an identity model covers so that it stays the identity when the host doubles or
    quadruples the frame. */
inline int generousNumOfBins(const ModelBlocking& blocking)
{
    return 2 * blocking.fft + 1;
}

/** A 1 x 1 convolution over the (re, im) columns of every channel, y = a x + b (a real), that
    delays its input by `delay` frames (and reports that as its latency). */
inline mw::LayerRecord scalingConv(const std::string& name, const std::string& source, int numOfChannels, float a,
                                   float b = 0.0f, int delay = 0)
{
    const int columns = 2 * numOfChannels;
    const int kernelTime = delay + 1;
    // Tap 0 sees the oldest frame of the kernel.
    std::vector<float> weights(static_cast<std::size_t>(kernelTime * columns * columns), 0.0f);
    for (int c = 0; c < columns; ++c)
        weights[static_cast<std::size_t>(c * columns + c)] = a;
    return mw::LayerRecord{
        name, mw::ConvLayerRecord{source, mw::TensorRecord({kernelTime, 1, columns, columns}, weights),
                                  mw::TensorRecord({columns}, std::vector<float>(static_cast<std::size_t>(columns), b)),
                                  1, 1, 1, 1, delay}};
}

/** identityModel whose output passes through scalingConv(a, b, delay). */
inline mw::ModelDescription scalingModel(int numOfChannels, const ModelBlocking& blocking, int processingMode,
                                         int numOfBins, float a, float b = 0.0f, int delay = 0)
{
    mw::ModelDescription description = identityModel(numOfChannels, blocking, processingMode, numOfBins);
    description.layers = {scalingConv("scale", "input", numOfChannels, a, b, delay)};
    description.outputSource = "scale";
    return description;
}

/** A dense layer that ignores its input and gives the constant mask values[bin] (the same for
    every channel). */
inline mw::LayerRecord constantMask(const std::string& name, const std::string& source, int numOfChannels,
                                    const std::vector<std::complex<float>>& values)
{
    const int rows = static_cast<int>(values.size());
    const int columns = 2 * numOfChannels;
    std::vector<float> bias;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < numOfChannels; ++c)
        {
            bias.push_back(values[static_cast<std::size_t>(r)].real());
            bias.push_back(values[static_cast<std::size_t>(r)].imag());
        }
    const std::vector<float> zeros(static_cast<std::size_t>(rows * rows * columns), 0.0f);
    return mw::LayerRecord{name, mw::DenseLayerRecord{source, mw::TensorRecord({rows, rows, columns}, zeros),
                                                      mw::TensorRecord({rows, columns}, bias)}};
}

/** A masking model whose mask is values[bin] for every frame. */
inline mw::ModelDescription constantMaskModel(int numOfChannels, const ModelBlocking& blocking,
                                              const std::vector<std::complex<float>>& values)
{
    mw::ModelDescription description = identityModel(numOfChannels, blocking, 0, static_cast<int>(values.size()));
    description.layers = {constantMask("mask", "input", numOfChannels, values)};
    description.outputSource = "mask";
    return description;
}

inline std::shared_ptr<InputStream> toStream(const mw::ModelDescription& description)
{
    return std::make_shared<MemoryInputStream>(mw::writeModel(description));
}

/** A model file in the test's temporary folder, removed with the object. */
class TemporaryModelFile
{
public:
    explicit TemporaryModelFile(const mw::ModelDescription& description)
    {
        static std::atomic<int> counter{0};
        path = ::testing::TempDir() + "murel-processor-test-" + std::to_string(::getpid()) + "-" +
               std::to_string(counter++) + ".model";
        if (!mw::saveModel(description, path))
            ADD_FAILURE() << "cannot write " << path;
    }
    ~TemporaryModelFile() { std::remove(path.c_str()); }
    TemporaryModelFile(const TemporaryModelFile&) = delete;
    TemporaryModelFile& operator=(const TemporaryModelFile&) = delete;

    const char* c_str() const { return path.c_str(); }

    std::string path;
};

using Channels = std::vector<std::vector<float>>;

/** A processor handle of the C interface, deleted with the object (null when creating failed). */
using Processor = std::unique_ptr<void, void (*)(void*)>;

inline Processor create(const char* path, int numOfChannels, double sampleRate = 48000.0)
{
    return Processor(murelCreateProcessor(path, numOfChannels, sampleRate), murelDeleteProcessor);
}

inline Processor createSeparator(std::vector<const char*> paths, int numOfChannels = 2, double sampleRate = 48000.0)
{
    return Processor(murelCreateStemSeparator(static_cast<int>(paths.size()), paths.data(), numOfChannels, sampleRate),
                     murelDeleteProcessor);
}

/** Checks that output is gain x input delayed by latency samples (silence before), within tolerance. */
inline void expectDelayedCopy(const Channels& input, const Channels& output, int latency, float gain = 1.0f,
                              float tolerance = 2e-5f)
{
    ASSERT_EQ(output.size(), input.size());
    for (std::size_t c = 0; c < input.size(); ++c)
    {
        ASSERT_EQ(output[c].size(), input[c].size()) << "channel " << c;
        float worst = 0.0f;
        std::size_t worstIndex = 0;
        for (std::size_t n = 0; n < output[c].size(); ++n)
        {
            const long source = static_cast<long>(n) - latency;
            const float expected = source >= 0 ? gain * input[c][static_cast<std::size_t>(source)] : 0.0f;
            if (std::abs(output[c][n] - expected) > worst)
            {
                worst = std::abs(output[c][n] - expected);
                worstIndex = n;
            }
        }
        EXPECT_LE(worst, tolerance) << "channel " << c << " sample " << worstIndex;
    }
}

/** numOfChannels rows of uniform noise in [-amplitude, amplitude]. */
inline Channels noise(int numOfChannels, int numOfSamples, std::uint32_t seed, float amplitude = 0.5f)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> distribution(-amplitude, amplitude);
    Channels channels(static_cast<std::size_t>(numOfChannels),
                      std::vector<float>(static_cast<std::size_t>(numOfSamples)));
    for (auto& channel : channels)
        for (float& sample : channel)
            sample = distribution(generator);
    return channels;
}

} // namespace murel::test
