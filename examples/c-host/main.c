/* A host written in C that uses only the public header: it loads a model file, streams a
   signal through the processor in odd block sizes, planar and interleaved, the way a real-time
   host does (silence while the reported latency lasts, then the processor's output), and checks
   that what comes out is the input delayed by that latency; then it does the same through an
   audio callback that calls murelProcessAudio. Meant for models that pass their input through
   (an identity model); exits non-zero on any mismatch.

   usage: c-host [MODEL_FILE [CHANNELS [SAMPLE_RATE]]]
   Without a model file only the checks that need none run. */
#include <Interface/MurelEngine.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_CHANNELS 8
#define MAX_BLOCK 512
#define NUM_OF_SAMPLES 48000
#define TOLERANCE 1e-4f

static int numOfFailures = 0;

static void check(int condition, const char* what)
{
    if (!condition)
    {
        fprintf(stderr, "FAIL: %s\n", what);
        ++numOfFailures;
    }
}

/* Deterministic noise in [-0.5, 0.5). */
static float nextSample(unsigned int* state)
{
    *state = *state * 1664525u + 1013904223u;
    return (float)(*state >> 8) / 16777216.0f - 0.5f;
}

static float absolute(float x)
{
    return x < 0.0f ? -x : x;
}

/* What needs no model: bad arguments are refused without a crash, the back end is named. */
static void checkWithoutModel(void)
{
    char name[16];
    float minimum = 0.0f;
    float maximum = 0.0f;
    check(murelCreateProcessor(NULL, 2, 48000.0) == NULL, "a null path gives no processor");
    check(murelCreateProcessor("no such file.model", 2, 48000.0) == NULL, "a missing file gives no processor");
    check(murelCreateStemSeparator(0, NULL, 2, 48000.0) == NULL, "no model files give no processor");
    check(murelGetNumOfPendingSamples(NULL) == 0, "a null handle has nothing pending");
    check(!murelGetAudio(NULL, NULL, 0), "a null handle delivers nothing");
    murelDeleteProcessor(NULL);

    murelGetVectorArithmeticWrapperName(name, (int)sizeof name);
    printf("vector arithmetic: %s\n", name);
    check(strcmp(name, "ARM NEON") == 0, "the vector back end is ARM NEON");

    murelGetParameterRange(NULL, 1, &minimum, &maximum);
    check(minimum == -96.0f && maximum == 0.0f, "the level of bus 1 ranges from -96 to 0 dB");
}

/* What a host's audio callback does: the processor turns n input samples into n output samples,
   exactly the reported latency late. The input is const float* const*: a float** converts to it
   only in C++, so a C host declares its input so (or casts). */
static void audioCallback(void* processor, const float* const* input, float** output, int n)
{
    murelProcessAudio(processor, input, output, n);
}

/* The callback way: prepared for the largest block before audio starts (after that nothing
   allocates), then called with odd block sizes. Returns the largest deviation from the input
   delayed by latency. */
static float runCallback(void* processor, int numOfChannels, int latency, float input[][NUM_OF_SAMPLES],
                         float output[][NUM_OF_SAMPLES])
{
    static const int blockSizes[] = {64, 3, 512, 100, 1, 441};
    const int numOfBlockSizes = (int)(sizeof blockSizes / sizeof blockSizes[0]);
    const float* in[MAX_CHANNELS];
    float* out[MAX_CHANNELS];
    float worst = 0.0f;
    int position = 0;
    int block = 0;
    int c;
    int n;
    check(murelPrepareProcessor(processor, MAX_BLOCK), "the processor is prepared for the largest block");
    for (; position < NUM_OF_SAMPLES; ++block)
    {
        int count = blockSizes[block % numOfBlockSizes];
        if (count > NUM_OF_SAMPLES - position)
            count = NUM_OF_SAMPLES - position;
        for (c = 0; c < numOfChannels; ++c)
        {
            in[c] = input[c] + position;
            out[c] = output[c] + position;
        }
        audioCallback(processor, in, out, count);
        position += count;
    }
    for (c = 0; c < numOfChannels; ++c)
        for (n = 0; n < NUM_OF_SAMPLES; ++n)
        {
            const float expected = n >= latency ? input[c][n - latency] : 0.0f;
            const float error = absolute(output[c][n] - expected);
            if (error > worst)
                worst = error;
        }
    return worst;
}

static int runModel(const char* path, int numOfChannels, double sampleRate)
{
    static float input[MAX_CHANNELS][NUM_OF_SAMPLES];
    static float output[MAX_CHANNELS][NUM_OF_SAMPLES];
    static float interleaved[MAX_CHANNELS * MAX_BLOCK];
    static const int blockSizes[] = {97, 1, 255, 13, 480, 7, 311};
    const int numOfBlockSizes = (int)(sizeof blockSizes / sizeof blockSizes[0]);
    float* channels[MAX_CHANNELS];
    MurelModelInfo info;
    unsigned int state = 12345u;
    int position = 0;
    int emitted = 0;
    int block = 0;
    int numOfBusses;
    int b;
    int c;
    int n;
    float worst = 0.0f;
    void* processor = murelCreateProcessor(path, numOfChannels, sampleRate);
    if (processor == NULL)
    {
        fprintf(stderr, "FAIL: cannot create a processor from %s\n", path);
        return 1;
    }

    memset(&info, 0, sizeof info);
    murelGetProcessorInfo(processor, &info);
    printf("model: %.0f Hz, %d channels, window %d, hop %d; latency at %.0f Hz: %d samples\n", info.sampleRate,
           info.numOfChannels, info.windowSize, info.hopSize, sampleRate, info.latency);
    numOfBusses = murelGetNumOfOutputBusses(processor);
    for (b = 0; b < numOfBusses; ++b)
    {
        char name[64];
        murelGetOutputBusName(processor, b, name, (int)sizeof name - 1);
        name[sizeof name - 1] = '\0';
        printf("bus %d: %s, gain %.2f\n", b, name, (double)murelGetParameterValue(processor, 256 + b));
    }

    for (c = 0; c < numOfChannels; ++c)
        for (n = 0; n < NUM_OF_SAMPLES; ++n)
            input[c][n] = nextSample(&state);

    while (position < NUM_OF_SAMPLES)
    {
        int count = blockSizes[block % numOfBlockSizes];
        int silent = 0;
        int wanted;
        if (count > NUM_OF_SAMPLES - position)
            count = NUM_OF_SAMPLES - position;

        if (block % 2 == 0)
        {
            for (c = 0; c < numOfChannels; ++c)
                channels[c] = input[c] + position;
            murelAddAudio(processor, channels, count);
        }
        else
        {
            for (n = 0; n < count; ++n)
                for (c = 0; c < numOfChannels; ++c)
                    interleaved[n * numOfChannels + c] = input[c][position + n];
            murelAddAudioInterleaved(processor, interleaved, count);
        }

        /* Silence while the latency lasts, then exactly as many samples as went in. */
        if (emitted < info.latency)
            silent = count < info.latency - emitted ? count : info.latency - emitted;
        for (c = 0; c < numOfChannels; ++c)
            memset(output[c] + position, 0, (size_t)silent * sizeof(float));
        wanted = count - silent;
        if (wanted > 0)
        {
            if (block % 3 == 0)
            {
                if (!murelGetAudioInterleaved(processor, interleaved, wanted))
                    break;
                for (n = 0; n < wanted; ++n)
                    for (c = 0; c < numOfChannels; ++c)
                        output[c][position + silent + n] = interleaved[n * numOfChannels + c];
            }
            else
            {
                for (c = 0; c < numOfChannels; ++c)
                    channels[c] = output[c] + position + silent;
                if (!murelGetAudio(processor, channels, wanted))
                    break;
            }
        }
        emitted += count;
        position += count;
        ++block;
    }
    check(position == NUM_OF_SAMPLES, "the processor kept up within its reported latency");

    for (c = 0; c < numOfChannels; ++c)
        for (n = 0; n < position; ++n)
        {
            const float expected = n >= info.latency ? input[c][n - info.latency] : 0.0f;
            const float error = absolute(output[c][n] - expected);
            if (error > worst)
                worst = error;
        }
    printf("%d samples per channel in %d blocks; largest deviation from the delayed input: %g\n", position, block,
           (double)worst);
    check(worst <= TOLERANCE, "the output is the input delayed by the reported latency");

    /* After a reset the handle starts over. */
    murelResetProcessorState(processor);
    check(murelGetNumOfPendingSamples(processor) == 0, "a reset empties the output queue");

    worst = runCallback(processor, numOfChannels, info.latency, input, output);
    printf("through the audio callback: largest deviation from the delayed input: %g\n", (double)worst);
    check(worst <= TOLERANCE, "the callback's output is the input delayed by the reported latency");
    murelDeleteProcessor(processor);
    return 0;
}

int main(int argc, char** argv)
{
    int numOfChannels = 2;
    double sampleRate = 48000.0;
    checkWithoutModel();
    if (argc < 2)
    {
        printf("no model file given: only the checks that need none ran\n");
    }
    else
    {
        if (argc > 2)
            numOfChannels = atoi(argv[2]);
        if (argc > 3)
            sampleRate = atof(argv[3]);
        if (numOfChannels < 1 || numOfChannels > MAX_CHANNELS)
        {
            fprintf(stderr, "channel count must be 1 to %d\n", MAX_CHANNELS);
            return 2;
        }
        numOfFailures += runModel(argv[1], numOfChannels, sampleRate);
    }
    if (numOfFailures != 0)
    {
        fprintf(stderr, "%d checks failed\n", numOfFailures);
        return 1;
    }
    printf("all checks passed\n");
    return 0;
}
