#include "CommandOptions.h"
#include "CommandSupport.h"
#include "EngineHandles.h"
#include "Failure.h"
#include "ManPage.h"

#include <CLI/CLI.hpp>

#include "DspCore/AudioFormat.h"
#include "DspCore/BaseSpectralProcessor.h"
#include "DspCore/Signals.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <list>

namespace murel::cli
{

namespace
{

std::string formatShape(const std::string& role, const StoredTensor& tensor)
{
    if (tensor.values.getNumOfElements() == 0)
        return role + " none";
    std::string text = role + " ";
    for (std::size_t axis = 0; axis < tensor.values.shape.size(); ++axis)
        text += (axis == 0 ? "" : "x") + std::to_string(tensor.values.shape[axis]);
    return text + (tensor.isHalfFloat ? " (f16)" : "");
}

std::string describePacking(const PackingRecord& packing)
{
    const int code = static_cast<int>(packing.code);
    std::string text = std::to_string(code) + " (" + modelfile::getPackingName(packing.code) + ")";
    switch (packing.code)
    {
    case PackingCode::magnitudes:
    case PackingCode::realAndImaginary:
        return text + ", " + std::to_string(packing.numBins) + " bins";
    case PackingCode::splitMagnitudes:
        return text + ", " + std::to_string(packing.lowBins) + " + " + std::to_string(packing.highBins) + " bins";
    case PackingCode::history:
        return text + ", " + std::to_string(packing.lowBins) + " + " + std::to_string(packing.highBins) + " bins, " +
               std::to_string(packing.numOfHistoryFrames) + " frames";
    case PackingCode::decimated:
        return text + ", " + std::to_string(packing.lowBins) + " + " + std::to_string(packing.highBins) +
               " bins, decimation " + std::to_string(packing.decimation);
    }
    return text;
}

std::int64_t countParameters(const LayerRecord& layer)
{
    std::int64_t count = 0;
    for (const auto& [role, tensor] : layer.getTensors())
        count += tensor->values.getNumOfElements();
    return count;
}

std::string formatMilliseconds(double samples, double sampleRate)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", 1000.0 * samples / sampleRate);
    return text;
}

std::string formatCount(std::int64_t count)
{
    std::string digits = std::to_string(count);
    for (int position = static_cast<int>(digits.size()) - 3; position > 0; position -= 3)
        digits.insert(std::size_t(position), ",");
    return digits;
}

void printTable(std::ostream& out, const std::vector<std::vector<std::string>>& rows)
{
    std::vector<std::size_t> widths;
    for (const auto& row : rows)
    {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (std::size_t column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], row[column].size());
    }
    for (const auto& row : rows)
    {
        std::string line = " ";
        for (std::size_t column = 0; column < row.size(); ++column)
        {
            line += " " + row[column];
            if (column + 1 < row.size())
                line += std::string(widths[column] - row[column].size() + 1, ' ');
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out << line << "\n";
    }
}

void printField(std::ostream& out, const std::string& name, const std::string& value)
{
    out << name << std::string(name.size() < 14 ? 14 - name.size() : 1, ' ') << value << "\n";
}

/** The short-time frame with nothing between analysis and synthesis. */
class IdentityFrame : public BaseSpectralProcessor
{
public:
    using BaseSpectralProcessor::process;
    std::list<ComplexSignal32> process(const ComplexSignal32& spectrum) override { return {spectrum}; }
};

/** How far the processor's framing alone, with nothing in between, is from giving its input back,
    in dB of noise through it; below -100 for blockings that reconstruct. */
double measureFramingError(int fftSize, int windowSize, int hopSize)
{
    IdentityFrame frame;
    AudioFormat format;
    format.createDefaultChannelMapping(1);
    format.setSampleRate(48000.0);
    frame.setFormat(format, format);
    if (!frame.setBlocking(fftSize, windowSize, hopSize))
        return 0.0;
    const int length = 16 * windowSize + 16 * hopSize;
    Signal32 input(1, length);
    std::uint32_t state = 1;
    for (int i = 0; i < length; ++i)
    {
        state = state * 1664525u + 1013904223u;
        input.getWritePointer(0)[i] = static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
    }
    // The output stream is aligned with the input; the first and last windows are still filling.
    const Signal32 output = frame.process(input);
    double error = 0.0;
    double signal = 0.0;
    for (int i = windowSize; i < std::min(output.getNumOfSamples(), length) - windowSize; ++i)
    {
        const double x = static_cast<double>(input.getReadPointer(0)[i]);
        const double d = static_cast<double>(output.getReadPointer(0)[i]) - x;
        error += d * d;
        signal += x * x;
    }
    return signal > 0.0 ? 10.0 * std::log10(error / signal + 1e-30) : 0.0;
}

} // namespace

void runInfo(const InfoOptions& options, const CommandContext& context)
{
    // The engine decides whether the model loads; its reader describes the file.
    const ModelHandle model(options.model);
    const ModelFileDescription description = readModelDescription(options.model);
    const ModelHeaderRecord& file = description.records.header;
    const MurelModelInfo& engineInfo = model.getInfo();
    const double rate = options.sampleRate > 0.0 ? options.sampleRate : engineInfo.sampleRate;
    const int numOfChannels = options.numOfChannels > 0 ? options.numOfChannels : engineInfo.numOfChannels;
    if (options.sampleRate < 0.0 || options.numOfChannels < 0)
        throw UsageFailure("the rate and the channel count must be positive");
    const ProcessorHandle processor({options.model}, numOfChannels, rate);

    std::ostream& out = context.out;
    printField(out, "Model", options.model);
    printField(out, "File",
               formatCount(description.fileSize) + " bytes, " + file.magic + " format version " +
                   std::to_string(file.version) + ", model id " + std::to_string(file.modelId));
    printField(out, "Sample rate", formatRate(file.sampleRate) + " Hz");
    printField(out, "Channels",
               std::to_string(file.numInputChannels) + " in, " + std::to_string(file.numOutputChannels) + " out");
    const int mode = static_cast<int>(file.processingMode);
    printField(out, "Output",
               file.processingMode == ProcessingMode::masks ? "masks (processing mode 0)"
                                                            : "spectra (processing mode " + std::to_string(mode) + ")");
    printField(out, "Packing", "in " + describePacking(file.inputPacking));
    printField(out, "", "out " + describePacking(file.outputPacking));
    printField(out, "Blocking",
               "FFT " + std::to_string(file.fftSize) + ", window " + std::to_string(file.windowSize) + ", hop " +
                   std::to_string(file.hopSize) + " samples at " + formatRate(file.sampleRate) + " Hz");

    std::string busses;
    const std::vector<std::string>& busNames = processor.getBusNames();
    for (std::size_t bus = 0; bus < busNames.size(); ++bus)
        busses += (bus == 0 ? "" : ", ") + std::to_string(bus) + " " + busNames[bus] +
                  (bus + 1 == busNames.size() ? " (residual)" : "");
    printField(out, "Buses", busses);

    const int latency = processor.getLatency();
    printField(out, "Latency",
               std::to_string(engineInfo.modelLatency) + " frames in the network; " + std::to_string(latency) +
                   " samples = " + formatMilliseconds(latency, rate) + " in all at " + formatRate(rate) + " Hz, " +
                   std::to_string(numOfChannels) + (numOfChannels == 1 ? " channel" : " channels"));
    std::int64_t numOfParameters = 0;
    for (const LayerRecord& layer : description.records.layers)
        numOfParameters += countParameters(layer);
    printField(out, "Parameters",
               formatCount(numOfParameters) + " in " + std::to_string(description.records.layers.size()) + " layers");
    // A window and hop that do not overlap-add back to the input load and run, but colour every
    // output; say so rather than refuse, as a model may have been trained with that framing.
    const double framingError = measureFramingError(file.fftSize, file.windowSize, file.hopSize);
    if (framingError > -60.0)
    {
        char decibels[32];
        std::snprintf(decibels, sizeof decibels, "%.1f", framingError);
        printField(out, "Warning",
                   "window " + std::to_string(file.windowSize) + " and hop " + std::to_string(file.hopSize) +
                       " do not give the input back: the framing alone is off by " + decibels +
                       " dB (window = 2 x hop is exact, and so is window = 4 x hop = FFT size)");
    }
    if (description.numOfTrailingBytes > 0)
        printField(out, "Note", formatCount(description.numOfTrailingBytes) + " bytes after the graph are not used");

    out << "\nLayers\n";
    std::vector<std::vector<std::string>> rows = {{"NAME", "TYPE", "SOURCES", "WEIGHTS", "PARAMETERS", "SETTINGS"}};
    for (const LayerRecord& layer : description.records.layers)
    {
        std::string sources;
        for (const std::string& source : layer.getSources())
            sources += (sources.empty() ? "" : ", ") + source;
        std::string weights;
        const auto tensors = layer.getTensors();
        if (tensors.size() > 4) // a filter bank: one weight tensor per band
            weights = std::to_string(tensors.size()) + " band weight tensors";
        else
            for (const auto& [role, tensor] : tensors)
                weights += (weights.empty() ? "" : ", ") + formatShape(role, *tensor);
        std::string settings;
        for (const auto& [name, value] : layer.getSettings())
            settings += (settings.empty() ? "" : " ") + name + "=" + value;
        rows.push_back({layer.name, modelfile::getLayerTypeName(layer.getType()), sources,
                        weights.empty() ? "-" : weights, formatCount(countParameters(layer)), settings});
    }
    rows.push_back({"output", "Output", description.records.outputSource, "-", "0", ""});
    printTable(out, rows);
}

CLI::App* addInfoCommand(CLI::App& app, InfoOptions& options, CommonFlags& flags)
{
    CLI::App* info = app.add_subcommand("info", "Describe a model: header values, buses, latency and layer graph.");
    ManPage page;
    page.name = "murel info";
    page.summary = "describe a model file";
    page.synopsis = {"murel info MODEL [--rate RATE] [--channels N]"};
    page.description = "Prints the model's header values (sample rate, channel counts, whether it outputs masks or "
                       "spectra, how spectra are packed into its tensors, FFT, window and hop size), its buses (the "
                       "residual last), its latency, its parameter count and its layer graph: for every layer in file "
                       "order its name, type, source layers, weight shapes, parameter count and settings.\n"
                       "\n"
                       "The engine loads the model exactly as murel process would, and reports the latency: the frames "
                       "the network holds back, and the samples of the whole processor for audio at RATE with N "
                       "channels (by default the model's own). A rate other than the model's makes the engine scale "
                       "its frame sizes by a power of two, and the latency with them. The graph is read from the file "
                       "by murel itself.";
    page.sections = {{"EXIT STATUS", exitStatusText},
                     {"EXAMPLES", "  murel info denoiser.model\n  murel info denoiser.model --rate 96000"}};
    info->formatter(std::make_shared<ManPageFormatter>(page));
    flags.addTo(info);
    info->add_option("MODEL", options.model, "The model file.")->required()->type_name("MODEL");
    info->add_option("-r,--rate", options.sampleRate,
                     "Sample rate in Hz for the latency in samples. Default: the model's.")
        ->check(getPositiveCheck())
        ->type_name("RATE");
    info->add_option("-c,--channels", options.numOfChannels,
                     "Channel count for the latency in samples. Default: the model's.")
        ->check(getPositiveCheck())
        ->type_name("N");
    return info;
}

} // namespace murel::cli
