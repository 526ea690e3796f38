#pragma once

#include "Commands.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace murel::test
{

/** The whole content of a file (empty when it cannot be read). */
inline std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

/** A fresh folder for one test's files, removed with everything in it afterwards. */
class ScratchFolder
{
public:
    ScratchFolder()
    {
        std::string pattern = testing::TempDir() + "murel-tool-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (::mkdtemp(name.data()) == nullptr)
            throw std::runtime_error("cannot create a scratch folder");
        path = name.data();
    }

    ~ScratchFolder()
    {
        ::nftw(
            path.c_str(), [](const char* file, const struct stat*, int, FTW*) { return ::remove(file); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }

    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string file(const std::string& name) const { return path + "/" + name; }
    const std::string& getPath() const { return path; }

private:
    std::string path;
};

/** Names in a folder, without "." and ".."; hidden files included. */
inline std::vector<std::string> listFolder(const std::string& path)
{
    std::vector<std::string> names;
    if (DIR* folder = ::opendir(path.c_str()))
    {
        while (const dirent* entry = ::readdir(folder))
        {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(folder);
    }
    std::sort(names.begin(), names.end());
    return names;
}

struct CommandResult
{
    int status = -1;
    std::string out;
    std::string err;

    /** Lines printed on standard error. */
    std::size_t getNumOfErrorLines() const
    {
        return static_cast<std::size_t>(std::count(err.begin(), err.end(), '\n'));
    }
};

/** Runs "murel arguments..." in this process; "-" reads from in when it is given. */
inline CommandResult runMurel(std::vector<std::string> arguments, const std::atomic<bool>* interrupted = nullptr,
                              std::istream* in = nullptr)
{
    arguments.insert(arguments.begin(), "murel");
    std::ostringstream out;
    std::ostringstream err;
    CommandResult result;
    result.status = cli::runCommandLine(arguments, in, out, err, interrupted);
    result.out = out.str();
    result.err = err.str();
    return result;
}

/** Runs murel and fails the test (with its messages) unless it succeeds. */
inline CommandResult runMurelOrFail(const std::vector<std::string>& arguments)
{
    CommandResult result = runMurel(arguments);
    EXPECT_EQ(result.status, 0) << result.err;
    return result;
}

/** A folder with a demonstration gate model and a short noisy recording. */
class ToolFiles : public testing::Test
{
protected:
    void SetUp() override
    {
        runMurelOrFail({"make-model", model});
        runMurelOrFail({"make-test-signal", input, "--seconds", "0.3", "--format", "float"});
    }

    ScratchFolder folder;
    const std::string model = folder.file("gate.model");
    const std::string input = folder.file("in.wav");
    const std::string output = folder.file("out.wav");
};

struct AudioData
{
    SF_INFO info = {};
    /** Interleaved. */
    std::vector<float> samples;
    std::string title;

    std::size_t getNumOfFrames() const { return samples.size() / std::size_t(info.channels); }
};

inline AudioData readAudio(const std::string& path)
{
    AudioData audio;
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &audio.info);
    if (file == nullptr)
        throw std::runtime_error("cannot read " + path);
    audio.samples.resize(std::size_t(audio.info.frames) * std::size_t(audio.info.channels));
    sf_readf_float(file, audio.samples.data(), audio.info.frames);
    if (const char* title = sf_get_string(file, SF_STR_TITLE))
        audio.title = title;
    sf_close(file);
    return audio;
}

inline SF_INFO makeInfo(int format, int numOfChannels = 2, int sampleRate = 48000)
{
    SF_INFO info = {};
    info.format = format;
    info.channels = numOfChannels;
    info.samplerate = sampleRate;
    return info;
}

inline void writeAudio(const std::string& path, int format, int numOfChannels, int sampleRate,
                       const std::vector<float>& samples, const std::string& title = "")
{
    SF_INFO info = makeInfo(format, numOfChannels, sampleRate);
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr)
        throw std::runtime_error("cannot write " + path + ": " + sf_strerror(nullptr));
    if (!title.empty())
        sf_set_string(file, SF_STR_TITLE, title.c_str());
    sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size()) / numOfChannels);
    sf_close(file);
}

/** Largest absolute difference of actual and factor x expected, sample by sample; infinity when
    the lengths differ. */
inline double getMaxDeviation(const std::vector<float>& actual, const std::vector<float>& expected, double factor = 1.0)
{
    if (actual.size() != expected.size())
        return HUGE_VAL;
    double deviation = 0.0;
    for (std::size_t i = 0; i < actual.size(); ++i)
        deviation = std::max(deviation, std::fabs(double(actual[i]) - factor * double(expected[i])));
    return deviation;
}

inline double getRms(const std::vector<float>& samples)
{
    double sum = 0.0;
    for (const float value : samples)
        sum += double(value) * double(value);
    return samples.empty() ? 0.0 : std::sqrt(sum / double(samples.size()));
}

} // namespace murel::test
