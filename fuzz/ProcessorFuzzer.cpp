// Drives the processor's C functions with a fuzzed model and a fuzzed call script.
//
// Input layout: model bytes, then the script, then one byte with the script's length. The model
// is written to a temporary file (the C interface loads from paths) and opened as a processor
// or, with two copies, as a stem separator. The script picks the channel count and host rate,
// then adds and takes audio in fuzzed block sizes (planar and interleaved) and sets parameters,
// non-finite values included, between the calls. The documented contracts of the queue and the
// parameters are checked; anything else counts only when a sanitizer or the time limit trips.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

#include "Interface/MurelEngine.h"

namespace
{

/** Audio one input may add in all, so that every unit stays short: at most this many frames,
    and at most enough for this many model frames (a host rate far below the model's makes
    every few samples a frame). */
constexpr int maxFramesPerInput = 1 << 15;
constexpr int maxModelFramesPerInput = 256;
/** Processor time after which an input stops adding audio. The frame budget is only an
    estimate (blocking and per-frame work vary widely), and the call pattern matters, not the
    amount of audio. */
constexpr double maxSecondsPerInput = 2.0;
/** Script steps one input may run. */
constexpr int maxSteps = 64;

void check(bool condition, const char* what)
{
    if (!condition)
    {
        std::fprintf(stderr, "contract broken: %s\n", what);
        std::abort();
    }
}

/** Reads the script; zeros once it is used up. */
class Script
{
public:
    Script(const std::uint8_t* bytes, std::size_t size) : bytes(bytes), size(size) {}

    bool empty() const { return position >= size; }

    std::uint8_t byte() { return position < size ? bytes[position++] : 0; }

    std::uint16_t word() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }

    float rawFloat()
    {
        std::uint32_t bits = 0;
        for (int i = 0; i < 4; ++i)
            bits |= static_cast<std::uint32_t>(byte()) << (8 * i);
        float value = 0.0f;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

private:
    const std::uint8_t* bytes;
    std::size_t size;
    std::size_t position = 0;
};

double hostRate(Script& script)
{
    constexpr double inf = std::numeric_limits<double>::infinity();
    static const double rates[] = {8000.0,  11025.0, 16000.0, 22050.0,  24000.0,  32000.0,
                                   44100.0, 48000.0, 88200.0, 96000.0,  192000.0, 44099.5,
                                   1.0,     1.0e9,   0.0,     -48000.0, inf,      std::nan("")};
    const std::uint8_t choice = script.byte();
    if (choice < sizeof rates / sizeof rates[0])
        return rates[choice];
    return 4000.0 + 50.0 * script.word(); // 4 kHz to about 3.3 MHz
}

int channelCount(Script& script)
{
    static const int counts[] = {1, 2, 1, 2, 3, 4, 6, 8, 0, -1, 1025};
    return counts[script.byte() % (sizeof counts / sizeof counts[0])];
}

/** Block sizes: mostly small and odd, sometimes large, zero or negative. */
int blockSize(Script& script)
{
    const std::uint8_t kind = script.byte();
    const std::uint16_t value = script.word();
    switch (kind % 8)
    {
    case 0:
        return 0;
    case 1:
        return -static_cast<int>(value % 3) - 1;
    case 2:
        return value % 4097;
    default:
        return 1 + value % 700;
    }
}

int parameterId(Script& script)
{
    const std::uint8_t kind = script.byte();
    const int bus = static_cast<int>(script.byte() % 20) - 2; // -2 ... 17
    switch (kind % 6)
    {
    case 0:
        return 1;
    case 1:
        return 2;
    case 2:
        return 3;
    case 3:
        return 256 + bus;
    case 4:
        return 512 + bus;
    default:
        return static_cast<int>(script.word()) - 1000;
    }
}

float parameterValue(Script& script)
{
    constexpr float inf = std::numeric_limits<float>::infinity();
    static const float values[] = {0.0f,     -0.0f,  1.0f,    -1.0f,         0.5f,
                                   6.0f,     -6.0f,  -96.0f,  -97.0f,        100.0f,
                                   101.0f,   -100.f, -101.0f, 1.0e30f,       -1.0e30f,
                                   1.0e-40f, inf,    -inf,    std::nanf(""), std::numeric_limits<float>::max()};
    const std::uint8_t choice = script.byte();
    if (choice < sizeof values / sizeof values[0])
        return values[choice];
    return script.rawFloat();
}

/** The next block of input audio in one of several characters, hostile ones included. */
class AudioSource
{
public:
    void setStyle(std::uint8_t newStyle, std::uint32_t seed)
    {
        style = newStyle % 9;
        state = seed | 1u;
    }

    float next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const float noise = static_cast<float>(state & 0xffff) / 32768.0f - 1.0f;
        ++count;
        switch (style)
        {
        case 0:
            return noise;
        case 1:
            return 0.0f;
        case 2:
            return 0.5f * std::sin(0.05f * static_cast<float>(count % 100000));
        case 3:
            return noise < 0.0f ? -3.0e38f : 3.0e38f;
        case 4:
            return (state & 0x3ff) == 0 ? std::nanf("") : noise;
        case 5:
            return (state & 0x3ff) == 0 ? std::numeric_limits<float>::infinity() : noise;
        case 6:
            return noise * 1.0e-39f;
        case 7:
            return noise < 0.0f ? -1.0f : 1.0f;
        default:
            return (state & 0xff) == 0 ? -std::numeric_limits<float>::infinity() : noise * 1.0e6f;
        }
    }

private:
    std::uint8_t style = 0;
    std::uint32_t state = 1;
    std::uint64_t count = 0;
};

/** Planar buffers, one allocation per channel so that the sanitizer sees each one's end. */
struct PlanarBuffer
{
    PlanarBuffer(int channels, int frames)
        : data(static_cast<std::size_t>(channels), std::vector<float>(static_cast<std::size_t>(frames)))
    {
        for (auto& channel : data)
            pointers.push_back(channel.data());
    }

    std::vector<std::vector<float>> data;
    std::vector<float*> pointers;
};

constexpr float untouched = 1234.5f;

bool allUntouched(const std::vector<float>& samples)
{
    for (const float sample : samples)
        if (sample != untouched)
            return false;
    return true;
}

void takeAudio(void* processor, int channels, int frames, bool interleaved)
{
    const int pending = murelGetNumOfPendingSamples(processor);
    check(pending >= 0, "pending count is negative");
    // Never empty: an empty vector's null data would be a bad argument, not an empty request.
    const std::size_t count = static_cast<std::size_t>(frames > 1 ? frames : 1);
    bool taken = false;
    bool written = false;
    if (interleaved)
    {
        std::vector<float> samples(count * static_cast<std::size_t>(channels), untouched);
        taken = murelGetAudioInterleaved(processor, samples.data(), frames);
        written = !allUntouched(samples);
    }
    else
    {
        PlanarBuffer buffer(channels, static_cast<int>(count));
        for (auto& channel : buffer.data)
            std::fill(channel.begin(), channel.end(), untouched);
        taken = murelGetAudio(processor, buffer.pointers.data(), frames);
        for (const auto& channel : buffer.data)
            written = written || !allUntouched(channel);
    }
    const bool expected = frames >= 0 && frames <= pending;
    check(taken == expected, "get succeeds exactly when enough samples are pending");
    if (!taken)
        check(!written, "a failed get writes nothing");
    const int left = murelGetNumOfPendingSamples(processor);
    check(left == (taken ? pending - frames : pending), "a get takes exactly what it returns");
}

void addAudio(void* processor, int channels, int frames, bool interleaved, AudioSource& source)
{
    const std::size_t count = static_cast<std::size_t>(frames > 0 ? frames : 0);
    if (interleaved)
    {
        std::vector<float> samples(count * static_cast<std::size_t>(channels));
        for (float& sample : samples)
            sample = source.next();
        murelAddAudioInterleaved(processor, samples.data(), frames);
    }
    else
    {
        PlanarBuffer buffer(channels, static_cast<int>(count));
        for (auto& channel : buffer.data)
            for (float& sample : channel)
                sample = source.next();
        murelAddAudio(processor, buffer.pointers.data(), frames);
    }
}

void setParameter(void* processor, int id, float value)
{
    const float before = murelGetParameterValue(processor, id);
    murelSetParameterValue(processor, id, value);
    const float after = murelGetParameterValue(processor, id);
    check(std::isfinite(after), "parameters read back finite");
    // Id 1 also sets bus 0's gain, so only the plain gains and sensitivities keep their value.
    const bool plain = id == 2 || (id >= 256 && id < 256 + 16) || (id >= 512 && id < 512 + 16);
    if (plain && !std::isfinite(value))
        check(after == before, "non-finite values are ignored");
    if (plain && std::isfinite(value) && (id == 2 || id >= 512))
        check(after >= -100.0f && after <= 100.0f, "sensitivities stay in range");
    if (plain && std::isfinite(value) && id >= 256 && id < 512)
        check(after >= 0.0f, "gains are never negative");
}

void inspect(void* processor, Script& script)
{
    MurelModelInfo info;
    std::memset(&info, 0, sizeof info);
    murelGetProcessorInfo(processor, &info);
    check(info.latency >= 0, "latency is never negative");
    const int busses = murelGetNumOfOutputBusses(processor);
    check(busses >= 0 && busses <= 16, "bus count within the parameter range");
    const int size = script.byte() % 40;
    std::vector<char> name(static_cast<std::size_t>(size) + 1, 'x');
    murelGetOutputBusName(processor, static_cast<int>(script.byte() % 20) - 2, name.data(), size);
    check(name[static_cast<std::size_t>(size)] == 'x', "bus names stay inside the buffer");
    float minimum = 0.0f;
    float maximum = 0.0f;
    murelGetParameterRange(processor, parameterId(script), &minimum, &maximum);
    check(minimum <= maximum, "ranges are ordered");
}

/** The audio frames one input may add to the processor. */
int frameBudget(void* processor, double hostRate)
{
    MurelModelInfo info;
    std::memset(&info, 0, sizeof info);
    murelGetProcessorInfo(processor, &info);
    // The processor scales the model's blocking by the power of two that covers the rate ratio.
    double hop = 1.0;
    if (info.sampleRate > 0.0 && info.hopSize > 0)
        hop = std::max(1.0, info.hopSize * std::exp2(std::ceil(std::log2(hostRate / info.sampleRate))));
    return static_cast<int>(std::min<double>(maxFramesPerInput, maxModelFramesPerInput * hop));
}

std::string temporaryPath()
{
    const char* directory = std::getenv("TMPDIR");
    return std::string(directory != nullptr && *directory != '\0' ? directory : "/tmp") + "/murel-processor-fuzz-" +
           std::to_string(::getpid()) + ".model";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t scriptSize = std::min<std::size_t>(data[size - 1], size - 1);
    const std::size_t modelSize = size - 1 - scriptSize;
    Script script(data + modelSize, scriptSize);

    static const std::string path = temporaryPath();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return 0;
    std::fwrite(data, 1, modelSize, file);
    std::fclose(file);

    const std::uint8_t setup = script.byte();
    const int channels = channelCount(script);
    const double rate = hostRate(script);
    void* processor = nullptr;
    if ((setup & 1) != 0)
    {
        const char* paths[] = {path.c_str(), path.c_str()};
        processor = murelCreateStemSeparator(2, paths, channels, rate);
    }
    else
    {
        processor = murelCreateProcessor(path.c_str(), channels, rate);
    }
    std::remove(path.c_str());
    if (processor == nullptr)
        return 0;
    check(channels >= 1 && channels <= 1024, "bad channel counts are refused");
    check(rate > 0.0 && std::isfinite(rate), "bad rates are refused");

    AudioSource source;
    source.setStyle(setup >> 1, 0x9e3779b9u);
    const int budget = frameBudget(processor, rate);
    int framesAdded = 0;
    const std::clock_t start = std::clock();
    for (int step = 0; step < maxSteps && !script.empty(); ++step)
    {
        if (static_cast<double>(std::clock() - start) > maxSecondsPerInput * CLOCKS_PER_SEC)
            break;
        const std::uint8_t operation = script.byte();
        switch (operation % 12)
        {
        case 0:
        case 1:
        case 2:
        {
            const int frames = blockSize(script);
            if (framesAdded + std::max(frames, 0) > budget)
                break;
            framesAdded += std::max(frames, 0);
            addAudio(processor, channels, frames, operation % 12 == 2, source);
            break;
        }
        case 3:
        case 4:
        {
            const int frames = blockSize(script);
            takeAudio(processor, channels, frames, operation % 12 == 4);
            break;
        }
        case 5:
            takeAudio(processor, channels, murelGetNumOfPendingSamples(processor), (operation & 0x10) != 0);
            break;
        case 6:
        case 7:
        {
            const int id = parameterId(script);
            setParameter(processor, id, parameterValue(script));
            break;
        }
        case 8:
            murelResetProcessorState(processor);
            check(murelGetNumOfPendingSamples(processor) == 0, "reset empties the queue");
            break;
        case 9:
            inspect(processor, script);
            break;
        case 10:
            source.setStyle(script.byte(), static_cast<std::uint32_t>(script.word()) << 8);
            break;
        default:
        {
            // A burst of audio with taking as it goes, as a host's callback does.
            const int frames = 1 + script.byte() % 128;
            for (int i = 0; i < 8 && framesAdded + frames <= budget; ++i)
            {
                framesAdded += frames;
                addAudio(processor, channels, frames, (i & 1) != 0, source);
                takeAudio(processor, channels, std::min(frames, murelGetNumOfPendingSamples(processor)), (i & 2) != 0);
            }
            break;
        }
        }
    }
    murelDeleteProcessor(processor);
    return 0;
}
