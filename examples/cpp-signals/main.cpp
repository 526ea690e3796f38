// Uses the library's C++ classes directly: a stereo signal with copy-on-write storage, a queue
// that re-blocks audio, the math helpers and a channel layout. Exits non-zero when a check fails.

#include <cmath>
#include <cstdio>

#include <DspCore/AudioFormat.h>
#include <DspCore/MathEx.h>
#include <DspCore/Signals.h>
#include <Toolbox/SignalQueue.h>

namespace
{

int numOfFailures = 0;

void check(bool condition, const char* what)
{
    std::printf("%s: %s\n", condition ? "ok  " : "FAIL", what);
    if (!condition)
        ++numOfFailures;
}

float rampValue(int channel, int index)
{
    return static_cast<float>(channel * 100000 + index);
}

} // namespace

int main()
{
    // A stereo format at 48 kHz with the default layout.
    murel::AudioFormat format;
    format.setSampleRate(48000.0);
    format.createDefaultChannelMapping(2);
    check(format.getNumOfChannels() == 2, "stereo format has two channels");
    check(format.speakerIds[0] == murel::speakerLeft && format.speakerIds[1] == murel::speakerRight,
          "default stereo layout is left, right");

    // Copies share storage until one of them is written.
    const int numOfChannels = format.getNumOfChannels();
    murel::Signal32 block(numOfChannels, 480);
    for (int c = 0; c < numOfChannels; ++c)
    {
        float* samples = block.getWritePointer(c);
        for (int i = 0; i < block.getNumOfSamples(); ++i)
            samples[i] = rampValue(c, i);
    }
    murel::Signal32 copy = block;
    check(copy.getReadPointer(0) == block.getReadPointer(0), "a copy shares the samples");
    copy.getWritePointer(0)[0] = -1.0f;
    check(block.getReadPointer(0)[0] == 0.0f && copy.getReadPointer(0)[0] == -1.0f,
          "writing to the copy leaves the original alone");

    // Blocks of irregular length go in, blocks of 256 come out, samples in order.
    murel::SignalQueue<murel::Signal32> queue;
    const int blockLengths[] = {100, 37, 256, 1, 200};
    int written = 0;
    for (int length : blockLengths)
    {
        murel::Signal32 piece(numOfChannels, length);
        for (int c = 0; c < numOfChannels; ++c)
            for (int i = 0; i < length; ++i)
                piece.getWritePointer(c)[i] = rampValue(c, written + i);
        queue.add(piece);
        written += length;
    }
    check(queue.getNumOfSamples() == written, "the queue counts every sample");
    bool inOrder = true;
    int read = 0;
    while (queue.getNumOfSamples() >= 256)
    {
        const murel::Signal32 out = queue.get(256);
        for (int c = 0; c < numOfChannels; ++c)
            for (int i = 0; i < 256; ++i)
                inOrder = inOrder && out.getReadPointer(c)[i] == rampValue(c, read + i);
        read += 256;
    }
    check(inOrder && read == 512, "re-blocked samples come out in order");
    check(queue.getNumOfSamples() == written - read, "the rest stays queued");

    // Math helpers.
    check(std::fabs(murel::MathEx::toDecibel(murel::MathEx::fromDecibel(-6.0f)) + 6.0f) < 1e-4f,
          "decibel conversions are inverse");
    check(murel::MathEx::findLargerPowerOfTwo(1000) == 1024, "next power of two above 1000 is 1024");

    std::printf("%d checks failed\n", numOfFailures);
    return numOfFailures == 0 ? 0 : 1;
}
