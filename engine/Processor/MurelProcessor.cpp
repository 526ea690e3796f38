#include "Processor/MurelProcessor.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <complex>
#include <cstring>
#include <exception>
#include <future>
#include <limits>
#include <utility>

#include "DspCore/LastError.h"
#include "DspCore/VectorOps.h"

namespace murel
{

namespace
{

using Complex = std::complex<float>;
namespace f64 = vec::f64;

/** The files loadModelFiles is loading, so that loadModels can name them in its reasons. */
thread_local const std::vector<File>* modelFileNames = nullptr;

bool refuse(const std::string& reason)
{
    setLastErrorMessage(reason);
    return false;
}

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

// Complex spectra are handled as interleaved float pairs (re, im), which lets the additions
// and real scalings run four floats at a time with exactly the scalar results.
float* floats(Complex* p)
{
    return reinterpret_cast<float*>(p);
}
const float* floats(const Complex* p)
{
    return reinterpret_cast<const float*>(p);
}

/** dst = g * src over n floats. */
void scale(float* dst, const float* src, float g, int n)
{
    const vec::Float4 gains = vec::broadcast(g);
    int i = 0;
    for (; i + vec::numOfLanes <= n; i += vec::numOfLanes)
        vec::store(dst + i, vec::mul(vec::load(src + i), gains));
    for (; i < n; ++i)
        dst[i] = src[i] * g;
}

/** dst += g * src over n floats; the product is rounded before the sum. */
void addScaled(float* dst, const float* src, float g, int n)
{
    const vec::Float4 gains = vec::broadcast(g);
    int i = 0;
    for (; i + vec::numOfLanes <= n; i += vec::numOfLanes)
        vec::store(dst + i, vec::add(vec::load(dst + i), vec::mul(vec::load(src + i), gains)));
    for (; i < n; ++i)
        dst[i] += src[i] * g;
}

/** dst = a - b over n floats. */
void subtract(float* dst, const float* a, const float* b, int n)
{
    int i = 0;
    for (; i + vec::numOfLanes <= n; i += vec::numOfLanes)
        vec::store(dst + i, vec::sub(vec::load(a + i), vec::load(b + i)));
    for (; i < n; ++i)
        dst[i] = a[i] - b[i];
}

/** dst = (1, 0) - src over n complex values. */
void oneMinus(Complex* dst, const Complex* src, int n)
{
    const float onePattern[4] = {1.0f, 0.0f, 1.0f, 0.0f};
    const vec::Float4 ones = vec::load(onePattern);
    float* d = floats(dst);
    const float* s = floats(src);
    const int numOfFloats = 2 * n;
    int i = 0;
    for (; i + vec::numOfLanes <= numOfFloats; i += vec::numOfLanes)
        vec::store(d + i, vec::sub(ones, vec::load(s + i)));
    for (; i < numOfFloats; i += 2)
    {
        d[i] = 1.0f - s[i];
        d[i + 1] = 0.0f - s[i + 1];
    }
}

/** dst = a * b, complex, over n values: (ar br - ai bi, ar bi + ai br), no fused operations. */
void multiplyComplex(Complex* dst, const Complex* a, const Complex* b, int n)
{
    float* d = floats(dst);
    const float* x = floats(a);
    const float* y = floats(b);
    int i = 0;
    for (; i + vec::numOfLanes <= n; i += vec::numOfLanes)
    {
        const float32x4x2_t p = vec::loadDeinterleaved(x + 2 * i);
        const float32x4x2_t q = vec::loadDeinterleaved(y + 2 * i);
        const vec::Float4 re = vec::sub(vec::mul(p.val[0], q.val[0]), vec::mul(p.val[1], q.val[1]));
        const vec::Float4 im = vec::add(vec::mul(p.val[0], q.val[1]), vec::mul(p.val[1], q.val[0]));
        vec::storeInterleaved(d + 2 * i, re, im);
    }
    for (; i < n; ++i)
    {
        const float ar = x[2 * i];
        const float ai = x[2 * i + 1];
        const float br = y[2 * i];
        const float bi = y[2 * i + 1];
        d[2 * i] = ar * br - ai * bi;
        d[2 * i + 1] = ar * bi + ai * br;
    }
}

/** |re + i im| as the C library's cabsf gives it: the square root of the sum of squares taken in
    double precision, rounded once to float. */
vec::Float4 polarMagnitude(vec::Float4 re, vec::Float4 im)
{
    const auto half = [](f64::Double2 r, f64::Double2 i)
    { return f64::sqrt(f64::add(f64::mul(r, r), f64::mul(i, i))); };
    return f64::narrow(half(f64::widenLow(re), f64::widenLow(im)), half(f64::widenHigh(re), f64::widenHigh(im)));
}

/** atan2 of two lanes in double precision, to within an ulp of double, for finite, non-zero x
    and y: the reduction and minimax kernel of the classic arctangent on |y| / |x| or its
    inverse (whichever is at most 1), then the octant. */
f64::Double2 arcTangent2(f64::Double2 y, f64::Double2 x)
{
    using f64::add;
    using f64::broadcast;
    using f64::Double2;
    using f64::mul;
    using f64::select;
    using f64::sub;
    const Double2 ax = f64::abs(x);
    const Double2 ay = f64::abs(y);
    // a = n / d in [0, 1]. a in [0, 7/16): atan(a) directly; [7/16, 11/16): atan(1/2) +
    // atan((2a - 1) / (2 + a)); [11/16, 1]: atan(1) + atan((a - 1) / (a + 1)). The reduced
    // argument is formed from n and d (exact in double for float inputs) with one division.
    const Double2 n = f64::min(ax, ay);
    const Double2 d = f64::max(ax, ay);
    const f64::Mask2 middle = f64::greaterThan(n, mul(d, broadcast(0.4375)));
    const f64::Mask2 upper = f64::greaterThan(n, mul(d, broadcast(0.6875)));
    const Double2 t = f64::div(select(upper, sub(n, d), select(middle, sub(add(n, n), d), n)),
                               select(upper, add(n, d), select(middle, add(add(d, d), n), d)));
    const Double2 hi = select(upper, broadcast(7.85398163397448278999e-01),
                              select(middle, broadcast(4.63647609000806093515e-01), broadcast(0.0)));
    const Double2 lo = select(upper, broadcast(3.06161699786838301793e-17),
                              select(middle, broadcast(2.26987774529616870924e-17), broadcast(0.0)));
    const Double2 z = mul(t, t);
    const Double2 w = mul(z, z);
    Double2 even = add(broadcast(4.97687799461593236017e-02), mul(w, broadcast(1.62858201153657823623e-02)));
    even = add(broadcast(6.66107313738753120669e-02), mul(w, even));
    even = add(broadcast(9.09088713343650656196e-02), mul(w, even));
    even = add(broadcast(1.42857142725034663711e-01), mul(w, even));
    even = add(broadcast(3.33333333333329318027e-01), mul(w, even));
    Double2 odd = add(broadcast(-5.83357013379057348645e-02), mul(w, broadcast(-3.65315727442169155270e-02)));
    odd = add(broadcast(-7.69187620504482999495e-02), mul(w, odd));
    odd = add(broadcast(-1.11111104054623557880e-01), mul(w, odd));
    odd = add(broadcast(-1.99999999998764832476e-01), mul(w, odd));
    const Double2 series = mul(t, add(mul(z, even), mul(w, odd)));
    // hi - ((t s - lo) - t), which is t - t s where hi and lo are 0.
    Double2 angle = sub(hi, sub(sub(series, lo), t));

    angle = select(f64::greaterThan(ay, ax), sub(broadcast(1.57079632679489655800e+00), angle), angle);
    angle = select(f64::lessThan(x, broadcast(0.0)), sub(broadcast(3.14159265358979311600e+00), angle), angle);
    return select(f64::lessThan(y, broadcast(0.0)), f64::neg(angle), angle);
}

/** atan2f of four lanes: computed in double and rounded once, so within rounding of the C
    library's single-precision result. Zeros, infinities and NaN (signed zeros and the branch
    cut) go to the C library itself. */
vec::Float4 phaseOf(const float* re, const float* im)
{
    const vec::Float4 x = vec::load(re);
    const vec::Float4 y = vec::load(im);
    alignas(16) float phase[vec::numOfLanes];
    vec::store(phase, f64::narrow(arcTangent2(f64::widenLow(y), f64::widenLow(x)),
                                  arcTangent2(f64::widenHigh(y), f64::widenHigh(x))));
    for (int i = 0; i < vec::numOfLanes; ++i)
        if (re[i] == 0.0f || im[i] == 0.0f || !std::isfinite(re[i]) || !std::isfinite(im[i]))
            phase[i] = std::atan2(im[i], re[i]);
    return vec::load(phase);
}

/** Sine and cosine in double precision of angles in [-pi, pi] (phases), to within an ulp of
    double: reduction by the nearest multiple of pi / 2 in two parts, then the classic minimax
    kernels on [-pi / 4, pi / 4]. */
void sineCosine(f64::Double2 x, f64::Double2& sine, f64::Double2& cosine)
{
    using f64::add;
    using f64::broadcast;
    using f64::Double2;
    using f64::mul;
    using f64::sub;
    const Double2 k = f64::roundToNearest(mul(x, broadcast(6.36619772367581382433e-01)));
    // pi / 2 = 1.57079632673412561417 (33 bits, so that k times it is exact) + 6.077100506506192e-11.
    const Double2 r =
        sub(sub(x, mul(k, broadcast(1.57079632673412561417e+00))), mul(k, broadcast(6.07710050650619224932e-11)));
    const Double2 z = mul(r, r);

    Double2 p = add(broadcast(-2.50507602534068634195e-08), mul(z, broadcast(1.58969099521155010221e-10)));
    p = add(broadcast(2.75573137070700676789e-06), mul(z, p));
    p = add(broadcast(-1.98412698298579493134e-04), mul(z, p));
    p = add(broadcast(8.33333333332248946124e-03), mul(z, p));
    const Double2 s = add(r, mul(mul(z, r), add(broadcast(-1.66666666666666324348e-01), mul(z, p))));

    Double2 q = add(broadcast(2.08757232129817482790e-09), mul(z, broadcast(-1.13596475577881948265e-11)));
    q = add(broadcast(-2.75573143513906633035e-07), mul(z, q));
    q = add(broadcast(2.48015872894767294178e-05), mul(z, q));
    q = add(broadcast(-1.38888888888741095749e-03), mul(z, q));
    q = add(broadcast(4.16666666666666019037e-02), mul(z, q));
    const Double2 hz = mul(broadcast(0.5), z);
    const Double2 w = sub(broadcast(1.0), hz);
    const Double2 c = add(w, add(sub(sub(broadcast(1.0), w), hz), mul(mul(z, z), q)));

    // k is -2 ... 2. Odd k swaps sine and cosine (k - 2 round(k / 2) is then +-1, else 0); the
    // signs follow the quadrant: sine is negative for k in {-2, -1, 2}, cosine for {-2, 1, 2}.
    const Double2 parity = sub(k, mul(broadcast(2.0), f64::roundToNearest(mul(k, broadcast(0.5)))));
    const f64::Mask2 odd =
        f64::either(f64::greaterThan(parity, broadcast(0.5)), f64::lessThan(parity, broadcast(-0.5)));
    const Double2 swappedSine = f64::select(odd, c, s);
    const Double2 swappedCosine = f64::select(odd, s, c);
    const f64::Mask2 negativeSine = f64::either(f64::greaterThan(k, broadcast(1.5)), f64::lessThan(k, broadcast(-0.5)));
    const f64::Mask2 negativeCosine =
        f64::either(f64::greaterThan(k, broadcast(0.5)), f64::lessThan(k, broadcast(-1.5)));
    sine = f64::select(negativeSine, f64::neg(swappedSine), swappedSine);
    cosine = f64::select(negativeCosine, f64::neg(swappedCosine), swappedCosine);
}

/** (cos(phase) m, sin(phase) m) with the sine, cosine and products in double precision, each
    rounded once to float. */
void fromPolar(vec::Float4 phase, vec::Float4 magnitude, vec::Float4& re, vec::Float4& im)
{
    f64::Double2 sineLow, cosineLow, sineHigh, cosineHigh;
    sineCosine(f64::widenLow(phase), sineLow, cosineLow);
    sineCosine(f64::widenHigh(phase), sineHigh, cosineHigh);
    const f64::Double2 mLow = f64::widenLow(magnitude);
    const f64::Double2 mHigh = f64::widenHigh(magnitude);
    re = f64::narrow(f64::mul(cosineLow, mLow), f64::mul(cosineHigh, mHigh));
    im = f64::narrow(f64::mul(sineLow, mLow), f64::mul(sineHigh, mHigh));
}

/** signal itself when it has exactly this shape, else a copy cut or zero-padded to it. */
ComplexSignal32 conform(const ComplexSignal32& signal, int numOfChannels, int numOfBins)
{
    if (signal.hasStorage() && signal.getNumOfChannels() == numOfChannels && signal.getNumOfSamples() == numOfBins)
        return signal;
    ComplexSignal32 result(numOfChannels, numOfBins);
    result.setToZero();
    const int channels = signal.hasStorage() ? std::min(signal.getNumOfChannels(), numOfChannels) : 0;
    const int bins = std::clamp(signal.getNumOfSamples(), 0, numOfBins);
    for (int c = 0; c < channels; ++c)
        std::copy_n(signal.getReadPointer(c), bins, result.getWritePointer(c));
    return result;
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
    // No task is ever left queued, but the workers must be gone before the models are.
    threadPool.reset();
}

bool MurelProcessor::loadModelFiles(const std::vector<File>& files)
{
    std::vector<std::shared_ptr<InputStream>> streams;
    streams.reserve(files.size());
    for (const File& file : files)
    {
        auto stream = std::make_shared<FileStream>();
        if (!stream->open(file, FileStream::readAccess, FileStream::openExisting))
        {
            const int error = errno;
            setLastErrorMessage("cannot open model '" + file.getFullPath() +
                                "': " + (file.exists() ? std::strerror(error) : "no such file"));
            return false;
        }
        streams.push_back(std::move(stream));
    }
    modelFileNames = &files;
    const bool loaded = loadModels(streams);
    modelFileNames = nullptr;
    return loaded;
}

bool MurelProcessor::loadModels(const std::vector<std::shared_ptr<InputStream>>& streams)
{
    if (streams.empty())
        return refuse("no model given");
    const auto nameModel = [&](std::size_t i) -> std::string
    {
        if (modelFileNames != nullptr && i < modelFileNames->size())
            return "model '" + (*modelFileNames)[i].getFullPath() + "'";
        return streams.size() == 1 ? "the model" : "model " + std::to_string(i + 1);
    };

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
        const std::string name = nameModel(i);
        try
        {
            clearLastErrorMessage();
            if (streams[i] == nullptr)
                return refuse(name + ": no stream to read");
            if (!model.loadModel(streams[i]))
                return refuse(name + ": " + getLastErrorMessage());
        }
        catch (const std::exception& error)
        {
            // Malformed content that the standard containers reject.
            return refuse(name + ": " + (getLastErrorMessage().empty() ? error.what() : getLastErrorMessage()));
        }
        catch (...)
        {
            return refuse(name + ": cannot be read");
        }
        const NeuralModel<float>& first = models.front();
        if (model.windowSize != first.windowSize || model.hopSize != first.hopSize ||
            model.processingMode != first.processingMode)
            return refuse(name + " cannot run with " + nameModel(0) +
                          ": they differ in window size, hop size or processing mode");
        if (!(model.sampleRate > 0.0) || !std::isfinite(model.sampleRate))
            return refuse(name + ": its sample rate is not a positive number");
        if (model.numInputChannels < 1 || model.numOutputChannels < 1)
            return refuse(name + ": it has no input or no output channels");
        // Code 5 loads but cannot be packed or unpacked: every frame would throw.
        if (model.inputPacking == 5 || model.outputPacking == 5)
            return refuse(name + ": packing code 5 cannot be processed");
        // A strided graph without its matching up-sampling (or the reverse) would deliver masks
        // that never pair one to one with the input frames.
        if (!keepsFrameRate(model))
            return refuse(name + ": its graph does not emit one frame per input frame");
        if (model.numOutputs < 0 || static_cast<int>(model.outputNames.size()) < model.numOutputs + 1)
            return refuse(name + ": it names fewer buses than it declares");

        const AudioFormat modelInput = makeFormat(model.numInputChannels, model.sampleRate);
        const AudioFormat modelOutput = makeFormat(model.numOutputChannels, model.sampleRate);
        if (i == 0)
        {
            inputFormatOfModels = modelInput;
            outputFormatOfModels = modelOutput;
            residualName = *std::next(model.outputNames.begin(), model.numOutputs);
        }
        else if (modelInput != inputFormatOfModels || modelOutput != outputFormatOfModels)
        {
            return refuse(name + " cannot run with " + nameModel(0) + ": they differ in sample rate or channels");
        }

        auto busName = model.outputNames.begin();
        for (int k = 0; k < model.numOutputs; ++k, ++busName)
            names.push_back(*busName);
        numOfBussesPerModel.push_back(model.numOutputs);
        totalModelBusses += model.numOutputs;
        // The residual needs a slot of its own.
        if (totalModelBusses > maxNumOfBusses - 1)
            return refuse("the models have more than " + std::to_string(maxNumOfBusses - 1) + " buses in all");
    }
    if (totalModelBusses < 1)
        return refuse("the models have no output bus besides the residual, so they never output anything");
    names.push_back(residualName);
    clearLastErrorMessage();

    threadPool.reset();
    numOfModels = static_cast<int>(models.size());
    neuralModels = std::move(models);
    modelInputFormat = std::move(inputFormatOfModels);
    modelOutputFormat = std::move(outputFormatOfModels);
    outputBusNames = std::move(names);
    numOfModelBusses = std::move(numOfBussesPerModel);
    outputsMasks = neuralModels.front().processingMode == 0;
    inputFrames.clear();
    busQueues.assign(static_cast<std::size_t>(getNumOfOutputBusses(false)), {});

    if (isUsable(inputFormat))
    {
        outputFormat = inputFormat;
        updateBlockSize();
    }
    if (numOfModels >= 2)
        threadPool = std::make_unique<ThreadPool>(numOfModels);
    return true;
}

bool MurelProcessor::setFormat(const AudioFormat& newInputFormat, const AudioFormat& newOutputFormat)
{
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
    updateBlockSize();
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
            return false;
    }
    const double factor = std::pow(2.0, exponent);
    const NeuralModel<float>& first = neuralModels.front();
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
    return setBlocking(sizes[0], sizes[1], sizes[2]);
}

int MurelProcessor::getLatency(int blockSize) const
{
    int modelLatency = 0;
    for (const NeuralModel<float>& model : neuralModels)
        modelLatency = std::max(modelLatency, model.latency);
    const int64_t latency = static_cast<int64_t>(BaseSpectralProcessor::getLatency(blockSize)) +
                            static_cast<int64_t>(modelLatency) * hopSize;
    return static_cast<int>(std::min<int64_t>(latency, std::numeric_limits<int>::max()));
}

void MurelProcessor::reset()
{
    BaseSpectralProcessor::reset();
    inputFrames.clear();
    busQueues.assign(static_cast<std::size_t>(getNumOfOutputBusses(false)), {});
    for (NeuralModel<float>& model : neuralModels)
        model.reset();
}

Signal32 MurelProcessor::process(const Signal32& block)
{
    return BaseSpectralProcessor::process(block);
}

std::list<ComplexSignal32> MurelProcessor::process(const ComplexSignal32& spectrum)
{
    std::list<ComplexSignal32> result;
    if (neuralModels.empty() || busQueues.empty() || outputFormat.getNumOfChannels() < 1 || fftSize < 2)
        return result;

    const ComplexSignal32 modelInput = ensureChannelFormat(spectrum, modelInputFormat.getNumOfChannels());
    const bool extrapolate = getMaskExtrapolationEnabled();
    for (NeuralModel<float>& model : neuralModels)
        model.maskExtrapolationEnabled = extrapolate;

    // All models finish (or fail) before anything is queued, so a failure drops this frame
    // whole instead of leaving the input and bus queues out of step.
    const std::vector<std::vector<ComplexSignal32>> outputs = runModels(modelInput);
    inputFrames.push_back(spectrum);
    int busIndex = 0;
    for (int m = 0; m < numOfModels; ++m)
        appendToBusOutputs(busIndex, numOfModelBusses[static_cast<std::size_t>(m)],
                           outputs[static_cast<std::size_t>(m)]);

    while (!isQueueEmpty())
        result.push_back(mixOldestFrames());
    return result;
}

std::vector<std::vector<ComplexSignal32>> MurelProcessor::runModels(const ComplexSignal32& modelInput)
{
    std::vector<std::vector<ComplexSignal32>> outputs(neuralModels.size());
    if (threadPool == nullptr)
    {
        for (std::size_t m = 0; m < neuralModels.size(); ++m)
            outputs[m] = neuralModels[m].process(modelInput);
        return outputs;
    }

    std::vector<std::future<std::vector<ComplexSignal32>>> futures;
    futures.reserve(neuralModels.size());
    std::exception_ptr failure;
    try
    {
        for (NeuralModel<float>& model : neuralModels)
        {
            NeuralModel<float>* runner = &model;
            // Each task holds its own handle on the spectrum (shared, never written).
            futures.push_back(threadPool->add([runner, modelInput]() { return runner->process(modelInput); }));
        }
    }
    catch (...)
    {
        failure = std::current_exception();
    }
    // A woken worker may take a while to be scheduled (the scheduler tends to queue freshly
    // woken workers on one core); the caller runs what is still queued instead of sleeping.
    // Each model still runs in exactly one task, and its outputs are taken in model order.
    while (threadPool->runPendingTask())
    {
    }
    // Every submitted task is waited for, also after a failure, so that no worker still runs
    // a model when this call returns.
    for (std::size_t m = 0; m < futures.size(); ++m)
    {
        try
        {
            outputs[m] = futures[m].get();
        }
        catch (...)
        {
            if (failure == nullptr)
                failure = std::current_exception();
        }
    }
    if (failure != nullptr)
        std::rethrow_exception(failure);
    return outputs;
}

void MurelProcessor::appendToBusOutputs(int& busIndex, int numOfBusses, const std::vector<ComplexSignal32>& outputs)
{
    const int numOfChannels = modelOutputFormat.getNumOfChannels();
    const int numOfBins = fftSize / 2 + 1;
    const int numOfQueues = static_cast<int>(busQueues.size());
    for (const ComplexSignal32& frame : outputs)
    {
        for (int k = 0; k < numOfBusses && busIndex + k < numOfQueues; ++k)
        {
            std::list<ComplexSignal32>& queue = busQueues[static_cast<std::size_t>(busIndex + k)];
            // The common single-bus frame is queued as it is, sharing its storage.
            if (numOfBusses == 1 && frame.hasStorage() && frame.getNumOfChannels() == numOfChannels &&
                frame.getNumOfSamples() == numOfBins)
            {
                queue.push_back(frame);
                continue;
            }
            // Channels and bins a model did not deliver count as zero.
            ComplexSignal32 bus(numOfChannels, numOfBins);
            bus.setToZero();
            const int bins = frame.hasStorage() ? std::clamp(frame.getNumOfSamples(), 0, numOfBins) : 0;
            for (int c = 0; c < numOfChannels; ++c)
            {
                const int source = k * numOfChannels + c;
                if (bins > 0 && source < frame.getNumOfChannels())
                    std::copy_n(frame.getReadPointer(source), bins, bus.getWritePointer(c));
            }
            queue.push_back(std::move(bus));
        }
    }
    busIndex += numOfBusses;
}

bool MurelProcessor::isQueueEmpty() const
{
    if (inputFrames.empty())
        return true;
    for (const std::list<ComplexSignal32>& queue : busQueues)
        if (queue.empty())
            return true;
    return false;
}

ComplexSignal32 MurelProcessor::mixOldestFrames()
{
    const int numOfChannels = outputFormat.getNumOfChannels();
    const int numOfBins = fftSize / 2 + 1;
    const int numOfFloats = 2 * numOfBins;
    const int numOfBusses = static_cast<int>(busQueues.size());

    const ComplexSignal32 input =
        conform(ensureChannelFormat(inputFrames.front(), numOfChannels), numOfChannels, numOfBins);
    ComplexSignal32 output(numOfChannels, numOfBins);
    busSum.resizeView(numOfChannels, numOfBins);
    busFrame.resizeView(numOfChannels, numOfBins);
    residual.resizeView(numOfChannels, numOfBins);

    for (int b = 0; b < numOfBusses; ++b)
    {
        std::list<ComplexSignal32>& queue = busQueues[static_cast<std::size_t>(b)];
        ComplexSignal32 y = conform(ensureChannelFormat(queue.front(), numOfChannels), numOfChannels, numOfBins);
        queue.pop_front();
        if (outputsMasks)
        {
            shapeMask(getSensitivity(b), y, busFrame);
            y = busFrame;
        }
        const float g = getGain(b);
        for (int c = 0; c < numOfChannels; ++c)
        {
            const float* source = floats(y.getReadPointer(c));
            float* sum = floats(busSum.getWritePointer(c));
            float* weighted = floats(output.getWritePointer(c));
            if (b == 0)
            {
                std::copy_n(source, numOfFloats, sum);
                scale(weighted, source, g, numOfFloats);
            }
            else
            {
                vec::addTo(sum, source, numOfFloats);
                addScaled(weighted, source, g, numOfFloats);
            }
        }
    }

    // The residual: what the model-produced buses leave of the unity mask, or of the spectrum.
    for (int c = 0; c < numOfChannels; ++c)
    {
        if (outputsMasks)
            oneMinus(residual.getWritePointer(c), busSum.getReadPointer(c), numOfBins);
        else
            subtract(floats(residual.getWritePointer(c)), floats(input.getReadPointer(c)),
                     floats(busSum.getReadPointer(c)), numOfFloats);
    }
    if (outputsMasks)
        shapeMask(getSensitivity(numOfBusses), residual, residual);
    const float residualGain = getGain(numOfBusses);
    for (int c = 0; c < numOfChannels; ++c)
    {
        float* weighted = floats(output.getWritePointer(c));
        addScaled(weighted, floats(residual.getReadPointer(c)), residualGain, numOfFloats);
        if (outputsMasks)
            multiplyComplex(output.getWritePointer(c), output.getReadPointer(c), input.getReadPointer(c), numOfBins);
    }

    inputFrames.pop_front();
    return output;
}

ComplexSignal32 MurelProcessor::processSensitivity(float sensitivityValue, const ComplexSignal32& mask) const
{
    if (!mask.hasStorage())
        return mask;
    ComplexSignal32 shaped(mask.getNumOfChannels(), mask.getNumOfSamples());
    shapeMask(sensitivityValue, mask, shaped);
    return shaped;
}

void MurelProcessor::shapeMask(float sensitivityValue, const ComplexSignal32& mask, ComplexSignal32& shaped) const
{
    const float exponent =
        static_cast<float>(std::pow(2.718281828459045, static_cast<double>(sensitivityValue * 0.0075f)));
    const float power = exponent - 1.0f;
    const int numOfShapedChannels = outputFormat.getNumOfChannels();
    const int numOfShapedBins = fftSize / 2 + 1;
    const int numOfBins = mask.getNumOfSamples();
    constexpr int lanes = vec::numOfLanes;

    for (int c = 0; c < mask.getNumOfChannels(); ++c)
    {
        // Read before the write pointer is taken: shaped may share mask's storage.
        const Complex* in = mask.getReadPointer(c);
        Complex* out = shaped.getWritePointer(c);
        in = &shaped == &mask ? out : in;
        const int shapedEnd = c < numOfShapedChannels ? std::min(numOfBins, numOfShapedBins) : 0;
        // Four bins at a time; a last partial group runs through the same code, padded, so that
        // every bin gets the same arithmetic.
        for (int k = 0; k < numOfBins; k += lanes)
        {
            const int count = std::min(lanes, numOfBins - k);
            alignas(16) float re[lanes] = {};
            alignas(16) float im[lanes] = {};
            if (count == lanes)
            {
                const float32x4x2_t parts = vec::loadDeinterleaved(floats(in + k));
                vec::store(re, parts.val[0]);
                vec::store(im, parts.val[1]);
            }
            else
            {
                for (int i = 0; i < count; ++i)
                {
                    re[i] = in[k + i].real();
                    im[i] = in[k + i].imag();
                }
            }
            const vec::Float4 phase = phaseOf(re, im);
            alignas(16) float magnitude[lanes];
            vec::store(magnitude, polarMagnitude(vec::load(re), vec::load(im)));
            // With the exponent 1 the factor is a power 0 of a positive number: exactly 1.
            if (exponent != 1.0f)
                for (int i = 0; i < count && k + i < shapedEnd; ++i)
                {
                    const float m = magnitude[i];
                    if (exponent < 1.0f)
                        magnitude[i] = m * std::pow(m + 1e-12f, power);
                    else
                        magnitude[i] = m * std::pow((0.5f - std::cos(m * 3.1415927f) * 0.5f) + 1e-12f, power);
                }
            vec::Float4 outRe;
            vec::Float4 outIm;
            fromPolar(phase, vec::load(magnitude), outRe, outIm);
            if (count == lanes)
            {
                vec::storeInterleaved(floats(out + k), outRe, outIm);
            }
            else
            {
                vec::store(re, outRe);
                vec::store(im, outIm);
                for (int i = 0; i < count; ++i)
                    out[k + i] = Complex(re[i], im[i]);
            }
        }
    }
}

ComplexSignal32 MurelProcessor::ensureChannelFormat(const ComplexSignal32& spectrum, int numOfChannels) const
{
    const int sourceChannels = spectrum.hasStorage() ? spectrum.getNumOfChannels() : 0;
    if (sourceChannels == numOfChannels)
        return spectrum;
    const int numOfBins = std::max(spectrum.getNumOfSamples(), 0);
    const int numOfFloats = 2 * numOfBins;
    if (sourceChannels < 1)
    {
        // Nothing to average: silence of the requested shape.
        ComplexSignal32 silence(std::max(numOfChannels, 1), numOfBins);
        silence.setToZero();
        return silence;
    }

    ComplexSignal32 mono = spectrum;
    if (sourceChannels >= 2)
    {
        mono = ComplexSignal32(1, numOfBins);
        float* average = floats(mono.getWritePointer(0));
        std::copy_n(floats(spectrum.getReadPointer(0)), numOfFloats, average);
        for (int c = 1; c < sourceChannels; ++c)
            vec::addTo(average, floats(spectrum.getReadPointer(c)), numOfFloats);
        scale(average, average, 1.0f / static_cast<float>(sourceChannels), numOfFloats);
    }
    if (numOfChannels < 2)
        return mono;

    ComplexSignal32 result(numOfChannels, numOfBins);
    for (int c = 0; c < numOfChannels; ++c)
        std::copy_n(mono.getReadPointer(0), numOfBins, result.getWritePointer(c));
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
