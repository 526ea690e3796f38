// Loads arbitrary bytes as a model. When the load succeeds, runs a few spectra through the model
// and a few tensors through the C functions. Exceptions other than those the loader and the
// packing document escape and count as findings.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "Interface/MurelEngine.h"
#include "Neural/MemoryInputStream.h"
#include "Neural/NeuralModel.h"

namespace
{

using murel::ComplexSignal32;
using murel::NeuralModel;

/** Values for the inputs, taken from the file so that the fuzzer can steer them too. */
float sampleValue(const std::uint8_t* data, std::size_t size, std::size_t index)
{
    if (size == 0)
        return 0.0f;
    const int byte = data[(index * 7919u) % size];
    return static_cast<float>(byte - 128) / 32.0f;
}

void runProcess(NeuralModel<float>& model, const std::uint8_t* data, std::size_t size)
{
    const int channels = model.getHeader().numInputChannels;
    for (const int extraBins : {3, -1})
    {
        const int bins = std::max(model.getHeader().inputPacking.numBins + extraBins, 0);
        ComplexSignal32 spectrum(channels, bins);
        for (int c = 0; c < channels; ++c)
            for (int j = 0; j < bins; ++j)
                spectrum.getWritePointer(c)[j] = {sampleValue(data, size, static_cast<std::size_t>(c * bins + j)),
                                                  sampleValue(data, size, static_cast<std::size_t>(c * bins + j + 1))};
        for (int frame = 0; frame < 3; ++frame)
        {
            model.maskExtrapolationEnabled = frame != 1;
            try
            {
                model.process(spectrum);
            }
            catch (const std::runtime_error& error)
            {
                if (std::strcmp(error.what(), "Unknown packing format") != 0)
                    throw;
            }
        }
        model.reset();
    }
}

void runTensorFunctions(const std::uint8_t* data, std::size_t size, int rows, int channels)
{
    static const std::string path = "/tmp/murel-fuzz-" + std::to_string(::getpid()) + ".model";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return;
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    void* model = murelCreateModel(path.c_str());
    std::remove(path.c_str());
    if (model == nullptr)
        std::abort(); // the same bytes loaded above
    std::vector<float> input(static_cast<std::size_t>(2 * rows * channels));
    for (std::size_t i = 0; i < input.size(); ++i)
        input[i] = sampleValue(data, size, i);
    const int shapes[][3] = {{2, rows, channels}, {1, rows, channels}, {0, rows, channels}, {1, rows + 1, channels}};
    for (const auto& shape : shapes)
    {
        murelAddTensor(model, input.data(), 3, shape);
        int resultShape[3] = {0, 0, 0};
        if (murelGetResultTensorShape(model, 3, resultShape))
        {
            const std::size_t count = static_cast<std::size_t>(resultShape[0]) *
                                      static_cast<std::size_t>(resultShape[1]) *
                                      static_cast<std::size_t>(resultShape[2]);
            std::vector<float> output(count + 1);
            murelGetTensor(model, output.data());
        }
    }
    murelResetModelState(model);
    MurelModelInfo info;
    murelGetModelInfo(model, &info);
    murelDeleteModel(model);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    NeuralModel<float> model;
    bool loaded = false;
    try
    {
        loaded = model.loadModel(std::make_shared<murel::MemoryInputStream>(data, size));
    }
    catch (const std::out_of_range&)
    {
    }
    catch (const std::length_error&)
    {
    }
    catch (const std::bad_variant_access&)
    {
    }
    if (!loaded)
        return 0;
    runProcess(model, data, size);
    runTensorFunctions(data, size, model.tensorRows, model.getNumOfInputTensorChannels());
    return 0;
}
