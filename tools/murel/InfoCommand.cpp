#include "CommandSupport.h"
#include "EngineHandles.h"
#include "Failure.h"
#include "ModelReader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace murel::cli
{

namespace
{

using modelreader::LayerInfo;
using modelreader::ModelFileInfo;
using modelreader::PackingInfo;
using modelreader::TensorInfo;

std::string formatShape(const TensorInfo& tensor)
{
    if (tensor.numOfValues == 0)
        return tensor.role + " none";
    std::string text = tensor.role + " ";
    for (std::size_t axis = 0; axis < tensor.shape.size(); ++axis)
        text += (axis == 0 ? "" : "x") + std::to_string(tensor.shape[axis]);
    return text + (tensor.elementFormat == 0 ? " (f16)" : "");
}

std::string describePacking(const PackingInfo& packing)
{
    const std::vector<int>& p = packing.parameters;
    std::string text = std::to_string(packing.code) + " (" + modelreader::getPackingName(packing.code) + ")";
    switch (packing.code)
    {
    case 1:
    case 4:
        return text + ", " + std::to_string(p.at(0)) + " bins";
    case 2:
        return text + ", " + std::to_string(p.at(0)) + " + " + std::to_string(p.at(1)) + " bins";
    case 5:
        return text + ", " + std::to_string(p.at(0)) + " + " + std::to_string(p.at(1)) + " bins, " +
               std::to_string(p.at(2)) + " frames";
    case 6:
        return text + ", " + std::to_string(p.at(0)) + " + " + std::to_string(p.at(1)) + " bins, decimation " +
               std::to_string(p.at(2));
    default:
        return text;
    }
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

} // namespace

void runInfo(const InfoOptions& options, const CommandContext& context)
{
    // The engine decides whether the model loads; the tool's reader only describes the file.
    const ModelHandle model(options.model);
    ModelFileInfo file;
    try
    {
        file = modelreader::readModelFile(options.model);
    }
    catch (const std::exception& error)
    {
        throw Failure("cannot describe model " + quote(options.model) + ": " + error.what());
    }
    const MurelModelInfo& engineInfo = model.getInfo();
    const double rate = options.sampleRate > 0.0 ? options.sampleRate : engineInfo.sampleRate;
    const int numOfChannels = options.numOfChannels > 0 ? options.numOfChannels : engineInfo.numOfChannels;
    if (options.sampleRate < 0.0 || options.numOfChannels < 0)
        throw UsageFailure("the rate and the channel count must be positive");
    const ProcessorHandle processor({options.model}, numOfChannels, rate);

    std::ostream& out = context.out;
    printField(out, "Model", options.model);
    printField(out, "File",
               formatCount(file.fileSize) + " bytes, " + file.magic + " format version " +
                   std::to_string(file.version) + ", model id " + std::to_string(file.modelId));
    printField(out, "Sample rate", formatRate(file.sampleRate) + " Hz");
    printField(out, "Channels",
               std::to_string(file.numInputChannels) + " in, " + std::to_string(file.numOutputChannels) + " out");
    printField(out, "Output",
               file.processingMode == 0 ? "masks (processing mode 0)"
                                        : "spectra (processing mode " + std::to_string(file.processingMode) + ")");
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
    printField(out, "Parameters",
               formatCount(file.getNumOfParameters()) + " in " + std::to_string(file.layers.size()) + " layers");
    if (file.numOfTrailingBytes > 0)
        printField(out, "Note", formatCount(file.numOfTrailingBytes) + " bytes after the graph are not used");

    out << "\nLayers\n";
    std::vector<std::vector<std::string>> rows = {{"NAME", "TYPE", "SOURCES", "WEIGHTS", "PARAMETERS", "SETTINGS"}};
    for (const LayerInfo& layer : file.layers)
    {
        std::string sources;
        for (const std::string& source : layer.sources)
            sources += (sources.empty() ? "" : ", ") + source;
        std::string weights;
        for (const TensorInfo& tensor : layer.tensors)
            weights += (weights.empty() ? "" : ", ") + formatShape(tensor);
        std::string settings;
        for (const auto& [name, value] : layer.settings)
            settings += (settings.empty() ? "" : " ") + name + "=" + value;
        rows.push_back({layer.name, modelreader::getLayerTypeName(layer.type), sources, weights.empty() ? "-" : weights,
                        formatCount(layer.getNumOfParameters()), settings});
    }
    rows.push_back({"output", "Output", file.outputSource, "-", "0", ""});
    printTable(out, rows);
}

} // namespace murel::cli
