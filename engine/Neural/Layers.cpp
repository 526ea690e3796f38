#include "Neural/Layers.h"

#include <algorithm>
#include <numeric>

namespace murel
{

namespace
{

// Beyond this, rates come only from nonsense chains of strides.
constexpr std::int64_t maxRateTerm = 1 << 16;

} // namespace

bool FrameShape::scaleRate(int multiplier, int divisor)
{
    if (multiplier < 1 || divisor < 1)
        return false;
    std::int64_t numerator = static_cast<std::int64_t>(rateNumerator) * multiplier;
    std::int64_t denominator = static_cast<std::int64_t>(rateDenominator) * divisor;
    const std::int64_t divisorOfBoth = std::gcd(numerator, denominator);
    numerator /= divisorOfBoth;
    denominator /= divisorOfBoth;
    if (numerator > maxRateTerm || denominator > maxRateTerm)
        return false;
    rateNumerator = static_cast<int>(numerator);
    rateDenominator = static_cast<int>(denominator);
    return true;
}

template <typename T>
BaseLayer<T>::BaseLayer(const LayerMap& layers, const std::string& source, LayerType layerType)
{
    connectTo(findLayer(layers, source));
    type = layerType;
}

template <typename T>
BaseLayer<T>::~BaseLayer() = default;

template <typename T>
bool BaseLayer<T>::push(const TensorView<const T>&, BaseLayer<T>*)
{
    return false;
}

template <typename T>
void BaseLayer<T>::reset()
{
}

template <typename T>
int BaseLayer<T>::measureLatency(int k)
{
    return measureFollowingLatency(k);
}

template <typename T>
void BaseLayer<T>::triggerForward()
{
    triggerFollowingLayers();
}

template <typename T>
bool BaseLayer<T>::propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape)
{
    if (inputShapes.size() != 1)
        return false;
    outputShape = inputShapes.front();
    return true;
}

template <typename T>
BaseLayer<T>* BaseLayer<T>::findLayer(const LayerMap& layers, const std::string& name)
{
    return std::get<std::shared_ptr<BaseLayer<T>>>(layers.at(name)).get();
}

template <typename T>
void BaseLayer<T>::connectTo(BaseLayer<T>* source)
{
    sources.push_back(source);
    auto& consumers = source->followingLayers;
    if (std::find(consumers.begin(), consumers.end(), this) == consumers.end())
        consumers.push_back(this);
}

template <typename T>
bool BaseLayer<T>::pushToFollowingLayers(const TensorView<const T>& output)
{
    bool reachedOutput = false;
    for (BaseLayer<T>* layer : followingLayers)
        reachedOutput = layer->push(output, this) || reachedOutput;
    return reachedOutput;
}

template <typename T>
void BaseLayer<T>::triggerFollowingLayers()
{
    for (BaseLayer<T>* layer : followingLayers)
        layer->triggerForward();
}

template <typename T>
int BaseLayer<T>::measureFollowingLatency(int k)
{
    int latency = 0;
    bool first = true;
    for (BaseLayer<T>* layer : followingLayers)
    {
        const int candidate = layer->measureLatency(k);
        latency = first ? candidate : std::max(latency, candidate);
        first = false;
    }
    return latency;
}

template <typename T>
bool InputLayer<T>::push(const TensorView<const T>& input, BaseLayer<T>*)
{
    return this->pushToFollowingLayers(input);
}

template <typename T>
OutputLayer<T>::OutputLayer(BaseLayer<T>* source)
{
    this->connectTo(source);
    this->type = LayerType::output;
}

template <typename T>
bool OutputLayer<T>::push(const TensorView<const T>& input, BaseLayer<T>*)
{
    // The sender overwrites its frame on its next push: the result is copied into a node whose
    // storage an earlier result left behind.
    if (spareResults.empty())
        results.emplace_back();
    else
        results.splice(results.end(), spareResults, spareResults.begin());
    results.back().assign(input);
    return true;
}

template <typename T>
void OutputLayer<T>::reset()
{
    // The nodes are kept for the frames after the reset.
    recycleResults();
}

template <typename T>
void OutputLayer<T>::recycleResults()
{
    spareResults.splice(spareResults.end(), results);
}

template <typename T>
BaseQueuedLayer<T>::BaseQueuedLayer(const LayerMap& layers, const std::vector<std::string>& sourceNames,
                                    LayerType layerType)
{
    for (const std::string& name : sourceNames)
    {
        BaseLayer<T>* source = this->findLayer(layers, name);
        this->connectTo(source);
        queues.emplace_back().source = source;
        inputs.push_back(source);
    }
    this->type = layerType;
}

template <typename T>
bool BaseQueuedLayer<T>::push(const TensorView<const T>& input, BaseLayer<T>* from)
{
    if (std::find(inputs.begin(), inputs.end(), from) == inputs.end())
        return false;

    const int numOfFrames = input.data != nullptr ? input.shape[0] : 0;
    const int rows = input.shape[1];
    const int channels = input.shape[2];
    for (int t = 0; t < numOfFrames; ++t)
        for (InputQueue& queue : queues)
        {
            if (queue.source != from)
                continue;
            // A node of an earlier frame carries this one in the storage it kept.
            if (queue.spare.empty())
                queue.tensors.emplace_back();
            else
                queue.tensors.splice(queue.tensors.end(), queue.spare, queue.spare.begin());
            queue.tensors.back().assign(TensorView<const T>(input.getFrame(t), 1, rows, channels));
        }

    std::size_t numOfReady = queues.empty() ? 0 : queues.front().tensors.size();
    for (const InputQueue& queue : queues)
        numOfReady = std::min(numOfReady, queue.tensors.size());

    bool reachedOutput = false;
    readyFrames.resize(queues.size());
    for (std::size_t i = 0; i < numOfReady; ++i)
    {
        std::size_t q = 0;
        for (InputQueue& queue : queues)
        {
            // The node's storage stays untouched until the next push queues into it.
            readyFrames[q] = queue.tensors.front();
            queue.spare.splice(queue.spare.end(), queue.tensors, queue.tensors.begin());
            ++q;
        }
        reachedOutput = push(readyFrames, inputs) || reachedOutput;
    }
    return reachedOutput;
}

template <typename T>
void BaseQueuedLayer<T>::reset()
{
    for (InputQueue& queue : queues)
        queue.spare.splice(queue.spare.end(), queue.tensors);
}

template <typename T>
bool BaseQueuedLayer<T>::propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape)
{
    if (inputShapes.empty())
        return false;
    for (const FrameShape& shape : inputShapes)
        if (!shape.hasSameRate(inputShapes.front()))
            return false;
    outputShape = inputShapes.front();
    return true;
}

template class BaseLayer<float>;
template class InputLayer<float>;
template class OutputLayer<float>;
template class BaseQueuedLayer<float>;

} // namespace murel
