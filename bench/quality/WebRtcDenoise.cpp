// Baseline for the quality benchmark: WebRTC's audio processing module with only its noise
// suppression on (no high-pass filter, gain control or echo cancellation).
// Usage: WebRtcDenoise IN.wav OUT.wav [--level low|moderate|high|very-high]
// Mono at 8, 16, 32 or 48 kHz; 10 ms frames through the float interface. OUT has the length of
// IN and is not shifted: the benchmark measures and compensates the delay itself.

#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "MonoWav.h"

int main(int argc, char** argv)
{
    using webrtc::NoiseSuppression;
    const std::map<std::string, NoiseSuppression::Level> levels = {{"low", NoiseSuppression::kLow},
                                                                   {"moderate", NoiseSuppression::kModerate},
                                                                   {"high", NoiseSuppression::kHigh},
                                                                   {"very-high", NoiseSuppression::kVeryHigh}};
    const bool withLevel = argc == 5 && std::string(argv[3]) == "--level" && levels.count(argv[4]) == 1;
    if (argc != 3 && !withLevel)
    {
        std::fprintf(stderr, "usage: WebRtcDenoise IN.wav OUT.wav [--level low|moderate|high|very-high]\n");
        return 2;
    }
    const NoiseSuppression::Level level = withLevel ? levels.at(argv[4]) : NoiseSuppression::kHigh;

    MonoSound sound;
    if (!readMonoWav(argv[1], sound))
    {
        return 1;
    }
    std::unique_ptr<webrtc::AudioProcessing> processing(webrtc::AudioProcessing::Create());
    const webrtc::StreamConfig stream(sound.sampleRate, 1);
    if (processing == nullptr || processing->noise_suppression()->set_level(level) != 0 ||
        processing->noise_suppression()->Enable(true) != 0 || processing->high_pass_filter()->Enable(false) != 0)
    {
        std::fprintf(stderr, "cannot set up the WebRTC noise suppression\n");
        return 1;
    }

    const auto frame = stream.num_frames();
    std::vector<float> block(frame);
    float* channel = block.data();
    for (std::size_t start = 0; start < sound.samples.size(); start += frame)
    {
        const std::size_t count = std::min(frame, sound.samples.size() - start);
        std::fill(block.begin(), block.end(), 0.0f);
        std::copy_n(sound.samples.begin() + static_cast<std::ptrdiff_t>(start), count, block.begin());
        if (processing->ProcessStream(&channel, stream, stream, &channel) != 0)
        {
            std::fprintf(stderr, "WebRTC rejects the stream (rate %d Hz)\n", sound.sampleRate);
            return 1;
        }
        std::copy_n(block.begin(), count, sound.samples.begin() + static_cast<std::ptrdiff_t>(start));
    }
    return writeMonoWav(argv[2], sound) ? 0 : 1;
}
