#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "DspCore/BaseSpectralProcessor.h"
#include "TestSupport.h"

using namespace murel;
using namespace murel::test;

namespace
{

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

// Silence queued in front of the input so that the first output hop is complete.
int startUpSilence(const Blocking& b)
{
    return b.window - b.hop * (isHannConfiguration(b) ? 2 : 1);
}

std::string describe(const Blocking& b)
{
    return "fft " + std::to_string(b.fft) + ", window " + std::to_string(b.window) + ", hop " + std::to_string(b.hop);
}

// What a scripted subclass does with frame k: how many spectra it returns, and the real gain of
// every bin of each of them.
struct Script
{
    std::function<int(int frame)> count = [](int) { return 1; };
    std::function<double(int frame, int copy, int bin)> gain = [](int, int, int) { return 1.0; };
};

// Hands each spectrum and its frame number (counted from the last reset) to the callback; by
// default returns the spectrum itself, sharing its storage.
class CallbackFrame : public BaseSpectralProcessor
{
public:
    using Callback = std::function<std::list<ComplexSignal32>(const ComplexSignal32&, int frame)>;
    explicit CallbackFrame(Callback c = [](const ComplexSignal32& in, int) { return std::list<ComplexSignal32>{in}; })
        : callback(std::move(c))
    {
    }

    using BaseSpectralProcessor::process;
    std::list<ComplexSignal32> process(const ComplexSignal32& spectrum) override
    {
        return callback(spectrum, frameIndex++);
    }
    void reset() override
    {
        BaseSpectralProcessor::reset();
        frameIndex = 0;
    }

    Callback callback;

private:
    int frameIndex = 0;
};

CallbackFrame::Callback scripted(const Script& script)
{
    return [script](const ComplexSignal32& spectrum, int frame)
    {
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
    };
}

void configure(BaseSpectralProcessor& frame, int inChannels, int outChannels, const Blocking& b)
{
    frame.setFormat(makeFormat(inChannels), makeFormat(outChannels));
    ASSERT_TRUE(frame.setBlocking(b.fft, b.window, b.hop));
}

void append(std::vector<std::vector<float>>& stream, const Signal32& output)
{
    stream.resize(static_cast<std::size_t>(output.getNumOfChannels()));
    for (int c = 0; c < output.getNumOfChannels(); ++c)
        stream[static_cast<std::size_t>(c)].insert(stream[static_cast<std::size_t>(c)].end(), output.getReadPointer(c),
                                                   output.getReadPointer(c) + output.getNumOfSamples());
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
        append(run.stream, output);
        emitted += output.getNumOfSamples();
        run.consumed.push_back(position);
        run.emitted.push_back(emitted);
    }
    return run;
}

// Output samples emitted after consuming this many: one hop less than the spectra returned.
int64_t expectedEmitted(const Blocking& b, int64_t consumed, const Script& script = Script())
{
    int64_t spectra = 0;
    for (int k = 0; k * b.hop + b.window <= startUpSilence(b) + consumed; ++k)
        spectra += script.count(k);
    return b.hop * std::max<int64_t>(0, spectra - 1);
}

// Reference frame in double precision: windows from their formulas, a direct DFT and the
// overlap-add of every returned frame, a frame being zero outside its window.
double hann(int n, int length)
{
    return 0.5 - 0.5 * std::cos(2.0 * pi * (n + 0.5) / length);
}

double analysisWindow(const Blocking& b, int n)
{
    return isHannConfiguration(b) ? hann(n, b.window) : std::sqrt(hann(n, b.window));
}

// Hann: a Hann window of two hops in the middle over the analysis window and the window length.
double synthesisWindow(const Blocking& b, int n)
{
    if (!isHannConfiguration(b))
        return std::sqrt(hann(n, b.window)) / b.fft;
    const int shortIndex = n - (b.window - 2 * b.hop) / 2;
    return shortIndex >= 0 && shortIndex < 2 * b.hop ? hann(shortIndex, 2 * b.hop) / (hann(n, b.window) * b.window)
                                                     : 0.0;
}

// Unscaled inverse of the Hermitian spectrum that the one-sided bins imply.
std::vector<double> realInverse(const std::vector<std::complex<double>>& bins, int n)
{
    std::vector<double> frame;
    for (const std::complex<double>& value : hermitianInverse(bins, static_cast<std::size_t>(n)))
        frame.push_back(value.real());
    return frame;
}

// The input with the start-up silence in front.
std::vector<double> withSilence(const float* input, int length, const Blocking& b)
{
    std::vector<double> padded(static_cast<std::size_t>(startUpSilence(b)), 0.0);
    padded.insert(padded.end(), input, input + length);
    return padded;
}

// Spectrum of frame k of a stream: windowed and zero-padded in front to fftSize.
std::vector<std::complex<double>> frameSpectrum(const std::vector<double>& padded, int k, const Blocking& b)
{
    std::vector<std::complex<double>> buffer(static_cast<std::size_t>(b.fft), 0.0);
    for (int n = 0; n < b.window; ++n)
        buffer[static_cast<std::size_t>(b.fft - b.window + n)] =
            padded[static_cast<std::size_t>(k * b.hop + n)] * analysisWindow(b, n);
    return directDft(buffer, -1, b.fft / 2 + 1);
}

std::vector<double> referenceStream(const float* input, int length, const Blocking& b, const Script& script)
{
    const std::vector<double> padded = withSilence(input, length, b);
    std::vector<std::vector<double>> frames; // inverse transforms, fftSize long
    for (int k = 0; static_cast<std::size_t>(k * b.hop + b.window) <= padded.size(); ++k)
    {
        const std::vector<std::complex<double>> spectrum = frameSpectrum(padded, k, b);
        for (int copy = 0; copy < script.count(k); ++copy)
        {
            std::vector<std::complex<double>> changed = spectrum;
            for (int bin = 0; bin <= b.fft / 2; ++bin)
                changed[static_cast<std::size_t>(bin)] *= script.gain(k, copy, bin);
            frames.push_back(realInverse(changed, b.fft));
        }
    }

    // Output hop i adds the parts of frames i and i + 1 that synthesisDelay and the overlap
    // place there, each through the synthesis window over the last windowSize samples.
    const int delay = isHannConfiguration(b) ? 1 : 0;
    const int numOfHops = std::max(0, static_cast<int>(frames.size()) - 1);
    std::vector<double> output(static_cast<std::size_t>(numOfHops * b.hop), 0.0);
    for (int i = 0; i < numOfHops; ++i)
        for (int j = 0; j < 2; ++j)
            for (int t = 0, n = b.window - b.hop * (1 + j + delay); t < b.hop; ++t, ++n)
                if (n >= 0 && n < b.window)
                    output[static_cast<std::size_t>(i * b.hop + t)] +=
                        frames[static_cast<std::size_t>(i + j)][static_cast<std::size_t>(b.fft - b.window + n)] *
                        synthesisWindow(b, n);
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

} // namespace

TEST(BaseSpectralProcessor, PassesBlocksThroughUntilBlockingIsSet)
{
    CallbackFrame frame;
    const Signal32 block = makeNoise(2, 100, 1);
    EXPECT_EQ(frame.process(block).getData(), block.getData());
    frame.setFormat(makeFormat(2), makeFormat(2));
    EXPECT_EQ(frame.process(block).getData(), block.getData());
    EXPECT_EQ(frame.getLatency(100), 0);
    EXPECT_TRUE(frame.getAnalysisWindow().isEmpty());
}

TEST(BaseSpectralProcessor, RejectsBlockingItCannotRun)
{
    const Signal32 block = makeNoise(1, 64, 2);
    const auto expectBypassed = [&block](CallbackFrame& frame)
    {
        EXPECT_EQ(frame.getWindowSize(), 0);
        EXPECT_EQ(frame.getLatency(64), 0);
        EXPECT_EQ(frame.process(block).getData(), block.getData());
    };
    for (const Blocking& b :
         {Blocking{256, 256, 0}, Blocking{256, 256, -4}, Blocking{256, 128, 129}, Blocking{128, 256, 64},
          Blocking{384, 256, 64}, Blocking{1, 1, 1}, Blocking{0, 0, 0}, Blocking{-256, 256, 64}, Blocking{256, -1, -1}})
    {
        SCOPED_TRACE(describe(b));
        CallbackFrame frame;
        frame.setFormat(makeFormat(1), makeFormat(1));
        EXPECT_FALSE(frame.setBlocking(b.fft, b.window, b.hop));
        expectBypassed(frame);
    }
    for (const auto& formats :
         {std::make_pair(AudioFormat(), makeFormat(1)), std::make_pair(makeFormat(1), AudioFormat()),
          std::make_pair(makeFormat(1, 0.0), makeFormat(1)), std::make_pair(makeFormat(1), makeFormat(1, -48000.0))})
    {
        CallbackFrame frame;
        frame.setFormat(formats.first, formats.second);
        EXPECT_FALSE(frame.setBlocking(256, 256, 128));
        expectBypassed(frame);
    }

    // A rejection after a working set-up switches processing off; a valid call turns it on.
    CallbackFrame frame;
    configure(frame, 1, 1, {256, 256, 128});
    frame.process(makeNoise(1, 300, 3));
    EXPECT_FALSE(frame.setBlocking(256, 256, 300));
    EXPECT_EQ(frame.getNumOfBufferedSamples(), 0);
    EXPECT_EQ(frame.getNumOfPendingFrames(), 0u);
    expectBypassed(frame);
    EXPECT_TRUE(frame.setBlocking(2, 1, 1)); // the smallest blocking there is
    EXPECT_EQ(frame.getNumOfBufferedSamples(), 0);
    EXPECT_TRUE(frame.setBlocking(256, 256, 128));
    EXPECT_EQ(frame.getNumOfBufferedSamples(), 128);
}

TEST(BaseSpectralProcessor, IdentityReproducesTheInputForEveryBlockingChannelCountAndSplit)
{
    // Square-root Hann frames emit one hop late, Hann frames two; a block size that is not a
    // multiple of the hop adds one more.
    struct Case
    {
        Blocking b;
        int latencyForWholeHops, latencyOtherwise;
    };
    const Case cases[] = {
        {{256, 256, 128}, 128, 256},  // square-root Hann
        {{1024, 256, 128}, 128, 256}, // square-root Hann, zero-padded
        {{256, 256, 64}, 128, 192},   // Hann
        {{512, 256, 64}, 128, 192},   // Hann, zero-padded
    };
    for (const Case& test : cases)
        for (int channels : {1, 2, 6})
        {
            const Blocking& b = test.b;
            SCOPED_TRACE(describe(b) + ", channels " + std::to_string(channels));
            // Hann windows normalise by the window length, the transform scales by its own.
            const double gain = isHannConfiguration(b) ? static_cast<double>(b.fft) / b.window : 1.0;
            const int length = 20 * b.hop + 37;
            const Signal32 input = makeNoise(channels, length, 7u + static_cast<unsigned>(channels));

            std::vector<std::vector<float>> whole;
            for (const std::vector<int>& pattern : std::vector<std::vector<int>>{
                     {length}, {1}, {b.hop}, {2 * b.hop}, {b.hop - 1}, {b.hop + 1}, {7, 130, 1, 64, 300, 33, 0}})
            {
                SCOPED_TRACE(::testing::Message() << "first block size " << pattern[0]);
                CallbackFrame frame;
                configure(frame, channels, channels, b);
                EXPECT_EQ(frame.getSynthesisDelay(), isHannConfiguration(b) ? 1 : 0);
                EXPECT_EQ(frame.getLatency(pattern[0]),
                          pattern[0] % b.hop == 0 ? test.latencyForWholeHops : test.latencyOtherwise);
                const StreamRun run = runStream(frame, input, pattern);
                for (std::size_t call = 0; call < run.consumed.size(); ++call)
                    ASSERT_EQ(run.emitted[call], expectedEmitted(b, run.consumed[call])) << "call " << call;

                // A host that starts with getLatency samples of silence never runs short, and for
                // blocks of whole hops the delay is exactly that. The last, shorter block is not
                // of the size the latency is for.
                if (pattern.size() == 1 && pattern[0] < length)
                {
                    const int latency = frame.getLatency(pattern[0]);
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

    CallbackFrame downmix; // two rows returned for one output channel: the second is ignored
    configure(downmix, 2, 1, b);
    EXPECT_EQ(downmix.getAnalysisWindow().getNumOfChannels(), 2);
    const StreamRun down = runStream(downmix, input, {100});
    ASSERT_EQ(down.stream.size(), 1u);
    for (std::size_t i = 0; i < down.stream[0].size(); ++i)
        ASSERT_NEAR(down.stream[0][i], input.getReadPointer(0)[i], 1e-5) << i;

    CallbackFrame upmix; // one row returned for three output channels: the others are silent
    configure(upmix, 1, 3, b);
    const Signal32 mono = input.toVectorOfChannels()[0];
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

TEST(BaseSpectralProcessor, SpectralChangesAndUnusualBlockingsMatchADirectReference)
{
    const auto check = [](const Blocking& b, const Script& script)
    {
        SCOPED_TRACE(describe(b));
        CallbackFrame frame(scripted(script));
        configure(frame, 2, 2, b);
        const Signal32 input = makeNoise(2, 30 * b.hop + 5, 9);
        expectMatchesReference(runStream(frame, input, {13, 50, 1}), input, b, script);
    };
    Script zeroBand;
    zeroBand.gain = [](int, int, int bin) { return bin >= 3 && bin <= 10 ? 0.0 : (bin > 20 ? 0.25 : 1.0); };
    Script halfGain;
    halfGain.gain = [](int, int, int) { return 0.5; };
    for (const Blocking& b : {Blocking{64, 64, 32}, Blocking{128, 64, 32}, Blocking{64, 64, 16}, Blocking{128, 64, 16}})
        for (const Script* script : {&zeroBand, &halfGain})
            check(b, *script);

    // Windows shorter than two hops leave gaps between frames; Hann windows of three hops
    // overlap too little to reconstruct. Both still stream as the rules say.
    for (const Blocking& b : {Blocking{32, 24, 16}, Blocking{32, 16, 16}, Blocking{64, 48, 16}, Blocking{64, 40, 8}})
        check(b, Script());
}

TEST(BaseSpectralProcessor, SubclassMayReturnNoSpectrumOrSeveral)
{
    Script script;
    // Frames 2, 3 and 11 give nothing; frames 5 and 9 give two spectra, the second one altered.
    script.count = [](int frame) { return frame == 2 || frame == 3 || frame == 11 ? 0 : (frame % 4 == 1 ? 2 : 1); };
    script.gain = [](int, int copy, int bin) { return copy == 0 ? 1.0 : (bin < 8 ? -0.5 : 2.0); };

    for (const Blocking& b : {Blocking{64, 64, 32}, Blocking{128, 64, 16}})
    {
        SCOPED_TRACE(describe(b));
        const Signal32 input = makeNoise(2, 24 * b.hop + 9, 10);
        std::vector<std::vector<float>> whole;
        for (const std::vector<int>& pattern : {std::vector<int>{input.getNumOfSamples()}, std::vector<int>{1},
                                                std::vector<int>{b.hop}, std::vector<int>{5, 77, 2 * b.hop}})
        {
            CallbackFrame frame(scripted(script));
            configure(frame, 2, 2, b);
            const StreamRun run = runStream(frame, input, pattern);
            expectMatchesReference(run, input, b, script);
            for (std::size_t call = 0; call < run.consumed.size(); ++call)
                ASSERT_EQ(run.emitted[call], expectedEmitted(b, run.consumed[call], script)) << "call " << call;
            if (whole.empty())
                whole = run.stream;
            else
                ASSERT_EQ(run.stream, whole);
        }
    }
}

TEST(BaseSpectralProcessor, IncompleteSpectraCountAsZero)
{
    // Missing rows: see OutputChannelsFollowTheOutputFormat.
    const Blocking b{64, 64, 32};
    const Signal32 input = makeNoise(2, 20 * b.hop, 12);

    CallbackFrame fewBins; // the bins above 12 are missing
    configure(fewBins, 2, 2, b);
    fewBins.callback = [](const ComplexSignal32& spectrum, int)
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
    empty.callback = [](const ComplexSignal32&, int) { return std::list<ComplexSignal32>{ComplexSignal32()}; };
    const StreamRun silent = runStream(empty, input, {b.hop});
    EXPECT_EQ(silent.emitted.back(), expectedEmitted(b, input.getNumOfSamples()));
    for (const std::vector<float>& channel : silent.stream)
        EXPECT_EQ(std::count(channel.begin(), channel.end(), 0.0f), static_cast<std::ptrdiff_t>(channel.size()));
}

TEST(BaseSpectralProcessor, ResetReproducesTheFreshOutput)
{
    for (const Blocking& b : {Blocking{256, 256, 128}, Blocking{512, 256, 64}})
    {
        Script script;
        script.count = [](int frame) { return frame == 4 ? 0 : 1; }; // the frame count restarts too
        CallbackFrame frame(scripted(script));
        configure(frame, 2, 2, b);
        const Signal32 input = makeNoise(2, 3000, 13);
        const StreamRun fresh = runStream(frame, input, {100});

        frame.process(makeNoise(2, 777, 14));
        frame.reset();
        EXPECT_EQ(frame.getNumOfPendingFrames(), 0u);
        EXPECT_EQ(frame.getNumOfBufferedSamples(), startUpSilence(b));
        const StreamRun again = runStream(frame, input, {100});
        EXPECT_EQ(again.stream, fresh.stream);
        EXPECT_EQ(again.emitted, fresh.emitted);
    }
}

TEST(BaseSpectralProcessor, BlocksOfAnotherChannelCountAreIgnored)
{
    const Blocking b{128, 128, 64};
    const Signal32 input = makeNoise(2, 1200, 15);
    CallbackFrame reference;
    configure(reference, 2, 2, b);
    const StreamRun expected = runStream(reference, input, {100});

    CallbackFrame frame;
    configure(frame, 2, 2, b);
    std::vector<std::vector<float>> stream;
    for (int block = 0; block < 12; ++block)
    {
        for (const Signal32& stray : {makeNoise(1, 100, 16), makeNoise(3, 500, 17), Signal32(), Signal32(2, 0)})
        {
            const Signal32 nothing = frame.process(stray);
            EXPECT_EQ(nothing.getNumOfChannels(), 2);
            EXPECT_EQ(nothing.getNumOfSamples(), 0);
        }
        append(stream, frame.process(slice(input, block * 100, 100)));
    }
    EXPECT_EQ(stream, expected.stream);
}

TEST(BaseSpectralProcessor, ProcessBlockTakesOnlyFramesOfItsShape)
{
    CallbackFrame frame;
    configure(frame, 2, 1, {64, 32, 16});
    EXPECT_TRUE(frame.processBlock(makeNoise(1, 32, 18)).empty());
    EXPECT_TRUE(frame.processBlock(makeNoise(2, 31, 18)).empty());
    EXPECT_TRUE(frame.processBlock(Signal32()).empty());
    const std::list<Signal32> frames = frame.processBlock(makeNoise(2, 32, 18));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames.front().getNumOfChannels(), 1);
    EXPECT_EQ(frames.front().getNumOfSamples(), 32);
}

TEST(BaseSpectralProcessor, WindowsAndTheSpectrumOfTheFrontPaddedWindowedFrameFollowTheirDefinitions)
{
    for (const Blocking& b : {Blocking{128, 64, 32}, Blocking{64, 64, 32}, Blocking{256, 64, 16}, Blocking{64, 48, 16}})
    {
        SCOPED_TRACE(describe(b));
        CallbackFrame frame;
        configure(frame, 2, 3, b);
        const Signal32 analysis = frame.getAnalysisWindow();
        EXPECT_EQ(analysis.getData(), frame.getAnalysisWindow().getData()); // shared, not copied
        const Signal32 synthesis = frame.getSynthesisWindow();
        ASSERT_EQ(analysis.getNumOfChannels(), 2);
        ASSERT_EQ(synthesis.getNumOfChannels(), 3);
        ASSERT_EQ(analysis.getNumOfSamples(), b.window);
        ASSERT_EQ(synthesis.getNumOfSamples(), b.window);
        for (int n = 0; n < b.window; ++n)
        {
            for (int c = 0; c < 2; ++c)
                EXPECT_NEAR(analysis.getReadPointer(c)[n], analysisWindow(b, n), 1e-6);
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(synthesis.getReadPointer(c)[n], synthesisWindow(b, n),
                            1e-5 * synthesisWindow(b, b.window / 2));
        }

        std::vector<ComplexSignal32> received;
        frame.callback = [&received](const ComplexSignal32& spectrum, int)
        {
            received.push_back(spectrum);
            return std::list<ComplexSignal32>{spectrum};
        };
        const Signal32 input = makeNoise(2, 10 * b.hop, 19);
        runStream(frame, input, {b.hop + 3});

        ASSERT_EQ(static_cast<int>(received.size()),
                  (startUpSilence(b) + input.getNumOfSamples() - b.window) / b.hop + 1);
        for (int c = 0; c < 2; ++c)
        {
            const std::vector<double> padded = withSilence(input.getReadPointer(c), input.getNumOfSamples(), b);
            for (std::size_t k = 0; k < received.size(); ++k)
            {
                ASSERT_EQ(received[k].getNumOfChannels(), 2);
                ASSERT_EQ(received[k].getNumOfSamples(), b.fft / 2 + 1);
                const std::vector<std::complex<double>> expected = frameSpectrum(padded, static_cast<int>(k), b);
                for (int bin = 0; bin <= b.fft / 2; ++bin)
                    ASSERT_LT(std::abs(std::complex<double>(received[k].getReadPointer(c)[bin]) -
                                       expected[static_cast<std::size_t>(bin)]),
                              1e-4)
                        << "frame " << k << ", bin " << bin;
            }
        }
    }
}
