// Baseline for the quality benchmark: speexdsp's preprocessor with only its noise suppressor on.
// Usage: SpeexDenoise IN.wav OUT.wav [--suppress DB]
// Mono, any rate; 10 ms frames. The preprocessor works on 16-bit samples, so the float input is
// rounded to 16 bits on the way in (far below the noise of any benchmark clip). OUT has the
// length of IN and is not shifted: the benchmark measures and compensates the delay itself.

#include <speex/speex_preprocess.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "MonoWav.h"

int main(int argc, char** argv)
{
    if (argc != 3 && !(argc == 5 && std::string(argv[3]) == "--suppress"))
    {
        std::fprintf(stderr, "usage: SpeexDenoise IN.wav OUT.wav [--suppress DB]\n");
        return 2;
    }
    // The library's own default maximum attenuation, in dB.
    int suppressDb = argc == 5 ? std::atoi(argv[4]) : -15;

    MonoSound sound;
    if (!readMonoWav(argv[1], sound))
    {
        return 1;
    }
    const int frameSize = sound.sampleRate / 100;
    SpeexPreprocessState* state = speex_preprocess_state_init(frameSize, sound.sampleRate);
    if (state == nullptr)
    {
        std::fprintf(stderr, "speexdsp rejects the rate %d\n", sound.sampleRate);
        return 1;
    }
    int on = 1;
    int off = 0;
    speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_DENOISE, &on);
    speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &suppressDb);
    speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_AGC, &off);
    speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_VAD, &off);
    speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_DEREVERB, &off);

    const auto frame = static_cast<std::size_t>(frameSize);
    std::vector<spx_int16_t> block(frame);
    for (std::size_t start = 0; start < sound.samples.size(); start += frame)
    {
        const std::size_t count = std::min(frame, sound.samples.size() - start);
        std::fill(block.begin(), block.end(), spx_int16_t{0});
        for (std::size_t i = 0; i < count; ++i)
        {
            const float scaled = std::round(sound.samples[start + i] * 32768.0f);
            block[i] = static_cast<spx_int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
        }
        speex_preprocess_run(state, block.data());
        for (std::size_t i = 0; i < count; ++i)
        {
            sound.samples[start + i] = static_cast<float>(block[i]) / 32768.0f;
        }
    }
    speex_preprocess_state_destroy(state);
    return writeMonoWav(argv[2], sound) ? 0 : 1;
}
