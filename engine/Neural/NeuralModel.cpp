#include "Neural/NeuralModel.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <map>
#include <stdexcept>

#include "DspCore/LastError.h"
#include "Neural/LayerFactory.h"
#include "Neural/ModelFile.h"
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
    switch (record.type)
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
    if (record.type == LayerType::selfAttention)
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

    if (!in.canSeek())
        reject("the model cannot be read from the start");
    if (in.getLength() > maxModelFileSize)
        reject("the file is larger than the " + std::to_string(maxModelFileSize >> 20) + " MB a model may have");
    const std::int64_t fileSize = std::max(in.getLength(), 0L);
    StateBudget budget(baseStateBudget + stateBudgetPerFileByte * fileSize);
    StateBudget work(std::min(baseWorkBudget + workBudgetPerFileByte * fileSize, maxWorkPerFrame));

    const ModelHeaderRecord header = modelfile::readHeader(in);
    const int version = header.version;
    modelId = header.modelId;
    sampleRate = header.sampleRate;
    numInputChannels = header.numInputChannels;
    inputPacking = static_cast<int>(header.inputPacking.code);
    numBins = header.inputPacking.numBins;
    lowBins = header.inputPacking.lowBins;
    numHistoryFrames = header.inputPacking.numOfHistoryFrames;
    if (header.inputPacking.code == PackingCode::decimated)
        decimation = header.inputPacking.decimation;
    processingMode = static_cast<int>(header.processingMode);
    numOutputChannels = header.numOutputChannels;
    numOutputs = header.numOutputs;
    outputNames.assign(header.outputNames.begin(), header.outputNames.end());
    outputPacking = static_cast<int>(header.outputPacking.code);
    fftSize = header.fftSize;
    windowSize = header.windowSize;
    hopSize = header.hopSize;

    if (numInputChannels < 1)
        reject("the model has " + std::to_string(numInputChannels) + " input channels");
    if (numBins < 1)
        reject("the input packing takes no bins, so the model never sees any sound");
    if (numHistoryFrames < 1 || decimation < 0)
        reject("the input packing asks for " + std::to_string(numHistoryFrames) + " history frames and decimation " +
               std::to_string(decimation));
    const std::int64_t spectrumElements = 2 * static_cast<std::int64_t>(numHistoryFrames) * numInputChannels * numBins;
    if (!budget.spend(spectrumElements) || !work.spend(spectrumElements))
        reject("the spectrum history is larger than a file of this size can justify");
    resetSpectrumHistory();

    if (inputPacking == 6)
        tensorRows = lowBins + (decimation == 0 ? 0 : (numBins - lowBins) / decimation);
    else
        tensorRows = numBins + 3 * lowBins;
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
        const std::string what =
            "layer " + std::to_string(i + 1) + " '" + name + "' (" + modelfile::getLayerTypeName(record.type) + ")";
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
