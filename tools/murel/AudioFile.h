#pragma once

#include "PendingFile.h"

#include <sndfile.h>

#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace murel::cli
{

/** Text tags of a file (title, artist, ...), as libsndfile string ids and values. */
using AudioTags = std::vector<std::pair<int, std::string>>;

/** How to read headerless PCM (--raw-rate, --raw-channels, --raw-format); unused when rate is 0. */
struct RawFormat
{
    int sampleRate = 0;
    int numOfChannels = 0;
    /** A sample format name as for --format ("16", "float", ...). */
    std::string sampleFormat;

    bool isSet() const { return sampleRate > 0; }
};

/** The lowest and highest sample rates the tool processes: beyond them a file is broken or made to
    exhaust memory (the processor's frames grow with the rate). */
constexpr int minSampleRate = 1000;
constexpr int maxSampleRate = 768000;

/** An audio file opened for reading through libsndfile, samples as floats in [-1, 1). */
class AudioReader
{
public:
    /** "-" reads standard input (all of it, into memory). Throws Failure, with the reason, when
        the file is missing, unreadable, not a regular file or not an audio file libsndfile knows,
        or declares a rate outside minSampleRate to maxSampleRate. */
    explicit AudioReader(std::string path, const RawFormat& raw = {}, std::istream* standardInput = nullptr);
    ~AudioReader();

    AudioReader(const AudioReader&) = delete;
    AudioReader& operator=(const AudioReader&) = delete;

    const std::string& getPath() const { return path; }
    const SF_INFO& getInfo() const { return info; }
    int getNumOfChannels() const { return info.channels; }
    int getSampleRate() const { return info.samplerate; }
    /** Frames in the file, or -1 when the file does not say. */
    std::int64_t getNumOfFrames() const;
    AudioTags getTags() const;

    /** Reads up to numOfFrames interleaved frames; returns how many were read, 0 at the end.
        Throws Failure on a read error. */
    std::int64_t read(float* frames, std::int64_t numOfFrames);

private:
    std::string path;
    SF_INFO info = {};
    SNDFILE* file = nullptr;
    MemoryFile memory;
};

/** An audio file written through libsndfile into an OutputFile: it appears under its name only
    after finish(). */
class AudioWriter
{
public:
    /** format is a libsndfile format (container | sample type); throws Failure when the file
        cannot be created. */
    AudioWriter(const std::string& path, int format, int numOfChannels, int sampleRate, const AudioTags& tags,
                const OutputRules& rules);
    ~AudioWriter();

    AudioWriter(const AudioWriter&) = delete;
    AudioWriter& operator=(const AudioWriter&) = delete;

    const std::string& getPath() const { return outputFile.getPath(); }
    int getFormat() const { return format; }

    /** Writes interleaved frames; values beyond full scale are clipped for integer sample types
        and counted. Throws Failure when the write fails. */
    void write(const float* frames, std::int64_t numOfFrames);

    /** Closes the file; throws Failure when the last data cannot be written. */
    void close();
    /** Moves the closed file to its name; throws Failure on error. */
    void commit();
    /** close() and commit(). */
    void finish();

    std::int64_t getNumOfClippedSamples() const { return numOfClippedSamples; }

private:
    OutputFile outputFile;
    int format = 0;
    int numOfChannels = 0;
    bool countsClipping = false;
    SNDFILE* file = nullptr;
    std::int64_t numOfClippedSamples = 0;
};

/** What the output options ask for; empty strings mean "as the input". */
struct OutputFormatRequest
{
    std::string type;
    std::string sampleFormat;
};

/** The libsndfile sample type of a --format name ("16", "float", ...); 0 for an unknown name. */
int findSampleType(const std::string& name);

/** The libsndfile format for an output file: the container from request.type, else from the
    output file's extension when it names one, else the input's; the sample type from
    request.sampleFormat, else the input's when the container can hold it, else the closest the
    container offers. Throws UsageFailure for unknown names or impossible combinations. */
int chooseOutputFormat(const SF_INFO& input, const std::string& outputPath, const OutputFormatRequest& request);

/** "WAV, 16-bit integer", "FLAC, 24-bit integer", "Ogg, Vorbis", ... */
std::string describeFormat(int format);

/** The container names --type accepts, comma separated. */
std::string listContainerNames();

/** The file name extension usual for a format's container ("wav", "flac", ...). */
std::string getFileExtension(int format);

} // namespace murel::cli
