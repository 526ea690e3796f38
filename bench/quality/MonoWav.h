// Mono WAV reading and writing for the baseline denoisers of the quality benchmark. Samples are
// floats in [-1, 1]; the output is a float WAV so that nothing is lost to quantisation before
// scoring.
#pragma once

#include <sndfile.h>

#include <cstdio>
#include <string>
#include <vector>

struct MonoSound
{
    std::vector<float> samples;
    int sampleRate = 0;
};

// False (with a message on stderr) when the file cannot be read or has more than one channel.
inline bool readMonoWav(const std::string& path, MonoSound& sound)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr)
    {
        std::fprintf(stderr, "cannot read %s: %s\n", path.c_str(), sf_strerror(nullptr));
        return false;
    }
    if (info.channels != 1)
    {
        std::fprintf(stderr, "%s has %d channels; the benchmark uses mono files\n", path.c_str(), info.channels);
        sf_close(file);
        return false;
    }
    sound.sampleRate = info.samplerate;
    sound.samples.resize(static_cast<std::size_t>(info.frames));
    const sf_count_t numOfRead = sf_readf_float(file, sound.samples.data(), info.frames);
    sf_close(file);
    if (numOfRead != info.frames)
    {
        std::fprintf(stderr, "%s: short read\n", path.c_str());
        return false;
    }
    return true;
}

inline bool writeMonoWav(const std::string& path, const MonoSound& sound)
{
    SF_INFO info{};
    info.samplerate = sound.sampleRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr)
    {
        std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), sf_strerror(nullptr));
        return false;
    }
    const auto numOfFrames = static_cast<sf_count_t>(sound.samples.size());
    const bool complete = sf_writef_float(file, sound.samples.data(), numOfFrames) == numOfFrames;
    sf_close(file);
    if (!complete)
    {
        std::fprintf(stderr, "%s: short write\n", path.c_str());
    }
    return complete;
}
