#pragma once

#include <complex>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "DspCore/Export.h"
#include "DspCore/Files.h"
#include "Format/ModelRecords.h"
#include "Neural/Tensor.h"

namespace murel
{

/** The frames a layer emits: rows and channels, and how many frames it emits per frame that
    enters the model (rateNumerator / rateDenominator, kept in lowest terms). Worked out once
    at load, from the model input [rows, channels] onwards, so that every layer can check that
    its weights fit what reaches it. */
struct MUREL_EXPORT FrameShape
{
    int rows = 0;
    int channels = 0;
    int rateNumerator = 1;
    int rateDenominator = 1;

    std::int64_t getNumOfElements() const { return static_cast<std::int64_t>(rows) * channels; }
    /** Multiplies the rate by multiplier / divisor. False when either is below 1 or the rate
        leaves the range a model can sensibly have. */
    bool scaleRate(int multiplier, int divisor);
    bool hasSameRate(const FrameShape& other) const
    {
        return rateNumerator == other.rateNumerator && rateDenominator == other.rateDenominator;
    }
};

template <typename T>
class BaseLayer;

/** Every layer of a model by name. Only the float alternative is ever created. */
using LayerEntry = std::variant<std::shared_ptr<BaseLayer<float>>, std::shared_ptr<BaseLayer<std::complex<float>>>>;
using LayerMap = std::map<std::string, LayerEntry>;

/** A node of the streaming layer graph. A layer receives frames [time, rows, channels] by push,
    computes what they allow and pushes its results on to its following layers, depth first,
    in registration order. push returns true when some tensor reached the model output during
    the call. Layers never own each other; the model's LayerMap owns them all. */
template <typename T>
class MUREL_EXPORT BaseLayer
{
public:
    BaseLayer() = default;
    /** Registers this layer as a consumer of the layer named source (std::out_of_range when there
        is none). */
    BaseLayer(const LayerMap& layers, const std::string& source, LayerType type);
    virtual ~BaseLayer();

    BaseLayer(const BaseLayer&) = delete;
    BaseLayer& operator=(const BaseLayer&) = delete;

    /** Default: ignores the input. */
    virtual bool push(const TensorView<const T>& input, BaseLayer<T>* from);
    /** Forgets all streaming state. Default: nothing to forget. */
    virtual void reset();
    /** Frames (at the model input rate) from a frame entering here until its effect leaves the
        graph, for k model input frames per frame at this point. Default: the largest latency of
        the following layers, 0 without any. */
    virtual int measureLatency(int k);
    /** Tells the layer that a frame passed upstream without data for it. Default: passes the
        call on to every following layer. */
    virtual void triggerForward();

    /** Load-time check: given the frames that reach this layer (one per source, in source
        order), works out the frames it emits. Returns false when the layer cannot take them
        (weights of another size, rows out of range, ...). Default: one input, passed on as it
        is. */
    virtual bool propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape);
    /** Floats the layer keeps besides one output frame (histories, accumulators, queues of a
        fixed depth), known once propagateShape succeeded; the loader bounds their sum. */
    virtual std::int64_t getNumOfStateElements() const { return 0; }

    LayerType getType() const { return type; }
    /** The layers this one reads, in record order (a source may repeat). */
    const std::vector<BaseLayer<T>*>& getSources() const { return sources; }
    const std::list<BaseLayer<T>*>& getFollowingLayers() const { return followingLayers; }
    /** The frames this layer emits, as set by the loader. */
    const FrameShape& getFrameShape() const { return frameShape; }
    void setFrameShape(const FrameShape& shape) { frameShape = shape; }

protected:
    /** Looks a source up by name: std::out_of_range when there is none, std::bad_variant_access
        when it is not a layer of this element type. */
    static BaseLayer<T>* findLayer(const LayerMap& layers, const std::string& name);
    /** Adds source to the sources and, once per source layer, this layer to its consumers. */
    void connectTo(BaseLayer<T>* source);
    /** Pushes output to every following layer in order; the OR of their results. */
    bool pushToFollowingLayers(const TensorView<const T>& output);
    void triggerFollowingLayers();
    /** The largest measureLatency(k) of the following layers, 0 without any. */
    int measureFollowingLatency(int k);

    std::list<BaseLayer<T>*> followingLayers;
    LayerType type = LayerType::none;
    std::vector<BaseLayer<T>*> sources;
    FrameShape frameShape;
};

/** The model's entry: passes every tensor on unchanged. */
template <typename T>
class MUREL_EXPORT InputLayer : public BaseLayer<T>
{
public:
    InputLayer() = default;
    bool push(const TensorView<const T>& input, BaseLayer<T>* from) override;
};

/** The model's exit: keeps every tensor that reaches it until the model collects them. */
template <typename T>
class MUREL_EXPORT OutputLayer : public BaseLayer<T>
{
public:
    /** An output fed by source. */
    explicit OutputLayer(BaseLayer<T>* source);
    /** Keeps a copy of input and returns true. */
    bool push(const TensorView<const T>& input, BaseLayer<T>* from) override;
    void reset() override;
    /** Empties results, keeping the list nodes and their storage for the next frames, so that a
        steady stream of results does not touch the heap. */
    void recycleResults();

    /** Tensors that arrived since the last collection, oldest first. */
    std::list<Tensor<T>> results;

private:
    std::list<Tensor<T>> spareResults;
};

/** Base of the layers with several inputs. Splits incoming tensors into single frames, queues
    them per input, and calls the multi-input push with one frame of every input, in input
    order, as soon as every queue holds one. */
template <typename T>
class MUREL_EXPORT BaseQueuedLayer : public BaseLayer<T>
{
public:
    struct InputQueue
    {
        std::list<Tensor<T>> tensors;
        BaseLayer<T>* source = nullptr;
        /** Nodes of frames already combined, reused for the next ones. */
        std::list<Tensor<T>> spare;
    };

    /** Inputs from the layers named, in order. */
    BaseQueuedLayer(const LayerMap& layers, const std::vector<std::string>& sourceNames, LayerType type);

    /** Queues the frames of input for every input fed by from (a source may feed several
        inputs); a sender that feeds none is ignored. */
    bool push(const TensorView<const T>& input, BaseLayer<T>* from) override;
    /** Empties every queue. */
    void reset() override;
    /** Checks that there is at least one input and that all inputs run at the same frame rate
        (anything else would queue without bound); the output takes the first input's shape.
        Subclasses call it first and then adjust the output. */
    bool propagateShape(const std::vector<FrameShape>& inputShapes, FrameShape& outputShape) override;

    /** Combines one frame [1, rows, channels] of every input, in input order. */
    virtual bool push(const std::vector<TensorView<const T>>& frames,
                      const std::vector<BaseLayer<T>*>& inputLayers) = 0;

    const std::vector<BaseLayer<T>*>& getInputs() const { return inputs; }
    const std::list<InputQueue>& getQueues() const { return queues; }

protected:
    std::vector<BaseLayer<T>*> inputs;
    std::list<InputQueue> queues;
    /** The frames handed to the multi-input push, one per input, reused from call to call. */
    std::vector<TensorView<const T>> readyFrames;
};

extern template class BaseLayer<float>;
extern template class InputLayer<float>;
extern template class OutputLayer<float>;
extern template class BaseQueuedLayer<float>;

} // namespace murel
