#include "Processor/MurelProcessor.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <utility>

#include "DspCore/VectorOps.h"
#include "Neural/LayerKernels.h"

namespace murel
{

namespace
{

float* floats(std::complex<float>* p)
{
    return reinterpret_cast<float*>(p);
}
const float* floats(const std::complex<float>* p)
{
    return reinterpret_cast<const float*>(p);
}

/** source in target's shape: rows copied when the channel counts agree, else copies of the
    channel average (or of the single channel); bins cut or padded with zeros, no channels
    giving silence. */
void matchChannels(const ComplexSignalView& source, ComplexSignal32& target)
{
    const int numOfChannels = target.getNumOfChannels();
    const int numOfBins = target.getNumOfSamples();
    const int sourceChannels = source.hasStorage() ? source.getNumOfChannels() : 0;
    const int bins = std::clamp(source.getNumOfSamples(), 0, numOfBins);
    const auto copyRow = [&](const std::complex<float>* from, int c)
    {
        std::complex<float>* row = target.getWritePointer(c);
        std::copy_n(from, bins, row);
        std::fill(row + bins, row + numOfBins, std::complex<float>());
    };
    if (sourceChannels == numOfChannels || sourceChannels == 1)
    {
        for (int c = 0; c < numOfChannels; ++c)
            copyRow(source.getReadPointer(sourceChannels == 1 ? 0 : c), c);
        return;
    }
    if (sourceChannels < 1)
    {
        target.setToZero();
        return;
    }
    // The average goes to row 0 first, then to the others.
    float* average = floats(target.getWritePointer(0));
    const int numOfFloats = 2 * bins;
    std::copy_n(floats(source.getReadPointer(0)), numOfFloats, average);
    for (int c = 1; c < sourceChannels; ++c)
        vec::addTo(average, floats(source.getReadPointer(c)), numOfFloats);
    kernels::scale(average, 1.0f / static_cast<float>(sourceChannels), average, numOfFloats);
    std::fill(target.getWritePointer(0) + bins, target.getWritePointer(0) + numOfBins, std::complex<float>());
    for (int c = 1; c < numOfChannels; ++c)
        copyRow(target.getReadPointer(0), c);
}

/** Frames a bus queue is first sized for beyond the models' latency. */
constexpr int spareQueueSlots = 4;

bool isUsable(const AudioFormat& format)
{
    return format.getNumOfChannels() >= 1 && format.getSampleRate() > 0.0;
}

AudioFormat makeFormat(int numOfChannels, double sampleRate)
{
    AudioFormat format;
    format.createDefaultChannelMapping(numOfChannels);
    format.setSampleRate(sampleRate);
    return format;
}

/** Every frame of the graph's output must pair with one input frame. */
bool keepsFrameRate(const NeuralModel<float>& model)
{
    if (model.outputLayer == nullptr || model.outputLayer->getSources().empty())
        return false;
    const FrameShape& shape = model.outputLayer->getSources().front()->getFrameShape();
    return shape.rateNumerator == 1 && shape.rateDenominator == 1;
}

} // namespace

MurelProcessor::MurelProcessor()
{
    for (int b = 0; b < maxNumOfBusses; ++b)
    {
        sensitivity[static_cast<std::size_t>(b)].store(0.0f);
        gain[static_cast<std::size_t>(b)].store(1.0f);
    }
}

MurelProcessor::~MurelProcessor()
{
    // The workers must be gone before the models are.
    workers.clear();
}

bool MurelProcessor::loadModelFiles(const std::vector<File>& files)
{
    lastError.clear();
    std::vector<std::shared_ptr<InputStream>> streams;
    std::vector<std::string> names;
    for (const File& file : files)
    {
        auto stream = std::make_shared<FileStream>();
        if (!stream->open(file, FileStream::readAccess, FileStream::openExisting))
        {
            const int error = errno;
            return refuse("cannot open model '" + file.getFullPath() +
                          "': " + (file.exists() ? std::strerror(error) : "no such file"));
        }
        streams.push_back(std::move(stream));
        names.push_back("model '" + file.getFullPath() + "'");
    }
    return loadModels(streams, names);
}

bool MurelProcessor::loadModels(const std::vector<std::shared_ptr<InputStream>>& streams)
{
    std::vector<std::string> names;
    for (std::size_t i = 0; i < streams.size(); ++i)
        names.push_back(streams.size() == 1 ? "the model" : "model " + std::to_string(i + 1));
    return loadModels(streams, names);
}

bool MurelProcessor::refuse(const std::string& reason)
{
    lastError = reason;
    return false;
}

bool MurelProcessor::loadModels(const std::vector<std::shared_ptr<InputStream>>& streams,
                                const std::vector<std::string>& modelNames)
{
    lastError.clear();
    if (streams.empty())
        return refuse("no model given");

    // Everything is built aside and only taken over when the whole set can run, so that a
    // failed load leaves a working processor as it was.
    std::vector<NeuralModel<float>> models(streams.size());
    AudioFormat inputFormatOfModels;
    AudioFormat outputFormatOfModels;
    std::vector<std::string> names;
    std::vector<int> numOfBussesPerModel;
    std::string residualName;
    int totalModelBusses = 0;

    for (std::size_t i = 0; i < streams.size(); ++i)
    {
        NeuralModel<float>& model = models[i];
        const std::string& name = modelNames[i];
        try
        {
            const std::string reason = model.load(streams[i]);
            if (!reason.empty())
                return refuse(name + ": " + reason);
        }
        catch (const std::exception& error)
        {
            // Malformed content that the standard containers reject.
            return refuse(name + ": " + error.what());
        }
        const ModelHeaderRecord& first = models.front().getHeader();
        const ModelHeaderRecord& header = model.getHeader();
        if (header.windowSize != first.windowSize || header.hopSize != first.hopSize ||
            header.processingMode != first.processingMode)
            return refuse(name + " cannot run with " + modelNames[0] +
                          ": they differ in window size, hop size or processing mode");
        if (!(header.sampleRate > 0.0) || !std::isfinite(header.sampleRate))
            return refuse(name + ": its sample rate is not a positive number");
        if (header.numInputChannels < 1 || header.numOutputChannels < 1)
            return refuse(name + ": it has no input or no output channels");
        // The history packing loads but cannot be packed or unpacked: every frame would throw.
        if (header.inputPacking.code == PackingCode::history || header.outputPacking.code == PackingCode::history)
            return refuse(name + ": packing code 5 cannot be processed");
        // A strided graph without its matching up-sampling (or the reverse) would deliver masks
        // that never pair one to one with the input frames.
        if (!keepsFrameRate(model))
            return refuse(name + ": its graph does not emit one frame per input frame");
        if (header.numOutputs < 0 || static_cast<int>(header.outputNames.size()) < header.numOutputs + 1)
            return refuse(name + ": it names fewer buses than it declares");

        const AudioFormat modelInput = makeFormat(header.numInputChannels, header.sampleRate);
        const AudioFormat modelOutput = makeFormat(header.numOutputChannels, header.sampleRate);
        if (i == 0)
        {
            inputFormatOfModels = modelInput;
            outputFormatOfModels = modelOutput;
            residualName = *std::next(header.outputNames.begin(), header.numOutputs);
        }
        else if (modelInput != inputFormatOfModels || modelOutput != outputFormatOfModels)
        {
            return refuse(name + " cannot run with " + modelNames[0] + ": they differ in sample rate or channels");
        }

        auto busName = header.outputNames.begin();
        for (int k = 0; k < header.numOutputs; ++k, ++busName)
            names.push_back(*busName);
        numOfBussesPerModel.push_back(header.numOutputs);
        totalModelBusses += header.numOutputs;
        // The residual needs a slot of its own.
        if (totalModelBusses > maxNumOfBusses - 1)
            return refuse("the models have more than " + std::to_string(maxNumOfBusses - 1) + " buses in all");
    }
    if (totalModelBusses < 1)
        return refuse("the models have no output bus besides the residual, so they never output anything");
    names.push_back(residualName);

    // The workers start before anything is taken over: a thread that cannot start leaves the
    // processor as it was.
    std::vector<std::unique_ptr<ModelWorker>> newWorkers;
    for (std::size_t m = 1; m < models.size(); ++m)
        newWorkers.push_back(std::make_unique<ModelWorker>());
    workers = std::move(newWorkers);
    numOfModels = static_cast<int>(models.size());
    neuralModels = std::move(models);
    modelInputFormat = std::move(inputFormatOfModels);
    modelOutputFormat = std::move(outputFormatOfModels);
    outputBusNames = std::move(names);
    numOfModelBusses = std::move(numOfBussesPerModel);
    outputsMasks = neuralModels.front().getHeader().processingMode == ProcessingMode::masks;
    inputFrames.clear();
    busQueues.assign(static_cast<std::size_t>(getNumOfOutputBusses(false)), SpectrumRing());
    // Nothing runs until the frame storage is sized for these models.
    mixed = ComplexSignal32();

    if (isUsable(inputFormat))
    {
        outputFormat = inputFormat;
        updateBlockSize();
    }
    return true;
}

bool MurelProcessor::setFormat(const AudioFormat& newInputFormat, const AudioFormat& newOutputFormat)
{
    lastError.clear();
    if (!isUsable(modelInputFormat) || !isUsable(modelOutputFormat) || neuralModels.empty())
        return false;
    if (!isUsable(newInputFormat) || !isUsable(newOutputFormat))
        return false;
    const AudioFormat previousInput = inputFormat;
    const AudioFormat previousOutput = outputFormat;
    inputFormat = newInputFormat;
    outputFormat = newOutputFormat;
    if (updateBlockSize())
        return true;
    inputFormat = previousInput;
    outputFormat = previousOutput;
    const std::string reason = lastError;
    updateBlockSize();
    lastError = reason;
    return false;
}

bool MurelProcessor::updateBlockSize()
{
    if (neuralModels.empty())
        return false;
    double exponent = 0.0;
    const double rate = inputFormat.getSampleRate();
    if (inputFormat.getNumOfChannels() >= 1 && rate > 0.0 && isUsable(modelInputFormat))
    {
        exponent = std::ceil(std::log(rate / modelOutputFormat.getSampleRate()) / 0.6931471805599453);
        // Far beyond any frame size that can be run.
        if (!std::isfinite(exponent) || std::abs(exponent) > 64.0)
        {
            lastError = "the host sample rate is too far from the model's";
            return false;
        }
        if (std::pow(2.0, exponent) > maxRateScale)
        {
            lastError =
                "the host sample rate is more than " + std::to_string(maxRateScale) + " times the model's sample rate";
            return false;
        }
    }
    const double factor = std::pow(2.0, exponent);
    const ModelHeaderRecord& first = neuralModels.front().getHeader();
    int sizes[3] = {};
    const int modelSizes[3] = {first.fftSize, first.windowSize, first.hopSize};
    for (int i = 0; i < 3; ++i)
    {
        // Half to even, as the default rounding mode does.
        const double size = std::nearbyint(static_cast<double>(modelSizes[i]) * factor);
        if (!(size >= 0.0) || size > static_cast<double>(std::numeric_limits<int>::max()))
            return false;
        sizes[i] = static_cast<int>(size);
    }
    if (sizes[0] > maxFftSize)
    {
        lastError = "the frame needs a transform of " + std::to_string(sizes[0]) + " points, more than " +
                    std::to_string(maxFftSize);
        return false;
    }
    if (!setBlocking(sizes[0], sizes[1], sizes[2]))
    {
        lastError = "FFT " + std::to_string(sizes[0]) + ", window " + std::to_string(sizes[1]) + ", hop " +
                    std::to_string(sizes[2]) +
                    " cannot be run: the hop must be 1 to the window size and the FFT size a power of two "
                    "no smaller than the window";
        return false;
    }
    prepareFrameStorage();
    return true;
}

int MurelProcessor::getLatency(int blockSize) const
{
    int modelLatency = 0;
    for (const NeuralModel<float>& model : neuralModels)
        modelLatency = std::max(modelLatency, model.latency);
    const int64_t latency = static_cast<int64_t>(BaseSpectralProcessor::getLatency(blockSize)) +
                            static_cast<int64_t>(modelLatency) * getHopSize();
    return static_cast<int>(std::min<int64_t>(latency, std::numeric_limits<int>::max()));
}

void MurelProcessor::reset()
{
    BaseSpectralProcessor::reset();
    inputFrames.clear();
    for (SpectrumRing& queue : busQueues)
        queue.clear();
    for (NeuralModel<float>& model : neuralModels)
        model.reset();
}

void MurelProcessor::prepare(int maximumBlockSize)
{
    if (!stage.isConfigured() || maximumBlockSize < 1)
        return;
    reset();
    // A backlog of up to the latency waits in the queue behind the newest block (the fixed-latency
    // reader keeps exactly that much), and a block completes at most its own length plus a frame.
    const int64_t latency = getLatency(1);
    stage.reserveOutput(latency + 3 * static_cast<int64_t>(maximumBlockSize) + 4 * static_cast<int64_t>(getHopSize()) +
                        4 * static_cast<int64_t>(getWindowSize()));
    // Every layer sizes its storage, queues and spare slots on the frames it sees first; silence
    // takes them all through the frames the models hold back and a few more.
    const int numOfChannels = inputFormat.getNumOfChannels();
    std::vector<float> silence(static_cast<std::size_t>(maximumBlockSize), 0.0f);
    std::vector<const float*> inputs(static_cast<std::size_t>(numOfChannels), silence.data());
    std::vector<float> scratch(static_cast<std::size_t>(maximumBlockSize) * static_cast<std::size_t>(numOfChannels));
    std::vector<float*> outputs(static_cast<std::size_t>(outputFormat.getNumOfChannels()), scratch.data());
    const int64_t total =
        latency + 16 * static_cast<int64_t>(getHopSize()) + 2 * static_cast<int64_t>(maximumBlockSize);
    for (int64_t done = 0; done < total; done += maximumBlockSize)
    {
        addAudio(inputs.data(), maximumBlockSize);
        while (getNumOfPendingSamples() > 0)
            getAudio(outputs.data(), static_cast<int>(std::min<int64_t>(getNumOfPendingSamples(), maximumBlockSize)));
    }
    reset();
}

void MurelProcessor::prepareFrameStorage()
{
    const int numOfBins = getFftSize() / 2 + 1;
    const int numOfChannels = outputFormat.getNumOfChannels();
    int maxLatency = 0;
    for (const NeuralModel<float>& model : neuralModels)
        maxLatency = std::max(maxLatency, model.latency);
    const int capacity = std::clamp(maxLatency, 0, 1 << 12) + spareQueueSlots;
    modelInputFrame = ComplexSignal32(modelInputFormat.getNumOfChannels(), numOfBins);
    numOfModelFrames.assign(neuralModels.size(), 0);
    inputFrames.prepare(capacity, numOfChannels, numOfBins);
    busQueues.assign(static_cast<std::size_t>(getNumOfOutputBusses(false)), SpectrumRing());
    for (SpectrumRing& queue : busQueues)
        queue.prepare(capacity, numOfChannels, numOfBins);
    mixFrames.assign(busQueues.size(), nullptr);
    mixer.prepare(numOfChannels, numOfBins);
    mixed = ComplexSignal32(numOfChannels, numOfBins);
    modelBusFrame = ComplexSignal32(modelOutputFormat.getNumOfChannels(), numOfBins);
}

Signal32 MurelProcessor::process(const Signal32& block)
{
    return BaseSpectralProcessor::process(block);
}

std::list<ComplexSignal32> MurelProcessor::process(const ComplexSignal32& spectrum)
{
    std::list<ComplexSignal32> result;
    // The mix buffer is reused by the next frame: the list keeps copies.
    processFrame(spectrum, [&result](const ComplexSignal32& output)
                 { matchChannels(output, result.emplace_back(output.getNumOfChannels(), output.getNumOfSamples())); });
    return result;
}

void MurelProcessor::addAudio(const float* const* channels, int numOfSamples)
{
    if (numOfSamples < 1 || !stage.isConfigured())
        return;
    stage.reserve(numOfSamples);
    stage.setInput(channels, numOfSamples);
    processSpectra();
}

void MurelProcessor::addAudioInterleaved(const float* samples, int numOfFrames)
{
    if (numOfFrames < 1 || !stage.isConfigured())
        return;
    stage.reserve(numOfFrames);
    stage.setInputInterleaved(samples, numOfFrames);
    processSpectra();
}

bool MurelProcessor::getAudio(float* const* channels, int numOfSamples) noexcept
{
    return stage.readOutput(channels, numOfSamples);
}

bool MurelProcessor::getAudioInterleaved(float* samples, int numOfFrames) noexcept
{
    return stage.readOutputInterleaved(samples, numOfFrames);
}

void MurelProcessor::processSpectra() noexcept
{
    while (const ComplexSignal32* spectrum = stage.nextSpectrum())
    {
        try
        {
            processFrame(*spectrum, [this](const ComplexSignal32& output) { stage.addOutputSpectrum(output); });
        }
        catch (...)
        {
            // Only a queue that outgrows its slots allocates; without memory the frame is lost.
        }
    }
}

template <typename Emit>
void MurelProcessor::processFrame(const ComplexSignalView& spectrum, Emit&& emit)
{
    if (neuralModels.empty() || busQueues.empty() || outputFormat.getNumOfChannels() < 1 || getFftSize() < 2 ||
        !mixed.hasStorage())
        return;

    // The models' channel count: the spectrum itself, or its channel average.
    modelSpectrum = spectrum;
    if (!spectrum.hasStorage() || spectrum.getNumOfChannels() != modelInputFormat.getNumOfChannels())
    {
        modelInputFrame.resizeView(modelInputFormat.getNumOfChannels(), std::max(spectrum.getNumOfSamples(), 0));
        matchChannels(spectrum, modelInputFrame);
        modelSpectrum = modelInputFrame;
    }

    const bool extrapolate = getMaskExtrapolationEnabled();
    for (NeuralModel<float>& model : neuralModels)
        model.maskExtrapolationEnabled = extrapolate;

    // All models finish (or fail) before anything is queued, so a failure drops this frame
    // whole instead of leaving the input and bus queues out of step.
    if (!runModels())
        return;

    // The input spectrum in the output channel count, kept until its bus frames are mixed.
    matchChannels(spectrum, inputFrames.back());
    inputFrames.push();
    int busIndex = 0;
    for (int m = 0; m < numOfModels; ++m)
        queueModelFrames(m, busIndex);

    while (canMix())
    {
        mixOldestFrames();
        emit(mixed);
    }
}

bool MurelProcessor::runModels()
{
    for (std::size_t m = 1; m < neuralModels.size(); ++m)
        workers[m - 1]->start(neuralModels[m], modelSpectrum);
    bool succeeded = true;
    try
    {
        numOfModelFrames[0] = neuralModels[0].processFrame(modelSpectrum);
    }
    catch (...)
    {
        succeeded = false;
    }
    // Every worker is waited for, also after a failure, so that none still runs a model when
    // this call returns.
    for (std::size_t m = 1; m < neuralModels.size(); ++m)
    {
        numOfModelFrames[m] = workers[m - 1]->wait();
        succeeded = succeeded && numOfModelFrames[m] >= 0;
    }
    return succeeded;
}

void MurelProcessor::queueModelFrames(int m, int& busIndex)
{
    const NeuralModel<float>& model = neuralModels[static_cast<std::size_t>(m)];
    const int numOfBusses = numOfModelBusses[static_cast<std::size_t>(m)];
    const int numOfChannels = modelOutputFormat.getNumOfChannels();
    const int numOfQueues = static_cast<int>(busQueues.size());
    for (int i = 0; i < numOfModelFrames[static_cast<std::size_t>(m)]; ++i)
    {
        const ComplexSignalView frame = model.getMaskFrame(i);
        for (int k = 0; k < numOfBusses && busIndex + k < numOfQueues; ++k)
        {
            SpectrumRing& queue = busQueues[static_cast<std::size_t>(busIndex + k)];
            ComplexSignal32& bus = queue.back();
            // Bus k is the model's channels k * numOfChannels ...; channels and bins a model
            // did not deliver count as zero. Then it takes the host's channel count.
            const int numOfBins = bus.getNumOfSamples();
            const int bins = frame.hasStorage() ? std::clamp(frame.getNumOfSamples(), 0, numOfBins) : 0;
            const bool direct = numOfChannels == bus.getNumOfChannels();
            ComplexSignal32& target = direct ? bus : modelBusFrame;
            for (int c = 0; c < numOfChannels; ++c)
            {
                std::complex<float>* row = target.getWritePointer(c);
                const int source = k * numOfChannels + c;
                const int copied = source < frame.getNumOfChannels() ? bins : 0;
                if (copied > 0)
                    std::copy_n(frame.getReadPointer(source), copied, row);
                std::fill(row + copied, row + numOfBins, std::complex<float>());
            }
            if (!direct)
                matchChannels(modelBusFrame, bus);
            queue.push();
        }
    }
    busIndex += numOfBusses;
}

bool MurelProcessor::canMix() const
{
    if (inputFrames.empty())
        return false;
    for (const SpectrumRing& queue : busQueues)
        if (queue.empty())
            return false;
    return true;
}

void MurelProcessor::mixOldestFrames()
{
    const int numOfBusses = static_cast<int>(busQueues.size());
    for (int b = 0; b <= numOfBusses; ++b)
    {
        mixGains[static_cast<std::size_t>(b)] = getGain(b);
        mixSensitivities[static_cast<std::size_t>(b)] = getSensitivity(b);
    }
    for (int b = 0; b < numOfBusses; ++b)
        mixFrames[static_cast<std::size_t>(b)] = &busQueues[static_cast<std::size_t>(b)].front();
    mixer.mix(mixFrames.data(), numOfBusses, mixGains.data(), mixSensitivities.data(), outputsMasks,
              inputFrames.front(), mixed);
    for (SpectrumRing& queue : busQueues)
        queue.pop();
    inputFrames.pop();
}

void MurelProcessor::SpectrumRing::prepare(int capacity, int channels, int bins)
{
    numOfChannels = channels;
    numOfBins = bins;
    slots.clear();
    for (int i = 0; i < std::max(capacity, 1); ++i)
        slots.emplace_back(numOfChannels, numOfBins);
    first = 0;
    count = 0;
}

ComplexSignal32& MurelProcessor::SpectrumRing::back()
{
    const int capacity = static_cast<int>(slots.size());
    if (count == capacity)
    {
        // Oldest first in a ring twice the size.
        std::vector<ComplexSignal32> grown;
        grown.reserve(static_cast<std::size_t>(2 * capacity + 1));
        for (int i = 0; i < count; ++i)
            grown.push_back(std::move(slots[static_cast<std::size_t>((first + i) % capacity)]));
        while (static_cast<int>(grown.size()) < 2 * capacity + 1)
            grown.emplace_back(numOfChannels, numOfBins);
        slots.swap(grown);
        first = 0;
    }
    return slots[static_cast<std::size_t>((first + count) % static_cast<int>(slots.size()))];
}

void MurelProcessor::SpectrumRing::pop()
{
    first = (first + 1) % static_cast<int>(slots.size());
    --count;
}

ComplexSignal32 MurelProcessor::processSensitivity(float sensitivityValue, const ComplexSignal32& mask) const
{
    if (!mask.hasStorage())
        return mask;
    ComplexSignal32 shaped(mask.getNumOfChannels(), mask.getNumOfSamples());
    shapeMask(sensitivityValue, mask, shaped, outputFormat.getNumOfChannels(), getFftSize() / 2 + 1);
    return shaped;
}

ComplexSignal32 MurelProcessor::ensureChannelFormat(const ComplexSignal32& spectrum, int numOfChannels) const
{
    const int sourceChannels = spectrum.hasStorage() ? spectrum.getNumOfChannels() : 0;
    if (sourceChannels == numOfChannels)
        return spectrum;
    // Nothing to average gives silence of the requested shape.
    ComplexSignal32 result(std::max(numOfChannels, 1), std::max(spectrum.getNumOfSamples(), 0));
    matchChannels(spectrum, result);
    return result;
}

int MurelProcessor::getNumOfOutputBusses(bool includeResidual) const
{
    const int numOfNames = static_cast<int>(outputBusNames.size());
    return std::max(includeResidual ? numOfNames : numOfNames - 1, 0);
}

std::string MurelProcessor::getOutputBusName(int index) const
{
    if (index < 0 || index >= static_cast<int>(outputBusNames.size()))
        return std::string();
    return outputBusNames[static_cast<std::size_t>(index)];
}

float MurelProcessor::getSensitivity(int bus) const
{
    if (bus < 0 || bus >= maxNumOfBusses)
        return 0.0f;
    return sensitivity[static_cast<std::size_t>(bus)].load();
}

void MurelProcessor::setSensitivity(int bus, float value)
{
    if (bus < 0 || bus >= maxNumOfBusses || std::isnan(value))
        return;
    sensitivity[static_cast<std::size_t>(bus)].store(std::clamp(value, -100.0f, 100.0f));
}

float MurelProcessor::getGain(int bus) const
{
    if (bus < 0 || bus >= maxNumOfBusses)
        return 0.0f;
    return gain[static_cast<std::size_t>(bus)].load();
}

void MurelProcessor::setGain(int bus, float value)
{
    if (bus < 0 || bus >= maxNumOfBusses || std::isnan(value))
        return;
    gain[static_cast<std::size_t>(bus)].store(value < 0.0f ? 0.0f : value);
}

bool MurelProcessor::getMaskExtrapolationEnabled() const
{
    return maskExtrapolationEnabled.load() != 0.0f;
}

void MurelProcessor::setMaskExtrapolationEnabled(bool enabled)
{
    maskExtrapolationEnabled.store(enabled ? 1.0f : 0.0f);
}

} // namespace murel
