#include "Neural/NeuralModel.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <map>
#include <stdexcept>

#include "Neural/LayerFactory.h"
#include "Neural/ModelReading.h"
#include "Neural/SpectralPacking.h"

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

struct PackingParameters
{
    int numBins = 0;
    int lowBins = 0;
    int numHistoryFrames = 1;
    int decimation = 1;
};

/** Reads the parameter block of a packing code; false for a code that has none. */
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

/** Works out what a new layer emits from its sources and places it in the graph; false when it
    cannot take its inputs or the graph grows beyond what a model can run. */
bool placeLayer(BaseLayer<float>& layer, std::map<const BaseLayer<float>*, GraphPosition>& positions,
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
    if (position.depth > maxGraphDepth || position.numOfPaths > maxNumOfGraphPaths)
        return false;

    FrameShape outputShape;
    if (!layer.propagateShape(inputShapes, outputShape))
        return false;
    if (outputShape.rows < 0 || outputShape.channels < 0 || outputShape.getNumOfElements() > maxNumOfTensorElements)
        return false;
    if (!budget.spend(outputShape.getNumOfElements()) || !budget.spend(layer.getNumOfStateElements()))
        return false;
    layer.setFrameShape(outputShape);
    positions[&layer] = position;
    return true;
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
    catch (const ModelFormatError&)
    {
        loaded = false;
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
        return false;
    StateBudget budget(baseStateBudget + stateBudgetPerFileByte * std::max(in.getLength(), 0L));

    const std::string magic = readString(in);
    if (magic != "KAVo.model" && magic != "MUREL.model")
        return false;
    const int version = readInt32(in);
    // Newer files would have fields this reader does not know of.
    if (version <= 4099 || version > 4106)
        return false;

    modelId = readInt16(in);
    sampleRate = readFloat64(in);
    numInputChannels = readInt8(in);
    inputPacking = readInt8(in);
    numHistoryFrames = 1;
    PackingParameters input;
    if (!readPackingParameters(in, inputPacking, input))
        return false;
    numBins = input.numBins;
    lowBins = input.lowBins;
    numHistoryFrames = input.numHistoryFrames;
    if (inputPacking == 6)
        decimation = input.decimation;
    if (numInputChannels < 1 || numHistoryFrames < 1 || decimation < 0)
        return false;
    if (!budget.spend(2 * static_cast<std::int64_t>(numHistoryFrames) * numInputChannels * numBins))
        return false;
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
        return false;

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
        return false;
    inputLayer->setFrameShape(inputShape);

    const int numOfLayers = readInt32(in);
    if (numOfLayers < 0)
        return false;
    // A record holds a name and a type at least.
    requireBytes(in, numOfLayers, 6);
    std::map<const BaseLayer<float>*, GraphPosition> positions;
    positions[inputLayer.get()] = GraphPosition{0, 1};
    for (int i = 0; i < numOfLayers; ++i)
    {
        const std::string name = readString(in);
        const int typeCode = readInt16(in);
        // A replaced entry would leave its layer registered as a consumer without an owner.
        if (name == "input" || name == "output" || layers.count(name) != 0)
            return false;
        std::shared_ptr<BaseLayer<float>> layer = createLayer(typeCode, layers, stream, version);
        if (layer == nullptr || !placeLayer(*layer, positions, budget))
            return false;
        layers[name] = layer;
    }

    latency = inputLayer->measureLatency(1);

    outputLayer = std::make_shared<OutputLayer<T>>(layers, stream);
    layers["output"] = outputLayer;

    // The unpacking must find its rows and columns in every output frame.
    const FrameShape& produced = outputLayer->getSources().front()->getFrameShape();
    const int columnsPerChannel = packing::isComplexPacking(outputPacking) ? 2 : 1;
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
            return false;
        // A last partial group reads one row more; it is read as zero when it is missing.
        rowsNeeded = lowBins + (numBins > lowBins ? (numBins - lowBins) / decimation : 0);
        break;
    default:
        break;
    }
    if (outputPacking != 5 && (produced.rows < rowsNeeded || produced.channels < columnsPerChannel))
        return false;
    const std::int64_t framesPerCall =
        (static_cast<std::int64_t>(produced.rateNumerator) + produced.rateDenominator - 1) / produced.rateDenominator;
    return budget.spend(framesPerCall * produced.getNumOfElements());
}

template <typename T>
int NeuralModel<T>::getNumOfInputTensorChannels() const
{
    return packing::isComplexPacking(inputPacking) ? 2 * numInputChannels : numInputChannels * numHistoryFrames;
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
    const int numOfFrames = processFrame(spectrum);
    std::vector<ComplexSignal32> masks;
    masks.reserve(static_cast<std::size_t>(numOfFrames));
    for (int i = 0; i < numOfFrames; ++i)
    {
        // Copies: the model's own frames are overwritten by the next call.
        const ComplexSignal32& frame = getMaskFrame(i);
        ComplexSignal32 mask(frame.getNumOfChannels(), frame.getNumOfSamples());
        for (int c = 0; c < frame.getNumOfChannels(); ++c)
            std::copy_n(frame.getReadPointer(c), frame.getNumOfSamples(), mask.getWritePointer(c));
        masks.push_back(std::move(mask));
    }
    return masks;
}

template <typename T>
int NeuralModel<T>::processFrame(const ComplexSignal32& spectrum)
{
    // The oldest history frame carries the newest spectrum: a copy of the bins the packing
    // reads, channels and bins the spectrum lacks as zeros.
    if (spectrumHistory.empty())
        spectrumHistory.emplace_back();
    spectrumHistory.splice(spectrumHistory.end(), spectrumHistory, spectrumHistory.begin());
    ComplexSignal32& newest = spectrumHistory.back();
    const int numOfBins = std::max(numBins, 0);
    newest.resizeView(numInputChannels, numOfBins);
    const int channels = spectrum.hasStorage() ? std::min(spectrum.getNumOfChannels(), numInputChannels) : 0;
    const int available = std::clamp(spectrum.getNumOfSamples(), 0, numOfBins);
    for (int c = 0; c < numInputChannels; ++c)
    {
        std::complex<float>* row = newest.getWritePointer(c);
        if (c < channels)
            std::copy_n(spectrum.getReadPointer(c), available, row);
        std::fill(row + (c < channels ? available : 0), row + numOfBins, std::complex<float>());
    }

    if (packedInput.data != nullptr && packedInput.data.use_count() > 1)
        packedInput.data.reset();
    packFrames(spectrumHistory, packedInput);
    inputLayer->push(packedInput, nullptr);

    // A single result is unpacked where it lies; several are joined first.
    int numOfFrames = 0;
    const Tensor<T>* results = nullptr;
    if (outputLayer != nullptr && outputLayer->results.size() == 1)
    {
        results = &outputLayer->results.front();
    }
    else if (outputLayer != nullptr && !outputLayer->results.empty())
    {
        collectResultsInto(joinedResults);
        results = &joinedResults;
    }
    if (results != nullptr && results->shape.size() >= 3 && !results->isEmpty())
        numOfFrames = results->shape[0];
    if (maskFrames.size() < static_cast<std::size_t>(numOfFrames))
        maskFrames.resize(static_cast<std::size_t>(numOfFrames));
    for (int o = 0; o < numOfFrames; ++o)
        unpackFrame(*results, o, spectrum.getNumOfSamples(), maskFrames[static_cast<std::size_t>(o)]);
    if (outputLayer != nullptr)
        outputLayer->recycleResults();
    return numOfFrames;
}

template <typename T>
Tensor<T> NeuralModel<T>::collectResults()
{
    Tensor<T> joined;
    collectResultsInto(joined);
    return joined;
}

template <typename T>
void NeuralModel<T>::collectResultsInto(Tensor<T>& joined)
{
    if (outputLayer == nullptr || outputLayer->results.empty())
    {
        joined.shape.clear();
        return;
    }
    auto axis = [](const Tensor<T>& tensor, std::size_t index)
    { return tensor.shape.size() > index ? tensor.shape[index] : 0; };
    int numOfFrames = 0;
    for (const Tensor<T>& result : outputLayer->results)
        numOfFrames += axis(result, 0);
    const Tensor<T>& first = outputLayer->results.front();
    if (joined.data != nullptr && joined.data.use_count() > 1)
        joined.data.reset();
    joined.ensureShape(numOfFrames, axis(first, 1), axis(first, 2));
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
    outputLayer->recycleResults();
}

template <typename T>
Tensor<T> NeuralModel<T>::pushTensor(const Tensor<T>& input)
{
    Tensor<T> result;
    pushTensorInto(input, result);
    return result;
}

template <typename T>
void NeuralModel<T>::pushTensorInto(const Tensor<T>& input, Tensor<T>& result)
{
    result.shape.clear();
    if (input.shape.size() != 3 || input.shape[0] < 0 || input.shape[1] != tensorRows ||
        input.shape[2] != getNumOfInputTensorChannels())
        return;
    const int count = Tensor<T>::countElements(input.shape);
    if (count > 0 && (input.data == nullptr || input.data->size < count))
        return;
    inputLayer->push(input, nullptr);
    collectResultsInto(result);
}

template class NeuralModel<float>;

} // namespace murel
