#pragma once

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "DspCore/Export.h"
#include "DspCore/Files.h"
#include "DspCore/Signals.h"
#include "Format/ModelRecords.h"
#include "Neural/Layers.h"
#include "Neural/Tensor.h"

namespace murel
{

/** One loaded network with its header values and its streaming state. loadModel reads a model
    file into a layer graph; process packs each spectrum into a tensor, runs it through the graph
    and unpacks what reached the output into mask frames. One thread at a time. A model owns
    its layer graph and streaming state, so it can be moved but not copied. */
template <typename T>
class MUREL_EXPORT NeuralModel
{
public:
    /** An empty model whose input feeds its output directly. */
    NeuralModel();
    virtual ~NeuralModel();
    NeuralModel(const NeuralModel&) = delete;
    NeuralModel& operator=(const NeuralModel&) = delete;
    NeuralModel(NeuralModel&&) = default;
    NeuralModel& operator=(NeuralModel&&) = default;

    /** Reads a model file from the start of stream. False for a file the engine cannot run
        safely (wrong magic or version, unknown codes, truncated data, sizes the file cannot
        back, shapes that do not fit, ...). A source name that names no loaded layer throws
        std::out_of_range, and a negative string length or tensor rank std::length_error. After a
        failure the model is to be discarded. */
    bool loadModel(std::shared_ptr<InputStream> stream);
    /** loadModel that says why: empty when the model loaded, else the reason (the record and
        what did not fit). The exceptions of loadModel carry their reason in what(). */
    std::string load(std::shared_ptr<InputStream> stream);

    /** Runs one spectrum through the network: the mask frames that left the graph during the
        call, oldest first. Throws std::runtime_error "Unknown packing format" for an input or
        output packing code that cannot be packed. */
    std::vector<ComplexSignal32> process(const ComplexSignal32& spectrum);
    /** process into the model's own mask frames: returns how many left the graph, read them
        with getMaskFrame. Once the first frames have passed, a call does not touch the heap;
        the frames are overwritten by the next call. */
    int processFrame(const ComplexSignalView& spectrum);
    ComplexSignalView getMaskFrame(int index) const { return maskFrames[static_cast<std::size_t>(index)]; }
    /** Every layer back to its state after loading, and a zeroed spectrum history. */
    void reset();

    /** Packs a spectrum history (oldest first) into the input tensor [1, tensorRows, C]. */
    Tensor<T> signalsToTensor(const std::vector<ComplexSignal32>& frames) const;
    /** Unpacks a collected output tensor into one mask frame of numOfSamples bins per index
        of its first axis. */
    std::vector<ComplexSignal32> tensorToSignals(const Tensor<T>& tensor, int numOfSamples) const;
    /** Joins the tensors that reached the output since the last call into one tensor
        [frames, rows, channels] (no axes when there were none) and forgets them. */
    Tensor<T> collectResults();
    /** collectResults into result, reusing its storage. */
    void collectResultsInto(Tensor<T>& result);
    /** Pushes a tensor [T, tensorRows, getNumOfInputTensorChannels()] into the input layer and
        returns collectResults(). Any other shape gives an empty result and changes nothing. */
    Tensor<T> pushTensor(const Tensor<T>& input);
    /** pushTensor into result, reusing its storage; result has no axes where pushTensor returns
        the empty tensor. */
    void pushTensorInto(const Tensor<T>& input, Tensor<T>& result);

    /** Channels of the input tensor: 2 x numInputChannels for the complex packings (codes 4
        and 6), numInputChannels x numOfHistoryFrames otherwise. */
    int getNumOfInputTensorChannels() const;

    /** The header as read by loadModel; every count is 0 before a model is loaded. */
    const ModelHeaderRecord& getHeader() const { return header; }

    // The header's values under the names callers of this class use; loadModel sets them from
    // the header record (which the engine itself reads), so they are never written elsewhere.
    int modelId = 0;
    double sampleRate = 0.0;
    int numInputChannels = 0;
    int inputPacking = 0;
    int numOutputChannels = 0;
    int outputPacking = 0;
    int numOutputs = 0;
    std::list<std::string> outputNames;
    int processingMode = 0;
    int fftSize = 0;
    int windowSize = 0;
    int hopSize = 0;
    int numBins = 0;
    int lowBins = 0;
    int decimation = 1;
    int numHistoryFrames = 1;

    LayerMap layers;
    std::shared_ptr<InputLayer<T>> inputLayer;
    std::shared_ptr<OutputLayer<T>> outputLayer;

    /** Frames between an input frame and its effect at the output. */
    int latency = 0;
    /** Continue masks above the packed bins at their smoothed magnitude instead of 0. */
    bool maskExtrapolationEnabled = true;
    std::list<ComplexSignal32> spectrumHistory;
    /** Rows of the input tensor. */
    int tensorRows = 0;

private:
    ModelHeaderRecord header;

    void readModel(const std::shared_ptr<InputStream>& stream);
    void exposeHeader();
    void makeEmptyGraph();
    void resetSpectrumHistory();
    template <typename Frames>
    void packFrames(const Frames& frames, Tensor<T>& tensor) const;
    void unpackFrame(const Tensor<T>& tensor, int index, int numOfSamples, ComplexSignal32& mask) const;

    // Per-frame storage of processFrame, reused from call to call.
    Tensor<T> packedInput;
    Tensor<T> joinedResults;
    std::vector<ComplexSignal32> maskFrames;
};

extern template class NeuralModel<float>;

} // namespace murel
