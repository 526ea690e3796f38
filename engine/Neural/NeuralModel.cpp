#include "Neural/NeuralModel.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <map>
#include <stdexcept>

#include "DspCore/LastError.h"
#include "Neural/LayerFactory.h"
#include "Neural/ModelReading.h"

namespace murel
{

namespace
{

// Limits for files the engine did not make. Real models stay far below them.
/** Longest chain of layers: push runs depth first, one call level per layer. */
constexpr int maxGraphDepth = 1024;
/** Paths from the input to the ends of the graph: latency measurement and forward triggers
    walk every one of them. */
constexpr std::int64_t maxNumOfGraphPaths = 1 << 16;
/** Floats of streaming state (frames, histories, queues of fixed depth) a model may keep:
    a fixed allowance plus an amount per byte of the file. */
constexpr std::int64_t baseStateBudget = 1 << 24;
constexpr std::int64_t stateBudgetPerFileByte = 8;

/** Model files beyond this are refused before anything is read: real models are a few
    megabytes, and every count in the file is checked against the bytes left, so the file size
    bounds everything the loader allocates. */
constexpr long maxModelFileSize = 1L << 30;

const char* const unknownPackingFormat = "Unknown packing format";

/** Ends the load with a reason for murelGetLastErrorMessage. */
[[noreturn]] void reject(const std::string& reason)
{
    throw ModelFormatError(reason);
}

std::string describeShape(const FrameShape& shape)
{
    return std::to_string(shape.rows) + " rows x " + std::to_string(shape.channels) + " channels";
}

struct PackingParameters
{
    int numBins = 0;
    int lowBins = 0;
    int numHistoryFrames = 1;
    int decimation = 1;
};

/** Reads the parameter block of a packing code; false for a code that has none or negative bin
    counts. */
bool readPackingParameters(InputStream& in, int code, PackingParameters& parameters)
{
    using namespace modelreading;
    switch (code)
    {
    case 1:
    case 4:
        parameters.numBins = readInt16(in);
        parameters.lowBins = 0;
        return parameters.numBins >= 0;
    case 2:
    case 5:
    case 6:
    {
        const int low = readInt16(in);
        const int high = readInt16(in);
        parameters.numBins = low + high;
        parameters.lowBins = low;
        if (code == 5)
        {
            parameters.numHistoryFrames = readInt16(in);
            readInt16(in);
        }
        if (code == 6)
            parameters.decimation = readInt8(in);
        return low >= 0 && high >= 0;
    }
    default:
        return false;
    }
}

bool isComplexPacking(int code)
{
    return code == 4 || code == 6;
}

/** Where a layer sits in the graph: its distance from the input and the number of paths that
    lead to it. */
struct GraphPosition
{
    int depth = 0;
    std::int64_t numOfPaths = 0;
};

/** Draws amounts from the state budget; false once it would be exceeded. */
class StateBudget
{
public:
    explicit StateBudget(std::int64_t floats) : remaining(floats) {}
    bool spend(std::int64_t floats)
    {
        if (floats < 0 || floats > remaining)
            return false;
        remaining -= floats;
        return true;
    }

private:
    std::int64_t remaining;
};

/** Works out what a new layer emits from its sources and places it in the graph; rejects the
    file when the layer cannot take its inputs or the graph grows beyond what a model can run. */
void placeLayer(BaseLayer<float>& layer, std::map<const BaseLayer<float>*, GraphPosition>& positions,
                StateBudget& budget)
{
    std::vector<FrameShape> inputShapes;
    std::vector<const BaseLayer<float>*> counted;
    GraphPosition position;
    for (const BaseLayer<float>* source : layer.getSources())
    {
        inputShapes.push_back(source->getFrameShape());
        const GraphPosition& sourcePosition = positions.at(source);
        position.depth = std::max(position.depth, sourcePosition.depth + 1);
        // A source that feeds several inputs is still a single edge of the graph.
        if (std::find(counted.begin(), counted.end(), source) == counted.end())
        {
            counted.push_back(source);
            position.numOfPaths += sourcePosition.numOfPaths;
        }
    }
    if (position.depth > maxGraphDepth)
        reject("the graph is deeper than " + std::to_string(maxGraphDepth) + " layers");
    if (position.numOfPaths > maxNumOfGraphPaths)
        reject("the graph has more than " + std::to_string(maxNumOfGraphPaths) + " paths from the input");

    FrameShape outputShape;
    if (!layer.propagateShape(inputShapes, outputShape))
    {
        std::string received;
        for (const FrameShape& shape : inputShapes)
            received += (received.empty() ? "" : " and ") + describeShape(shape);
        reject("its settings or weights do not fit the frames it receives (" + received + ")");
    }
    if (outputShape.rows < 0 || outputShape.channels < 0 || outputShape.getNumOfElements() > maxNumOfTensorElements)
        reject("it would emit frames of " + describeShape(outputShape));
    if (!budget.spend(outputShape.getNumOfElements()) || !budget.spend(layer.getNumOfStateElements()))
        reject("the graph keeps more state than a file of this size can justify");
    layer.setFrameShape(outputShape);
    positions[&layer] = position;
}

} // namespace

template <typename T>
NeuralModel<T>::NeuralModel()
{
    makeEmptyGraph();
}

template <typename T>
NeuralModel<T>::~NeuralModel() = default;

template <typename T>
void NeuralModel<T>::makeEmptyGraph()
{
    layers.clear();
    inputLayer = std::make_shared<InputLayer<T>>();
    outputLayer = std::make_shared<OutputLayer<T>>(inputLayer.get());
    layers["input"] = inputLayer;
    layers["output"] = outputLayer;
}

template <typename T>
bool NeuralModel<T>::loadModel(std::shared_ptr<InputStream> stream)
{
    bool loaded = false;
    try
    {
        loaded = stream != nullptr && readModel(stream);
    }
    catch (const ModelFormatError& error)
    {
        setLastErrorMessage(error.what());
        loaded = false;
    }
    catch (const std::exception& error)
    {
        setLastErrorMessageUnlessSet(error.what());
        makeEmptyGraph();
        throw;
    }
    catch (...)
    {
        makeEmptyGraph();
        throw;
    }
    // A graph that failed to load is never left half connected.
    if (!loaded)
        makeEmptyGraph();
    return loaded;
}

template <typename T>
bool NeuralModel<T>::readModel(const std::shared_ptr<InputStream>& stream)
{
    using namespace modelreading;
    InputStream& in = *stream;

    processingMode = 0;
    layers.clear();
    outputLayer.reset();
    inputLayer = std::make_shared<InputLayer<T>>();
    layers["input"] = inputLayer;
    outputNames.clear();
    spectrumHistory.clear();
    lowBins = 0;
    decimation = 1;
    latency = 0;

    if (!in.canSeek() || !in.setPosition(0))
        reject("the model cannot be read from the start");
    if (in.getLength() > maxModelFileSize)
        reject("the file is larger than the " + std::to_string(maxModelFileSize >> 20) + " MB a model may have");
    StateBudget budget(baseStateBudget + stateBudgetPerFileByte * std::max(in.getLength(), 0L));

    // The length of the magic comes first; anything else is no model file at all.
    const std::int64_t magicLength = readInt32(in);
    if (magicLength < 0)
        throw std::length_error("a negative string length");
    std::string magic(magicLength == 10 || magicLength == 11 ? static_cast<std::size_t>(magicLength) : 0, '\0');
    readBytes(in, magic.data(), static_cast<int>(magic.size()));
    if (magic != "KAVo.model" && magic != "MUREL.model")
        reject("not a model file (it does not start with \"MUREL.model\")");
    const int version = readInt32(in);
    // Newer files would have fields this reader does not know of.
    if (version <= 4099 || version > 4106)
        reject("format version " + std::to_string(version) + " is not supported (4100 to 4106 are)");

    modelId = readInt16(in);
    sampleRate = readFloat64(in);
    numInputChannels = readInt8(in);
    inputPacking = readInt8(in);
    numHistoryFrames = 1;
    PackingParameters input;
    if (!readPackingParameters(in, inputPacking, input))
        reject("input packing code " + std::to_string(inputPacking) + " is unknown or has negative bin counts");
    numBins = input.numBins;
    lowBins = input.lowBins;
    numHistoryFrames = input.numHistoryFrames;
    if (inputPacking == 6)
        decimation = input.decimation;
    if (numInputChannels < 1)
        reject("the model has " + std::to_string(numInputChannels) + " input channels");
    if (numBins < 1)
        reject("the input packing takes no bins, so the model never sees any sound");
    if (numHistoryFrames < 1 || decimation < 0)
        reject("the input packing asks for " + std::to_string(numHistoryFrames) + " history frames and decimation " +
               std::to_string(decimation));
    if (!budget.spend(2 * static_cast<std::int64_t>(numHistoryFrames) * numInputChannels * numBins))
        reject("the spectrum history is larger than a file of this size can justify");
    resetSpectrumHistory();

    processingMode = readInt8(in);
    numOutputChannels = readInt8(in);
    if (version <= 4101)
    {
        numOutputs = 1;
        outputNames = {"Processed", "Residual"};
    }
    else
    {
        numOutputs = readInt8(in);
        for (int i = 0; i <= numOutputs; ++i)
            outputNames.push_back(readString(in));
    }

    outputPacking = readInt8(in);
    PackingParameters ignored;
    if (!readPackingParameters(in, outputPacking, ignored))
        reject("output packing code " + std::to_string(outputPacking) + " is unknown or has negative bin counts");

    fftSize = readInt16(in);
    windowSize = version == 4100 ? fftSize : readInt16(in);
    hopSize = readInt16(in);

    if (inputPacking == 6)
        tensorRows = lowBins + (decimation == 0 ? 0 : (numBins - lowBins) / decimation);
    else
        tensorRows = numBins + 3 * lowBins;
    FrameShape inputShape;
    inputShape.rows = tensorRows;
    inputShape.channels = getNumOfInputTensorChannels();
    if (inputShape.getNumOfElements() > maxNumOfTensorElements || !budget.spend(inputShape.getNumOfElements()))
        reject("the input tensor of " + describeShape(inputShape) + " is larger than a file of this size can justify");
    inputLayer->setFrameShape(inputShape);

    const int numOfLayers = readInt32(in);
    if (numOfLayers < 0)
        reject("the layer count is negative");
    // A record holds a name and a type at least.
    if (static_cast<std::int64_t>(numOfLayers) * 6 > getNumOfRemainingBytes(in))
        reject("the file declares " + std::to_string(numOfLayers) + " layers but ends before their records");
    std::map<const BaseLayer<float>*, GraphPosition> positions;
    positions[inputLayer.get()] = GraphPosition{0, 1};
    for (int i = 0; i < numOfLayers; ++i)
    {
        const std::string name = readString(in);
        const int typeCode = readInt16(in);
        const std::string what =
            "layer " + std::to_string(i + 1) + " '" + name + "' (type " + std::to_string(typeCode) + ")";
        // A replaced entry would leave its layer registered as a consumer without an owner.
        if (name == "input" || name == "output" || layers.count(name) != 0)
            reject(what + ": the name is already taken");
        std::shared_ptr<BaseLayer<float>> layer;
        try
        {
            layer = createLayer(typeCode, layers, stream, version);
            if (layer == nullptr)
                reject("not a layer type this engine knows");
            placeLayer(*layer, positions, budget);
        }
        catch (const ModelFormatError& error)
        {
            reject(what + ": " + error.what());
        }
        catch (const std::out_of_range&)
        {
            setLastErrorMessage(what + ": it reads from a layer that is not defined before it");
            throw;
        }
        catch (const std::exception& error)
        {
            setLastErrorMessage(what + ": " + error.what());
            throw;
        }
        layers[name] = layer;
    }

    latency = inputLayer->measureLatency(1);

    try
    {
        outputLayer = std::make_shared<OutputLayer<T>>(layers, stream);
    }
    catch (const std::out_of_range&)
    {
        setLastErrorMessage("the model's output names a layer that does not exist");
        throw;
    }
    layers["output"] = outputLayer;

    // The unpacking must find its rows and columns in every output frame.
    const FrameShape& produced = outputLayer->getSources().front()->getFrameShape();
    if (produced.getNumOfElements() < 1)
        reject("the model's output frames are empty (" + describeShape(produced) + "), so it never outputs anything");
    const int columnsPerChannel = isComplexPacking(outputPacking) ? 2 : 1;
    std::int64_t rowsNeeded = 0;
    switch (outputPacking)
    {
    case 4:
        rowsNeeded = numBins;
        break;
    case 1:
    case 2:
        rowsNeeded = static_cast<std::int64_t>(numBins) + 3 * static_cast<std::int64_t>(lowBins);
        break;
    case 6:
        if (numBins > lowBins && decimation < 1)
            reject("the output packing decimates by " + std::to_string(decimation));
        // A last partial group reads one row more; it is read as zero when it is missing.
        rowsNeeded = lowBins + (numBins > lowBins ? (numBins - lowBins) / decimation : 0);
        break;
    default:
        break;
    }
    if (outputPacking != 5 && (produced.rows < rowsNeeded || produced.channels < columnsPerChannel))
        reject("the output packing needs " + std::to_string(rowsNeeded) + " rows and " +
               std::to_string(columnsPerChannel) + " channels, the graph delivers " + describeShape(produced));
    const std::int64_t framesPerCall =
        (static_cast<std::int64_t>(produced.rateNumerator) + produced.rateDenominator - 1) / produced.rateDenominator;
    if (!budget.spend(framesPerCall * produced.getNumOfElements()))
        reject("the output is larger than a file of this size can justify");
    return true;
}

template <typename T>
int NeuralModel<T>::getNumOfInputTensorChannels() const
{
    return isComplexPacking(inputPacking) ? 2 * numInputChannels : numInputChannels * numHistoryFrames;
}

template <typename T>
void NeuralModel<T>::resetSpectrumHistory()
{
    spectrumHistory.clear();
    for (int i = 0; i < numHistoryFrames; ++i)
    {
        ComplexSignal32 spectrum(numInputChannels, numBins);
        spectrum.setToZero();
        spectrumHistory.push_back(std::move(spectrum));
    }
}

template <typename T>
void NeuralModel<T>::reset()
{
    for (auto& entry : layers)
        std::get<std::shared_ptr<BaseLayer<T>>>(entry.second)->reset();
    resetSpectrumHistory();
}

template <typename T>
std::vector<ComplexSignal32> NeuralModel<T>::process(const ComplexSignal32& spectrum)
{
    spectrumHistory.push_back(spectrum);
    while (static_cast<int>(spectrumHistory.size()) > std::max(numHistoryFrames, 1))
        spectrumHistory.pop_front();
    const std::vector<ComplexSignal32> frames(spectrumHistory.begin(), spectrumHistory.end());
    const Tensor<T> packed = signalsToTensor(frames);
    inputLayer->push(packed, nullptr);
    return tensorToSignals(collectResults(), spectrum.getNumOfSamples());
}

template <typename T>
Tensor<T> NeuralModel<T>::collectResults()
{
    if (outputLayer == nullptr || outputLayer->results.empty())
        return Tensor<T>();
    auto axis = [](const Tensor<T>& tensor, std::size_t index)
    { return tensor.shape.size() > index ? tensor.shape[index] : 0; };
    int numOfFrames = 0;
    for (const Tensor<T>& result : outputLayer->results)
        numOfFrames += axis(result, 0);
    const Tensor<T>& first = outputLayer->results.front();
    Tensor<T> joined({numOfFrames, axis(first, 1), axis(first, 2)});
    const int capacity = joined.getNumOfElements();
    int offset = 0;
    for (const Tensor<T>& result : outputLayer->results)
    {
        const int count = std::min(result.getNumOfElements(), capacity - offset);
        if (count > 0)
            std::memcpy(joined.data->data + offset, result.getReadPointer(),
                        static_cast<std::size_t>(count) * sizeof(T));
        offset += std::max(count, 0);
    }
    outputLayer->results.clear();
    return joined;
}

template <typename T>
Tensor<T> NeuralModel<T>::pushTensor(const Tensor<T>& input)
{
    if (input.shape.size() != 3 || input.shape[0] < 0 || input.shape[1] != tensorRows ||
        input.shape[2] != getNumOfInputTensorChannels())
        return Tensor<T>();
    const int count = Tensor<T>::countElements(input.shape);
    if (count > 0 && (input.data == nullptr || input.data->size < count))
        return Tensor<T>();
    inputLayer->push(input, nullptr);
    return collectResults();
}

template <typename T>
Tensor<T> NeuralModel<T>::signalsToTensor(const std::vector<ComplexSignal32>& frames) const
{
    if (frames.empty())
        return Tensor<T>();
    const int code = inputPacking;
    const bool complexPacking = isComplexPacking(code);
    const int numOfColumns = getNumOfInputTensorChannels();
    const int rows = std::max(tensorRows, 0);
    Tensor<T> tensor({1, rows, numOfColumns});
    T* out = tensor.getWritePointer();
    auto cell = [&](int row, int column) -> T&
    {
        return out[static_cast<std::size_t>(row) * static_cast<std::size_t>(numOfColumns) +
                   static_cast<std::size_t>(column)];
    };

    for (const ComplexSignal32& frame : frames)
    {
        for (int column = 0; column < numOfColumns; ++column)
        {
            const int channel = complexPacking ? column / 2 : column;
            const bool imaginary = complexPacking && column % 2 == 1;
            // Missing channels and bins pack as zeros.
            const bool hasChannel = frame.hasStorage() && channel < frame.getNumOfChannels();
            const int available = hasChannel ? frame.getNumOfSamples() : 0;
            const std::complex<float>* bins = hasChannel ? frame.getReadPointer(channel) : nullptr;
            auto part = [&](int bin)
            {
                if (bin >= available)
                    return 0.0f;
                return imaginary ? bins[bin].imag() : bins[bin].real();
            };

            int b = 0;
            for (int r = 0; r < rows; ++r)
            {
                if (b >= available)
                {
                    for (; r < rows; ++r)
                        cell(r, column) = 0.0f;
                    break;
                }
                const std::complex<float> x = bins[b];
                if (code == 4 || (code == 6 && b < lowBins))
                {
                    cell(r, column) = part(b);
                    b += 1;
                }
                else if (code == 6)
                {
                    const int d = decimation;
                    float sum = 0.0f;
                    if (d > 0)
                    {
                        const float divisor = static_cast<float>(d);
                        for (int j = 0; j < d; ++j)
                            sum += part(b + j) / divisor;
                        b += d;
                    }
                    cell(r, column) = sum;
                }
                else if ((code == 1 || code == 2) && b >= lowBins)
                {
                    cell(r, column) = std::hypot(x.real(), x.imag());
                    b += 1;
                }
                else if (code == 1 || code == 2)
                {
                    switch (r % 4)
                    {
                    case 0:
                        cell(r, column) = std::max(x.real(), 0.0f);
                        break;
                    case 1:
                        cell(r, column) = std::max(x.imag(), 0.0f);
                        break;
                    case 2:
                        cell(r, column) = std::max(-x.real(), 0.0f);
                        break;
                    default:
                        cell(r, column) = std::max(-x.imag(), 0.0f);
                        b += 1;
                        break;
                    }
                }
                else
                {
                    throw std::runtime_error(unknownPackingFormat);
                }
            }
        }
    }
    return tensor;
}

template <typename T>
std::vector<ComplexSignal32> NeuralModel<T>::tensorToSignals(const Tensor<T>& tensor, int numOfSamples) const
{
    std::vector<ComplexSignal32> masks;
    if (tensor.shape.size() < 3 || tensor.isEmpty())
        return masks;
    const int code = outputPacking;
    const int columnsPerChannel = isComplexPacking(code) ? 2 : 1;
    const int numOfFrames = tensor.shape[0];
    const int numOfColumns = tensor.shape[2];
    const int numOfChannels = numOfColumns / columnsPerChannel;
    const int numOfBins = std::max(numOfSamples, 0);
    const std::int64_t count = tensor.getNumOfElements();
    const T* data = tensor.getReadPointer();
    constexpr float keep = 0.98f;
    constexpr float follow = 0.02f;

    masks.reserve(static_cast<std::size_t>(numOfFrames));
    for (int o = 0; o < numOfFrames; ++o)
    {
        const std::int64_t block = static_cast<std::int64_t>(o) * tensorRows * numOfColumns;
        // Rows past the end of the tensor read as zero.
        auto at = [&](std::int64_t row, int column)
        {
            const std::int64_t index = block + row * numOfColumns + column;
            return index >= 0 && index < count ? data[index] : 0.0f;
        };
        ComplexSignal32 mask(numOfChannels, numOfBins);
        for (int c = 0; c < numOfChannels; ++c)
        {
            std::complex<float>* out = mask.getWritePointer(c);
            const int column = c * columnsPerChannel;
            float level = 0.0f;
            std::int64_t r = 0;
            for (int j = 0; j < numOfBins; ++j)
            {
                std::complex<float> value;
                if (j >= numBins)
                {
                    value = {level, 0.0f};
                }
                else if (code == 4 || (code == 6 && j < lowBins))
                {
                    value = {at(r, column), at(r, column + 1)};
                    r += 1;
                }
                else if ((code == 1 || code == 2) && j < lowBins)
                {
                    value = {at(r, column) - at(r + 2, column), at(r + 1, column) - at(r + 3, column)};
                    r += 4;
                }
                else if (code == 1 || code == 2)
                {
                    value = {at(r, column), 0.0f};
                    r += 1;
                }
                else if (code == 6 && decimation >= 1)
                {
                    const int d = decimation;
                    const int q = (j - lowBins) % d;
                    const float w = static_cast<float>(q) / static_cast<float>(d);
                    const bool hasNext = j + d < numBins;
                    const float nextRe = hasNext ? at(r + 1, column) : 0.0f;
                    const float nextIm = hasNext ? at(r + 1, column + 1) : 0.0f;
                    value = {(1.0f - w) * at(r, column) + w * nextRe, (1.0f - w) * at(r, column + 1) + w * nextIm};
                    if (q == d - 1)
                        r += 1;
                }
                else if (code == 6)
                {
                    value = {0.0f, 0.0f};
                }
                else
                {
                    throw std::runtime_error(unknownPackingFormat);
                }
                if (maskExtrapolationEnabled)
                    level = keep * level + follow * std::abs(value);
                out[j] = value;
            }
        }
        masks.push_back(std::move(mask));
    }
    return masks;
}

template class NeuralModel<float>;

} // namespace murel
