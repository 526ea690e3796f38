#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <functional>
#include <list>
#include <random>
#include <vector>

#include "DspCore/BaseSpectralProcessor.h"

using namespace murel;

namespace
{

constexpr double pi = 3.14159265358979323846;

struct Blocking
{
    int fft;
    int window;
    int hop;
};

bool isHannConfiguration(const Blocking& b)
{
    return b.window >= 3 * b.hop;
}

AudioFormat makeFormat(int numOfChannels, double sampleRate = 48000.0)
{
    AudioFormat format;
    format.createDefaultChannelMapping(numOfChannels);
    format.setSampleRate(sampleRate);
    return format;
}

// Returns the spectrum itself, sharing its storage.
class IdentityFrame : public BaseSpectralProcessor
{
public:
    using BaseSpectralProcessor::process;
    std::list<ComplexSignal32> process(const ComplexSignal32& spectrum) override { return {spectrum}; }
};

// What a scripted subclass does with frame k: how many spectra it returns, and the real gain of
// every bin of each of them.
struct Script
{
    std::function<int(int frame)> count = [](int) { return 1; };
    std::function<double(int frame, int copy, int bin)> gain = [](int, int, int) { return 1.0; };
};

class ScriptedFrame : public BaseSpectralProcessor
{
public:
    explicit ScriptedFrame(Script s) : script(std::move(s)) {}

    using BaseSpectralProcessor::process;
    std::list<ComplexSignal32> process(const ComplexSignal32& spectrum) override
    {
        const int frame = frameIndex++;
        std::list<ComplexSignal32> result;
        for (int copy = 0; copy < script.count(frame); ++copy)
        {
            ComplexSignal32 out(spectrum.getNumOfChannels(), spectrum.getNumOfSamples());
            for (int c = 0; c < spectrum.getNumOfChannels(); ++c)
                for (int k = 0; k < spectrum.getNumOfSamples(); ++k)
                    out.getWritePointer(c)[k] =
                        spectrum.getReadPointer(c)[k] * static_cast<float>(script.gain(frame, copy, k));
            result.push_back(out);
        }
        return result;
    }
    void reset() override
    {
        BaseSpectralProcessor::reset();
        frameIndex = 0;
    }

private:
    Script script;
    int frameIndex = 0;
};

// Returns whatever the test puts in the callback.
class CallbackFrame : public BaseSpectralProcessor
{
public:
    using BaseSpectralProcessor::process;
    std::list<ComplexSignal32> process(const ComplexSignal32& spectrum) override { return callback(spectrum); }
    std::function<std::list<ComplexSignal32>(const ComplexSignal32&)> callback;
};

void configure(BaseSpectralProcessor& frame, int inChannels, int outChannels, const Blocking& b)
{
    frame.setFormat(makeFormat(inChannels), makeFormat(outChannels));
    ASSERT_TRUE(frame.setBlocking(b.fft, b.window, b.hop));
}

Signal32 makeNoise(int numOfChannels, int numOfSamples, unsigned seed)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> distribution(-1.0f, 1.0f);
    Signal32 noise(numOfChannels, numOfSamples);
    for (int c = 0; c < numOfChannels; ++c)
        for (int i = 0; i < numOfSamples; ++i)
            noise.getWritePointer(c)[i] = distribution(generator);
    return noise;
}

Signal32 slice(const Signal32& signal, int start, int length)
{
    Signal32 block(signal.getNumOfChannels(), length);
    for (int c = 0; length > 0 && c < signal.getNumOfChannels(); ++c)
        std::memcpy(block.getWritePointer(c), signal.getReadPointer(c) + start,
                    static_cast<std::size_t>(length) * sizeof(float));
    return block;
}

struct StreamRun
{
    std::vector<std::vector<float>> stream; // per output channel
    std::vector<int64_t> consumed;          // input samples pushed, after each call
    std::vector<int64_t> emitted;           // output samples returned, after each call
};

// Streams input through frame in blocks cycling through pattern; checks every result's shape.
StreamRun runStream(BaseSpectralProcessor& frame, const Signal32& input, const std::vector<int>& pattern)
{
    const int numOfOutputChannels = frame.getSynthesisWindow().getNumOfChannels();
    StreamRun run;
    run.stream.resize(static_cast<std::size_t>(numOfOutputChannels));
    int position = 0;
    int64_t emitted = 0;
    for (std::size_t call = 0; position < input.getNumOfSamples(); ++call)
    {
        const int length = std::min(pattern[call % pattern.size()], input.getNumOfSamples() - position);
        const Signal32 output = frame.process(slice(input, position, length));
        position += length;
        EXPECT_EQ(output.getNumOfChannels(), numOfOutputChannels);
        EXPECT_EQ(output.getNumOfSamples() % frame.getHopSize(), 0);
        for (int c = 0; c < numOfOutputChannels; ++c)
            run.stream[static_cast<std::size_t>(c)].insert(run.stream[static_cast<std::size_t>(c)].end(),
                                                           output.getReadPointer(c),
                                                           output.getReadPointer(c) + output.getNumOfSamples());
        emitted += output.getNumOfSamples();
        run.consumed.push_back(position);
        run.emitted.push_back(emitted);
    }
    return run;
}

// Output samples a frame with one spectrum per frame has emitted after consuming this many.
int64_t expectedEmitted(const Blocking& b, int64_t consumed)
{
    const int64_t silence = b.window - b.hop * (isHannConfiguration(b) ? 2 : 1);
    const int64_t available = silence + consumed;
    const int64_t frames = available >= b.window ? (available - b.window) / b.hop + 1 : 0;
    return b.hop * std::max<int64_t>(0, frames - 1);
}

// Reference frame in double precision: windows from their formulas, a direct DFT and the
// overlap-add of every returned frame, a frame being zero outside its window.
double hann(int n, int length)
{
    return 0.5 - 0.5 * std::cos(2.0 * pi * (n + 0.5) / length);
}

std::vector<double> referenceAnalysisWindow(const Blocking& b)
{
    std::vector<double> window(static_cast<std::size_t>(b.window));
    for (int n = 0; n < b.window; ++n)
        window[static_cast<std::size_t>(n)] = isHannConfiguration(b) ? hann(n, b.window) : std::sqrt(hann(n, b.window));
    return window;
}

std::vector<double> referenceSynthesisWindow(const Blocking& b)
{
    std::vector<double> window(static_cast<std::size_t>(b.window), 0.0);
    for (int n = 0; n < b.window; ++n)
    {
        double& value = window[static_cast<std::size_t>(n)];
        if (isHannConfiguration(b))
        {
            const int shortIndex = n - (b.window - 2 * b.hop) / 2;
            if (shortIndex >= 0 && shortIndex < 2 * b.hop)
                value = hann(shortIndex, 2 * b.hop) / (hann(n, b.window) * b.window);
        }
        else
            value = std::sqrt(hann(n, b.window)) / b.fft;
    }
    return window;
}

std::vector<std::complex<double>> directDft(const std::vector<double>& frame)
{
    const int n = static_cast<int>(frame.size());
    std::vector<std::complex<double>> spectrum(static_cast<std::size_t>(n / 2 + 1));
    for (int k = 0; k <= n / 2; ++k)
        for (int i = 0; i < n; ++i)
            spectrum[static_cast<std::size_t>(k)] +=
                frame[static_cast<std::size_t>(i)] * std::polar(1.0, -2.0 * pi * ((k * i) % n) / n);
    return spectrum;
}

// Unnormalised inverse of the Hermitian spectrum that the one-sided bins imply.
std::vector<double> directInverse(const std::vector<std::complex<double>>& spectrum, int n)
{
    std::vector<double> frame(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
    {
        double sum =
            spectrum[0].real() + spectrum[static_cast<std::size_t>(n / 2)].real() * ((i % 2) != 0 ? -1.0 : 1.0);
        for (int k = 1; k < n / 2; ++k)
            sum += 2.0 * (spectrum[static_cast<std::size_t>(k)] * std::polar(1.0, 2.0 * pi * ((k * i) % n) / n)).real();
        frame[static_cast<std::size_t>(i)] = sum;
    }
    return frame;
}

std::vector<double> referenceStream(const float* input, int length, const Blocking& b, const Script& script)
{
    const int delay = isHannConfiguration(b) ? 1 : 0;
    const int silence = b.window - b.hop * (1 + delay);
    std::vector<double> padded(static_cast<std::size_t>(silence), 0.0);
    padded.insert(padded.end(), input, input + length);
    const std::vector<double> analysis = referenceAnalysisWindow(b);
    const std::vector<double> synthesis = referenceSynthesisWindow(b);
    const int offset = b.fft - b.window;

    std::vector<std::vector<double>> frames;
    for (int k = 0; static_cast<std::size_t>(k * b.hop + b.window) <= padded.size(); ++k)
    {
        std::vector<double> buffer(static_cast<std::size_t>(b.fft), 0.0);
        for (int n = 0; n < b.window; ++n)
            buffer[static_cast<std::size_t>(offset + n)] =
                padded[static_cast<std::size_t>(k * b.hop + n)] * analysis[static_cast<std::size_t>(n)];
        const std::vector<std::complex<double>> spectrum = directDft(buffer);
        for (int copy = 0; copy < script.count(k); ++copy)
        {
            std::vector<std::complex<double>> changed = spectrum;
            for (int bin = 0; bin <= b.fft / 2; ++bin)
                changed[static_cast<std::size_t>(bin)] *= script.gain(k, copy, bin);
            const std::vector<double> time = directInverse(changed, b.fft);
            std::vector<double> frame(static_cast<std::size_t>(b.window));
            for (int n = 0; n < b.window; ++n)
                frame[static_cast<std::size_t>(n)] =
                    time[static_cast<std::size_t>(offset + n)] * synthesis[static_cast<std::size_t>(n)];
            frames.push_back(frame);
        }
    }

    const int numOfHops = std::max(0, static_cast<int>(frames.size()) - 1);
    std::vector<double> output(static_cast<std::size_t>(numOfHops * b.hop), 0.0);
    for (int i = 0; i < numOfHops; ++i)
        for (int j = 0; j < 2; ++j)
        {
            const int start = b.window - b.hop * (1 + j + delay);
            for (int t = 0; t < b.hop; ++t)
                if (start + t >= 0 && start + t < b.window)
                    output[static_cast<std::size_t>(i * b.hop + t)] +=
                        frames[static_cast<std::size_t>(i + j)][static_cast<std::size_t>(start + t)];
        }
    return output;
}

void expectMatchesReference(const StreamRun& run, const Signal32& input, const Blocking& b, const Script& script)
{
    for (int c = 0; c < input.getNumOfChannels(); ++c)
    {
        const std::vector<double> reference =
            referenceStream(input.getReadPointer(c), input.getNumOfSamples(), b, script);
        const std::vector<float>& stream = run.stream[static_cast<std::size_t>(c)];
        ASSERT_EQ(stream.size(), reference.size()) << "channel " << c;
        double peak = 1.0;
        for (double value : reference)
            peak = std::max(peak, std::abs(value));
        for (std::size_t i = 0; i < stream.size(); ++i)
            ASSERT_NEAR(stream[i], reference[i], 1e-5 * peak) << "channel " << c << ", sample " << i;
    }
}

const std::vector<Blocking> reconstructingBlockings = {
    {256, 256, 128},  // square-root Hann
    {1024, 256, 128}, // square-root Hann, zero-padded
    {256, 256, 64},   // Hann
    {512, 256, 64},   // Hann, zero-padded
};

} // namespace

TEST(BaseSpectralProcessor, PassesBlocksThroughUntilBlockingIsSet)
{
    IdentityFrame frame;
    const Signal32 block = makeNoise(2, 100, 1);
    EXPECT_EQ(frame.process(block).getData(), block.getData());
    frame.setFormat(makeFormat(2), makeFormat(2));
    EXPECT_EQ(frame.process(block).getData(), block.getData());
    EXPECT_EQ(frame.getLatency(100), 0);
    EXPECT_EQ(frame.getWindowSize(), 0);
    EXPECT_TRUE(frame.getAnalysisWindow().isEmpty());
}

TEST(BaseSpectralProcessor, RejectsBlockingItCannotRun)
{
    const std::vector<Blocking> invalid = {
        {256, 256, 0}, {256, 256, -4}, {256, 128, 129}, {128, 256, 64}, {384, 256, 64},
        {1, 1, 1},     {0, 0, 0},      {-256, 256, 64}, {256, -1, -1},
    };
    for (const Blocking& b : invalid)
    {
        IdentityFrame frame;
        frame.setFormat(makeFormat(1), makeFormat(1));
        EXPECT_FALSE(frame.setBlocking(b.fft, b.window, b.hop)) << b.fft << " " << b.window << " " << b.hop;
        EXPECT_EQ(frame.getWindowSize(), 0);
        EXPECT_EQ(frame.getLatency(64), 0);
        const Signal32 block = makeNoise(1, 64, 2);
        EXPECT_EQ(frame.process(block).getData(), block.getData());
    }

    const std::vector<std::pair<AudioFormat, AudioFormat>> badFormats = {
        {AudioFormat(), makeFormat(1)},
        {makeFormat(1), AudioFormat()},
        {makeFormat(1, 0.0), makeFormat(1)},
        {makeFormat(1), makeFormat(1, -48000.0)},
    };
    for (const auto& formats : badFormats)
    {
        IdentityFrame frame;
        frame.setFormat(formats.first, formats.second);
        EXPECT_FALSE(frame.setBlocking(256, 256, 128));
        EXPECT_EQ(frame.getWindowSize(), 0);
    }

    // A rejection after a working set-up switches processing off; a valid call turns it on.
    IdentityFrame frame;
    configure(frame, 1, 1, {256, 256, 128});
    frame.process(makeNoise(1, 300, 3));
    EXPECT_FALSE(frame.setBlocking(256, 256, 300));
    EXPECT_EQ(frame.getNumOfBufferedSamples(), 0);
    EXPECT_EQ(frame.getNumOfPendingFrames(), 0u);
    const Signal32 block = makeNoise(1, 64, 4);
    EXPECT_EQ(frame.process(block).getData(), block.getData());
    EXPECT_TRUE(frame.setBlocking(2, 1, 1)); // the smallest blocking there is
    EXPECT_EQ(frame.getNumOfBufferedSamples(), 0);
    EXPECT_TRUE(frame.setBlocking(256, 256, 128));
    EXPECT_EQ(frame.getNumOfBufferedSamples(), 128);
}

TEST(BaseSpectralProcessor, SquareRootHannFrameEmitsOneBlockLate)
{
    IdentityFrame frame;
    configure(frame, 1, 1, {1024, 1024, 512});
    EXPECT_EQ(frame.getSynthesisDelay(), 0);
    EXPECT_EQ(frame.getNumOfOverlaps(), 2);
    EXPECT_EQ(frame.getNumOfBufferedSamples(), 512);
    EXPECT_EQ(frame.getLatency(512), 512);
    EXPECT_EQ(frame.getLatency(1024), 512);
    EXPECT_EQ(frame.getLatency(500), 1024);

    const Signal32 input = makeNoise(1, 512 * 6, 5);
    for (int block = 0; block < 6; ++block)
    {
        const Signal32 output = frame.process(slice(input, block * 512, 512));
        if (block == 0)
        {
            EXPECT_EQ(output.getNumOfSamples(), 0);
            continue;
        }
        ASSERT_EQ(output.getNumOfSamples(), 512);
        for (int i = 0; i < 512; ++i)
            ASSERT_NEAR(output.getReadPointer(0)[i], input.getReadPointer(0)[(block - 1) * 512 + i], 1e-5) << i;
    }
}

TEST(BaseSpectralProcessor, HannFrameEmitsTwoBlocksLate)
{
    IdentityFrame frame;
    configure(frame, 1, 1, {512, 512, 128});
    EXPECT_EQ(frame.getSynthesisDelay(), 1);
    EXPECT_EQ(frame.getNumOfOverlaps(), 2);
    EXPECT_EQ(frame.getNumOfBufferedSamples(), 256);
    EXPECT_EQ(frame.getLatency(128), 256);
    EXPECT_EQ(frame.getLatency(100), 384);

    const Signal32 input = makeNoise(1, 128 * 8, 6);
    for (int block = 0; block < 8; ++block)
    {
        const Signal32 output = frame.process(slice(input, block * 128, 128));
        if (block < 2)
        {
            EXPECT_EQ(output.getNumOfSamples(), 0);
            continue;
        }
        ASSERT_EQ(output.getNumOfSamples(), 128);
        for (int i = 0; i < 128; ++i)
            ASSERT_NEAR(output.getReadPointer(0)[i], input.getReadPointer(0)[(block - 2) * 128 + i], 1e-5) << i;
    }
}

TEST(BaseSpectralProcessor, IdentityReproducesTheInputForEveryBlockingChannelCountAndSplit)
{
    for (const Blocking& b : reconstructingBlockings)
        for (int channels : {1, 2, 6})
        {
            SCOPED_TRACE(::testing::Message() << "fft " << b.fft << ", window " << b.window << ", hop " << b.hop
                                              << ", channels " << channels);
            // Hann windows normalise by the window length, the transform scales by its own.
            const double gain = isHannConfiguration(b) ? static_cast<double>(b.fft) / b.window : 1.0;
            const int length = 20 * b.hop + 37;
            const Signal32 input = makeNoise(channels, length, 7u + static_cast<unsigned>(channels));

            const std::vector<std::vector<int>> patterns = {
                {length}, {1}, {b.hop}, {2 * b.hop}, {b.hop - 1}, {b.hop + 1}, {7, 130, 1, 64, 300, 33, 0},
            };
            std::vector<std::vector<float>> whole;
            for (const std::vector<int>& pattern : patterns)
            {
                SCOPED_TRACE(::testing::Message() << "first block size " << pattern[0]);
                IdentityFrame frame;
                configure(frame, channels, channels, b);
                const StreamRun run = runStream(frame, input, pattern);
                for (std::size_t call = 0; call < run.consumed.size(); ++call)
                    ASSERT_EQ(run.emitted[call], expectedEmitted(b, run.consumed[call])) << "call " << call;

                // A host that starts with getLatency samples of silence never runs short, and for
                // blocks of whole hops the delay is exactly that.
                if (pattern.size() == 1 && pattern[0] < length)
                {
                    const int latency = frame.getLatency(pattern[0]);
                    // The last, shorter block is not of the size the latency is for.
                    for (std::size_t call = 0; call + 1 < run.consumed.size(); ++call)
                    {
                        const int64_t lag = run.consumed[call] - run.emitted[call];
                        ASSERT_LE(lag, latency) << "call " << call;
                        if (pattern[0] % b.hop == 0 && run.emitted[call] > 0)
                        {
                            ASSERT_EQ(lag, latency) << "call " << call;
                        }
                    }
                }

                for (int c = 0; c < channels; ++c)
                {
                    const std::vector<float>& stream = run.stream[static_cast<std::size_t>(c)];
                    ASSERT_GE(static_cast<int64_t>(stream.size()), length - frame.getLatency(length));
                    for (std::size_t i = 0; i < stream.size(); ++i)
                        ASSERT_NEAR(stream[i], gain * static_cast<double>(input.getReadPointer(c)[i]), 1e-5 * gain)
                            << "channel " << c << ", sample " << i;
                }
                if (whole.empty())
                    whole = run.stream;
                else
                    ASSERT_EQ(run.stream, whole) << "the split changed the output";
            }
        }
}

TEST(BaseSpectralProcessor, OutputChannelsFollowTheOutputFormat)
{
    const Blocking b{128, 128, 64};
    const Signal32 input = makeNoise(2, 1000, 8);

    IdentityFrame downmix; // two rows returned for one output channel: the second is ignored
    configure(downmix, 2, 1, b);
    EXPECT_EQ(downmix.getAnalysisWindow().getNumOfChannels(), 2);
    EXPECT_EQ(downmix.getSynthesisWindow().getNumOfChannels(), 1);
    const StreamRun down = runStream(downmix, input, {100});
    ASSERT_EQ(down.stream.size(), 1u);
    for (std::size_t i = 0; i < down.stream[0].size(); ++i)
        ASSERT_NEAR(down.stream[0][i], input.getReadPointer(0)[i], 1e-5) << i;

    IdentityFrame upmix; // one row returned for three output channels: the others are silent
    configure(upmix, 1, 3, b);
    const Signal32 mono = slice(input, 0, 1000).toVectorOfChannels()[0];
    const StreamRun up = runStream(upmix, mono, {100});
    ASSERT_EQ(up.stream.size(), 3u);
    ASSERT_FALSE(up.stream[0].empty());
    for (std::size_t i = 0; i < up.stream[0].size(); ++i)
    {
        ASSERT_NEAR(up.stream[0][i], mono.getReadPointer(0)[i], 1e-5) << i;
        ASSERT_EQ(up.stream[1][i], 0.0f);
        ASSERT_EQ(up.stream[2][i], 0.0f);
    }
}

TEST(BaseSpectralProcessor, SpectralChangesMatchADirectReference)
{
    Script zeroBand;
    zeroBand.gain = [](int, int, int bin) { return bin >= 3 && bin <= 10 ? 0.0 : (bin > 20 ? 0.25 : 1.0); };
    Script halfGain;
    halfGain.gain = [](int, int, int) { return 0.5; };

    for (const Blocking& b : {Blocking{64, 64, 32}, Blocking{128, 64, 32}, Blocking{64, 64, 16}, Blocking{128, 64, 16}})
        for (const Script* script : {&zeroBand, &halfGain})
        {
            SCOPED_TRACE(::testing::Message() << "fft " << b.fft << ", window " << b.window << ", hop " << b.hop);
            ScriptedFrame frame(*script);
            configure(frame, 2, 2, b);
            const Signal32 input = makeNoise(2, 30 * b.hop + 5, 9);
            const StreamRun run = runStream(frame, input, {13, 50, 1});
            expectMatchesReference(run, input, b, *script);
        }
}

TEST(BaseSpectralProcessor, SubclassMayReturnNoSpectrumOrSeveral)
{
    Script script;
    // Frames 2, 3 and 11 give nothing; frames 5 and 9 give two spectra, the second one altered.
    script.count = [](int frame) { return frame == 2 || frame == 3 || frame == 11 ? 0 : (frame % 4 == 1 ? 2 : 1); };
    script.gain = [](int, int copy, int bin) { return copy == 0 ? 1.0 : (bin < 8 ? -0.5 : 2.0); };

    for (const Blocking& b : {Blocking{64, 64, 32}, Blocking{128, 64, 16}})
    {
        SCOPED_TRACE(::testing::Message() << "fft " << b.fft << ", window " << b.window << ", hop " << b.hop);
        const Signal32 input = makeNoise(2, 24 * b.hop + 9, 10);
        std::vector<std::vector<float>> whole;
        for (const std::vector<int>& pattern : {std::vector<int>{input.getNumOfSamples()}, std::vector<int>{1},
                                                std::vector<int>{b.hop}, std::vector<int>{5, 77, 2 * b.hop}})
        {
            ScriptedFrame frame(script);
            configure(frame, 2, 2, b);
            const StreamRun run = runStream(frame, input, pattern);
            expectMatchesReference(run, input, b, script);
            if (whole.empty())
                whole = run.stream;
            else
                ASSERT_EQ(run.stream, whole);
        }

        // Counts per call follow the spectra returned so far: hop * (spectra - 1).
        ScriptedFrame frame(script);
        configure(frame, 2, 2, b);
        int64_t spectra = 0;
        int64_t emitted = 0;
        const int delay = isHannConfiguration(b) ? 1 : 0;
        int64_t available = b.window - b.hop * (1 + delay);
        int nextFrame = 0;
        for (int call = 0; call < 20; ++call)
        {
            emitted += frame.process(slice(input, call * b.hop, b.hop)).getNumOfSamples();
            available += b.hop;
            for (; available >= b.window; available -= b.hop)
                spectra += script.count(nextFrame++);
            ASSERT_EQ(emitted, b.hop * std::max<int64_t>(0, spectra - 1)) << "call " << call;
        }
    }
}

TEST(BaseSpectralProcessor, UnusualBlockingsFollowTheFramingRules)
{
    // Windows shorter than two hops leave gaps between frames; Hann windows of three hops
    // overlap too little to reconstruct. Both still stream as the rules say.
    const Script identity;
    for (const Blocking& b : {Blocking{32, 24, 16}, Blocking{32, 16, 16}, Blocking{64, 48, 16}, Blocking{64, 40, 8}})
    {
        SCOPED_TRACE(::testing::Message() << "fft " << b.fft << ", window " << b.window << ", hop " << b.hop);
        ScriptedFrame frame(identity);
        configure(frame, 1, 1, b);
        const Signal32 input = makeNoise(1, 20 * b.hop + 3, 11);
        const StreamRun run = runStream(frame, input, {7, 1, 40});
        expectMatchesReference(run, input, b, identity);
    }
}

TEST(BaseSpectralProcessor, IncompleteSpectraCountAsZero)
{
    const Blocking b{64, 64, 32};
    const Signal32 input = makeNoise(2, 20 * b.hop, 12);

    CallbackFrame oneRow; // returns only the first row
    configure(oneRow, 2, 2, b);
    oneRow.callback = [](const ComplexSignal32& spectrum)
    {
        ComplexSignal32 first(1, spectrum.getNumOfSamples());
        std::copy_n(spectrum.getReadPointer(0), spectrum.getNumOfSamples(), first.getWritePointer(0));
        return std::list<ComplexSignal32>{first};
    };
    const StreamRun rows = runStream(oneRow, input, {b.hop});
    ASSERT_FALSE(rows.stream[0].empty());
    for (std::size_t i = 0; i < rows.stream[0].size(); ++i)
    {
        ASSERT_NEAR(rows.stream[0][i], input.getReadPointer(0)[i], 1e-5) << i;
        ASSERT_EQ(rows.stream[1][i], 0.0f) << i;
    }

    CallbackFrame fewBins; // the bins above 12 are missing
    configure(fewBins, 2, 2, b);
    fewBins.callback = [](const ComplexSignal32& spectrum)
    {
        ComplexSignal32 low(spectrum.getNumOfChannels(), 13);
        for (int c = 0; c < spectrum.getNumOfChannels(); ++c)
            std::copy_n(spectrum.getReadPointer(c), 13, low.getWritePointer(c));
        return std::list<ComplexSignal32>{low};
    };
    Script lowPass;
    lowPass.gain = [](int, int, int bin) { return bin <= 12 ? 1.0 : 0.0; };
    expectMatchesReference(runStream(fewBins, input, {b.hop}), input, b, lowPass);

    CallbackFrame empty; // an empty spectrum is a silent frame, not a missing one
    configure(empty, 2, 2, b);
    empty.callback = [](const ComplexSignal32&) { return std::list<ComplexSignal32>{ComplexSignal32()}; };
    const StreamRun silent = runStream(empty, input, {b.hop});
    EXPECT_EQ(silent.emitted.back(), expectedEmitted(b, input.getNumOfSamples()));
    for (const std::vector<float>& channel : silent.stream)
        for (float sample : channel)
            ASSERT_EQ(sample, 0.0f);
}

TEST(BaseSpectralProcessor, ResetReproducesTheFreshOutput)
{
    for (const Blocking& b : {Blocking{256, 256, 128}, Blocking{512, 256, 64}})
    {
        Script script;
        script.count = [](int frame) { return frame == 4 ? 0 : 1; }; // the frame count restarts too
        ScriptedFrame frame(script);
        configure(frame, 2, 2, b);
        const Signal32 input = makeNoise(2, 3000, 13);
        const StreamRun fresh = runStream(frame, input, {100});

        frame.process(makeNoise(2, 777, 14));
        frame.reset();
        EXPECT_EQ(frame.getNumOfPendingFrames(), 0u);
        EXPECT_EQ(frame.getNumOfBufferedSamples(), b.window - b.hop * (1 + frame.getSynthesisDelay()));
        const StreamRun again = runStream(frame, input, {100});
        EXPECT_EQ(again.stream, fresh.stream);
        EXPECT_EQ(again.emitted, fresh.emitted);
    }
}

TEST(BaseSpectralProcessor, BlocksOfAnotherChannelCountAreIgnored)
{
    const Blocking b{128, 128, 64};
    const Signal32 input = makeNoise(2, 1200, 15);
    IdentityFrame reference;
    configure(reference, 2, 2, b);
    const StreamRun expected = runStream(reference, input, {100});

    IdentityFrame frame;
    configure(frame, 2, 2, b);
    std::vector<std::vector<float>> stream(2);
    for (int block = 0; block < 12; ++block)
    {
        for (const Signal32& stray : {makeNoise(1, 100, 16), makeNoise(3, 500, 17), Signal32(), Signal32(2, 0)})
        {
            const Signal32 nothing = frame.process(stray);
            EXPECT_EQ(nothing.getNumOfChannels(), 2);
            EXPECT_EQ(nothing.getNumOfSamples(), 0);
        }
        const Signal32 output = frame.process(slice(input, block * 100, 100));
        for (int c = 0; c < 2; ++c)
            stream[static_cast<std::size_t>(c)].insert(stream[static_cast<std::size_t>(c)].end(),
                                                       output.getReadPointer(c),
                                                       output.getReadPointer(c) + output.getNumOfSamples());
    }
    EXPECT_EQ(stream, expected.stream);
}

TEST(BaseSpectralProcessor, WindowsFollowTheirDefinitions)
{
    for (const Blocking& b : {Blocking{128, 64, 32}, Blocking{64, 64, 16}, Blocking{64, 48, 16}})
    {
        SCOPED_TRACE(::testing::Message() << "fft " << b.fft << ", window " << b.window << ", hop " << b.hop);
        IdentityFrame frame;
        configure(frame, 3, 2, b);
        const Signal32 analysis = frame.getAnalysisWindow();
        EXPECT_EQ(analysis.getData(), frame.getAnalysisWindow().getData()); // shared, not copied
        ASSERT_EQ(analysis.getNumOfChannels(), 3);
        ASSERT_EQ(analysis.getNumOfSamples(), b.window);
        const Signal32 synthesis = frame.getSynthesisWindow();
        ASSERT_EQ(synthesis.getNumOfChannels(), 2);
        ASSERT_EQ(synthesis.getNumOfSamples(), b.window);
        const std::vector<double> expectedAnalysis = referenceAnalysisWindow(b);
        const std::vector<double> expectedSynthesis = referenceSynthesisWindow(b);
        for (int n = 0; n < b.window; ++n)
        {
            const double scale = expectedSynthesis[static_cast<std::size_t>(b.window / 2)];
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(analysis.getReadPointer(c)[n], expectedAnalysis[static_cast<std::size_t>(n)], 1e-6);
            for (int c = 0; c < 2; ++c)
                EXPECT_NEAR(synthesis.getReadPointer(c)[n], expectedSynthesis[static_cast<std::size_t>(n)],
                            1e-5 * scale);
        }
        EXPECT_EQ(frame.getSynthesisDelay(), isHannConfiguration(b) ? 1 : 0);
    }
}

TEST(BaseSpectralProcessor, ProcessBlockTakesOnlyFramesOfItsShape)
{
    IdentityFrame frame;
    configure(frame, 2, 1, {64, 32, 16});
    EXPECT_TRUE(frame.processBlock(makeNoise(1, 32, 18)).empty());
    EXPECT_TRUE(frame.processBlock(makeNoise(2, 31, 18)).empty());
    EXPECT_TRUE(frame.processBlock(Signal32()).empty());
    const std::list<Signal32> frames = frame.processBlock(makeNoise(2, 32, 18));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames.front().getNumOfChannels(), 1);
    EXPECT_EQ(frames.front().getNumOfSamples(), 32);
}

TEST(BaseSpectralProcessor, SubclassSeesTheSpectrumOfTheFrontPaddedWindowedFrame)
{
    for (const Blocking& b : {Blocking{128, 64, 32}, Blocking{64, 64, 32}, Blocking{256, 64, 16}})
    {
        SCOPED_TRACE(::testing::Message() << "fft " << b.fft << ", window " << b.window << ", hop " << b.hop);
        CallbackFrame frame;
        configure(frame, 2, 2, b);
        std::vector<ComplexSignal32> received;
        frame.callback = [&received](const ComplexSignal32& spectrum)
        {
            received.push_back(spectrum);
            return std::list<ComplexSignal32>{spectrum};
        };
        const Signal32 input = makeNoise(2, 10 * b.hop, 19);
        runStream(frame, input, {b.hop + 3});

        const int silence = b.window - b.hop * (isHannConfiguration(b) ? 2 : 1);
        const std::vector<double> analysis = referenceAnalysisWindow(b);
        ASSERT_EQ(static_cast<int>(received.size()), (silence + input.getNumOfSamples() - b.window) / b.hop + 1);
        for (std::size_t k = 0; k < received.size(); ++k)
        {
            ASSERT_EQ(received[k].getNumOfChannels(), 2);
            ASSERT_EQ(received[k].getNumOfSamples(), b.fft / 2 + 1);
            for (int c = 0; c < 2; ++c)
            {
                std::vector<double> buffer(static_cast<std::size_t>(b.fft), 0.0);
                for (int n = 0; n < b.window; ++n)
                {
                    const int position = static_cast<int>(k) * b.hop + n - silence;
                    if (position >= 0)
                        buffer[static_cast<std::size_t>(b.fft - b.window + n)] =
                            static_cast<double>(input.getReadPointer(c)[position]) *
                            analysis[static_cast<std::size_t>(n)];
                }
                const std::vector<std::complex<double>> expected = directDft(buffer);
                for (int bin = 0; bin <= b.fft / 2; ++bin)
                {
                    const std::complex<float> got = received[k].getReadPointer(c)[bin];
                    ASSERT_NEAR(got.real(), expected[static_cast<std::size_t>(bin)].real(), 1e-4)
                        << "frame " << k << ", bin " << bin;
                    ASSERT_NEAR(got.imag(), expected[static_cast<std::size_t>(bin)].imag(), 1e-4)
                        << "frame " << k << ", bin " << bin;
                }
            }
        }
    }
}

TEST(BaseSpectralProcessor, ReturnedSpectraFillTheEndOfTheTransformFrame)
{
    // The spectrum of a unit impulse at the last of fftSize samples: after the inverse only the
    // last windowSize samples are kept, so every frame carries one impulse at its last sample.
    const Blocking b{128, 64, 32};
    CallbackFrame frame;
    configure(frame, 1, 1, b);
    frame.callback = [b](const ComplexSignal32&)
    {
        ComplexSignal32 impulse(1, b.fft / 2 + 1);
        for (int bin = 0; bin <= b.fft / 2; ++bin)
            impulse.getWritePointer(0)[bin] =
                std::polar(1.0f, static_cast<float>(-2.0 * pi * bin * (b.fft - 1) / b.fft));
        return std::list<ComplexSignal32>{impulse};
    };
    const StreamRun run = runStream(frame, makeNoise(1, 12 * b.hop, 20), {b.hop});
    const double peak = std::sqrt(hann(b.window - 1, b.window)); // fftSize times the synthesis window
    ASSERT_FALSE(run.stream[0].empty());
    for (std::size_t i = 0; i < run.stream[0].size(); ++i)
    {
        const double expected = static_cast<int>(i % static_cast<std::size_t>(b.hop)) == b.hop - 1 ? peak : 0.0;
        ASSERT_NEAR(run.stream[0][i], expected, 1e-5) << i;
    }
}
