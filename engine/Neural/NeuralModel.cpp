#include "Neural/NeuralModel.h"

#include <algorithm>
#include <complex>
#include <cstring>
#include <map>
#include <stdexcept>

#include "Format/ModelFile.h"
#include "Format/ModelReading.h"
#include "Neural/LayerFactory.h"

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
/** Work a model may ask for per input frame, in multiply-adds or element visits (estimated from
    the shapes, generously): a fixed allowance that every small model fits in, plus an amount per
    byte of the file, as weights are what makes real work (a convolution weight of 4 bytes is
    used once per output row, and spectra have at most a few hundred rows), and an absolute
    maximum. The reference denoiser of the benchmarks needs 2.3 million per frame, a real-time
    model at a 10 ms hop can afford some 10^8 on one core; 2^30 would take a second per frame, so
    no file that could ever run in real time is refused, and a file of a few bytes cannot ask for
    more than about 4 million. */
constexpr std::int64_t baseWorkBudget = 1 << 22;
constexpr std::int64_t workBudgetPerFileByte = 256;
constexpr std::int64_t maxWorkPerFrame = std::int64_t(1) << 30;

/** Model files beyond this are refused before anything is read: real models are a few
    megabytes, and every count in the file is checked against the bytes left, so the file size
    bounds everything the loader allocates. */
constexpr long maxModelFileSize = 1L << 30;

/** The header of a model that has not loaded: no channels, bins or sizes. */
ModelHeaderRecord emptyHeader()
{
    ModelHeaderRecord header;
    header.magic.clear();
    header.version = 0;
    header.sampleRate = 0.0;
    header.numInputChannels = 0;
    header.inputPacking = PackingRecord::plain(static_cast<PackingCode>(0), 0);
    header.numOutputChannels = 0;
    header.numOutputs = 0;
    header.outputNames.clear();
    header.outputPacking = header.inputPacking;
    header.fftSize = 0;
    header.windowSize = 0;
    header.hopSize = 0;
    return header;
}

/** Ends the load with a reason. */
[[noreturn]] void reject(const std::string& reason)
{
    throw ModelFormatError(reason);
}

std::string describeShape(const FrameShape& shape)
{
    return std::to_string(shape.rows) + " rows x " + std::to_string(shape.channels) + " channels";
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

/** A generous estimate of the multiply-adds and element visits of one layer per frame that enters
    the model: every frame in and out is visited, a convolution or attention weight is used once per
    row, a band weight once per channel, a smoothing kernel tap once per element, a dense weight
    once, and attention compares every pair of rows. */
std::int64_t estimateWork(const LayerRecord& record, const std::vector<FrameShape>& inputShapes,
                          const FrameShape& outputShape)
{
    std::int64_t elements = outputShape.getNumOfElements();
    int rows = outputShape.rows;
    for (const FrameShape& shape : inputShapes)
    {
        elements += shape.getNumOfElements();
        rows = std::max(rows, shape.rows);
    }
    std::int64_t perTensorElement = 1;
    switch (record.getType())
    {
    case LayerType::conv:
    case LayerType::transposedConv:
    case LayerType::selfAttention:
        perTensorElement = rows;
        break;
    case LayerType::frequencyRescale:
        perTensorElement = outputShape.channels;
        break;
    case LayerType::separableChannelConv:
    case LayerType::preNorm:
        perTensorElement = outputShape.getNumOfElements();
        break;
    default:
        break;
    }
    std::int64_t work = elements;
    for (const auto& [role, tensor] : record.getTensors())
        work +=
            static_cast<std::int64_t>(tensor->values.getNumOfElements()) * std::max<std::int64_t>(perTensorElement, 1);
    if (record.getType() == LayerType::selfAttention)
        work += static_cast<std::int64_t>(rows) * rows * outputShape.channels;
    const std::int64_t framesPerCall =
        (static_cast<std::int64_t>(outputShape.rateNumerator) + outputShape.rateDenominator - 1) /
        std::max(outputShape.rateDenominator, 1);
    return work * std::max<std::int64_t>(framesPerCall, 1);
}

/** Works out what a new layer emits from its sources and places it in the graph; rejects the
    file when the layer cannot take its inputs or the graph grows beyond what a model can run. */
void placeLayer(BaseLayer<float>& layer, const LayerRecord& record,
                std::map<const BaseLayer<float>*, GraphPosition>& positions, StateBudget& budget, StateBudget& work)
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
    if (!work.spend(estimateWork(record, inputShapes, outputShape)))
        reject("it asks for more work per frame than a file of this size can justify");
    layer.setFrameShape(outputShape);
    positions[&layer] = position;
}

} // namespace

template <typename T>
NeuralModel<T>::NeuralModel() : header(emptyHeader())
{
    makeEmptyGraph();
    exposeHeader();
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
    return load(std::move(stream)).empty();
}

template <typename T>
std::string NeuralModel<T>::load(std::shared_ptr<InputStream> stream)
{
    std::string reason = "no stream to read";
    try
    {
        if (stream != nullptr)
        {
            readModel(stream);
            reason.clear();
        }
    }
    catch (const ModelFormatError& error)
    {
        reason = error.what();
    }
    catch (...)
    {
        makeEmptyGraph();
        exposeHeader();
        throw;
    }
    // A graph that failed to load is never left half connected.
    if (!reason.empty())
        makeEmptyGraph();
    exposeHeader();
    return reason;
}

template <typename T>
void NeuralModel<T>::exposeHeader()
{
    modelId = header.modelId;
    sampleRate = header.sampleRate;
    numInputChannels = header.numInputChannels;
    inputPacking = static_cast<int>(header.inputPacking.code);
    numBins = header.inputPacking.numBins;
    lowBins = header.inputPacking.lowBins;
    numHistoryFrames = header.inputPacking.numOfHistoryFrames;
    decimation = header.inputPacking.code == PackingCode::decimated ? header.inputPacking.decimation : 1;
    processingMode = static_cast<int>(header.processingMode);
    numOutputChannels = header.numOutputChannels;
    numOutputs = header.numOutputs;
    outputNames.assign(header.outputNames.begin(), header.outputNames.end());
    outputPacking = static_cast<int>(header.outputPacking.code);
    fftSize = header.fftSize;
    windowSize = header.windowSize;
    hopSize = header.hopSize;
}

template <typename T>
void NeuralModel<T>::readModel(const std::shared_ptr<InputStream>& stream)
{
    using namespace modelreading;
    InputStream& in = *stream;

    header = emptyHeader();
    layers.clear();
    outputLayer.reset();
    inputLayer = std::make_shared<InputLayer<T>>();
    layers["input"] = inputLayer;
    spectrumHistory.clear();
    latency = 0;

    if (!in.canSeek())
        reject("the model cannot be read from the start");
    if (in.getLength() > maxModelFileSize)
        reject("the file is larger than the " + std::to_string(maxModelFileSize >> 20) + " MB a model may have");
    const std::int64_t fileSize = std::max(in.getLength(), 0L);
    StateBudget budget(baseStateBudget + stateBudgetPerFileByte * fileSize);
    StateBudget work(std::min(baseWorkBudget + workBudgetPerFileByte * fileSize, maxWorkPerFrame));

    header = modelfile::readHeader(in);
    const int version = header.version;
    const int channelCount = header.numInputChannels;
    const PackingRecord& input = header.inputPacking;
    const int binCount = input.numBins;
    const int lowBinCount = input.lowBins;
    const int decimationFactor = input.decimation;
    const int historyFrames = input.numOfHistoryFrames;

    if (channelCount < 1)
        reject("the model has " + std::to_string(channelCount) + " input channels");
    if (binCount < 1)
        reject("the input packing takes no bins, so the model never sees any sound");
    if (historyFrames < 1 || decimationFactor < 0)
        reject("the input packing asks for " + std::to_string(historyFrames) + " history frames and decimation " +
               std::to_string(decimationFactor));
    const std::int64_t spectrumElements = 2 * static_cast<std::int64_t>(historyFrames) * channelCount * binCount;
    if (!budget.spend(spectrumElements) || !work.spend(spectrumElements))
        reject("the spectrum history is larger than a file of this size can justify");
    resetSpectrumHistory();

    if (input.code == PackingCode::decimated)
        tensorRows = lowBinCount + (decimationFactor == 0 ? 0 : (binCount - lowBinCount) / decimationFactor);
    else
        tensorRows = binCount + 3 * lowBinCount;
    FrameShape inputShape;
    inputShape.rows = tensorRows;
    inputShape.channels = getNumOfInputTensorChannels();
    if (inputShape.getNumOfElements() > maxNumOfTensorElements || !budget.spend(inputShape.getNumOfElements()) ||
        !work.spend(inputShape.getNumOfElements()))
        reject("the input tensor of " + describeShape(inputShape) + " is larger than a file of this size can justify");
    inputLayer->setFrameShape(inputShape);

    std::map<const BaseLayer<float>*, GraphPosition> positions;
    positions[inputLayer.get()] = GraphPosition{0, 1};
    for (int i = 0; i < header.numOfLayers; ++i)
    {
        const LayerRecord record = modelfile::readLayer(in, version, i);
        const std::string& name = record.name;
        const std::string what = "layer " + std::to_string(i + 1) + " '" + name + "' (" +
                                 modelfile::getLayerTypeName(record.getType()) + ")";
        // A replaced entry would leave its layer registered as a consumer without an owner.
        if (name == "input" || name == "output" || layers.count(name) != 0)
            reject(what + ": the name is already taken");
        std::shared_ptr<BaseLayer<float>> layer;
        try
        {
            layer = createLayer(record, layers);
            if (layer == nullptr)
                reject("not a layer type this engine knows");
            placeLayer(*layer, record, positions, budget, work);
        }
        catch (const ModelFormatError& error)
        {
            reject(what + ": " + error.what());
        }
        catch (const std::out_of_range&)
        {
            throw std::out_of_range(what + ": it reads from a layer that is not defined before it");
        }
        catch (const std::length_error& error)
        {
            throw std::length_error(what + ": " + error.what());
        }
        layers[name] = layer;
    }

    latency = inputLayer->measureLatency(1);

    try
    {
        const std::string outputSource = readString(in);
        outputLayer =
            std::make_shared<OutputLayer<T>>(std::get<std::shared_ptr<BaseLayer<T>>>(layers.at(outputSource)).get());
    }
    catch (const std::out_of_range&)
    {
        throw std::out_of_range("the model's output names a layer that does not exist");
    }
    layers["output"] = outputLayer;

    // The unpacking must find its rows and columns in every output frame.
    const FrameShape& produced = outputLayer->getSources().front()->getFrameShape();
    if (produced.getNumOfElements() < 1)
        reject("the model's output frames are empty (" + describeShape(produced) + "), so it never outputs anything");
    const PackingCode outputRecord = header.outputPacking.code;
    const int columnsPerChannel = isComplexPacking(outputRecord) ? 2 : 1;
    std::int64_t rowsNeeded = 0;
    switch (outputRecord)
    {
    case PackingCode::realAndImaginary:
        rowsNeeded = binCount;
        break;
    case PackingCode::magnitudes:
    case PackingCode::splitMagnitudes:
        rowsNeeded = static_cast<std::int64_t>(binCount) + 3 * static_cast<std::int64_t>(lowBinCount);
        break;
    case PackingCode::decimated:
        if (binCount > lowBinCount && decimationFactor < 1)
            reject("the output packing decimates by " + std::to_string(decimationFactor));
        // A last partial group reads one row more; it is read as zero when it is missing.
        rowsNeeded = lowBinCount + (binCount > lowBinCount ? (binCount - lowBinCount) / decimationFactor : 0);
        break;
    case PackingCode::history:
        break;
    }
    if (outputRecord != PackingCode::history && (produced.rows < rowsNeeded || produced.channels < columnsPerChannel))
        reject("the output packing needs " + std::to_string(rowsNeeded) + " rows and " +
               std::to_string(columnsPerChannel) + " channels, the graph delivers " + describeShape(produced));
    const std::int64_t framesPerCall =
        (static_cast<std::int64_t>(produced.rateNumerator) + produced.rateDenominator - 1) / produced.rateDenominator;
    if (!budget.spend(framesPerCall * produced.getNumOfElements()))
        reject("the output is larger than a file of this size can justify");
}

template <typename T>
int NeuralModel<T>::getNumOfInputTensorChannels() const
{
    const PackingRecord& input = header.inputPacking;
    return isComplexPacking(input.code) ? 2 * header.numInputChannels
                                        : header.numInputChannels * input.numOfHistoryFrames;
}

template <typename T>
void NeuralModel<T>::resetSpectrumHistory()
{
    const int channelCount = header.numInputChannels;
    const int binCount = header.inputPacking.numBins;
    const int historyFrames = header.inputPacking.numOfHistoryFrames;
    // In place when the history has its shape: a reset may come from an audio callback.
    if (static_cast<int>(spectrumHistory.size()) == historyFrames &&
        std::all_of(spectrumHistory.begin(), spectrumHistory.end(),
                    [&](const ComplexSignal32& spectrum)
                    {
                        return spectrum.getNumOfChannels() == channelCount && spectrum.getNumOfSamples() == binCount &&
                               spectrum.getUseCount() == 1;
                    }))
    {
        for (ComplexSignal32& spectrum : spectrumHistory)
            spectrum.setToZero();
        return;
    }
    spectrumHistory.clear();
    for (int i = 0; i < historyFrames; ++i)
        spectrumHistory.emplace_back(channelCount, binCount).setToZero();
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
        const ComplexSignalView frame = getMaskFrame(i);
        ComplexSignal32& mask = masks.emplace_back(frame.getNumOfChannels(), frame.getNumOfSamples());
        for (int c = 0; c < frame.getNumOfChannels(); ++c)
            std::copy_n(frame.getReadPointer(c), frame.getNumOfSamples(), mask.getWritePointer(c));
    }
    return masks;
}

template <typename T>
int NeuralModel<T>::processFrame(const ComplexSignalView& spectrum)
{
    // The oldest history frame carries the newest spectrum: a copy of the bins the packing
    // reads, channels and bins the spectrum lacks as zeros.
    if (spectrumHistory.empty())
        spectrumHistory.emplace_back();
    spectrumHistory.splice(spectrumHistory.end(), spectrumHistory, spectrumHistory.begin());
    ComplexSignal32& newest = spectrumHistory.back();
    const int channelCount = header.numInputChannels;
    const int numOfBins = std::max(header.inputPacking.numBins, 0);
    newest.resizeView(channelCount, numOfBins);
    const int channels = spectrum.hasStorage() ? std::min(spectrum.getNumOfChannels(), channelCount) : 0;
    const int available = std::clamp(spectrum.getNumOfSamples(), 0, numOfBins);
    for (int c = 0; c < channelCount; ++c)
    {
        std::complex<float>* row = newest.getWritePointer(c);
        if (c < channels)
            std::copy_n(spectrum.getReadPointer(c), available, row);
        std::fill(row + (c < channels ? available : 0), row + numOfBins, std::complex<float>());
    }

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
    joined.ensureShape(numOfFrames, axis(first, 1), axis(first, 2));
    T* const target = joined.getWritePointer();
    const int capacity = joined.getNumOfElements();
    int offset = 0;
    for (const Tensor<T>& result : outputLayer->results)
    {
        const int count = std::min(result.getNumOfElements(), capacity - offset);
        if (count > 0)
            std::memcpy(target + offset, result.getReadPointer(), static_cast<std::size_t>(count) * sizeof(T));
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
