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

/** Standard input read forward only, for libsndfile: what it reads first (the header) is kept so
    that the reader may seek back into it; a read beyond what has arrived ends the file there, so
    that a header parser that skips over the data finds nothing more and comes back. */
struct StreamSource
{
    /** The stream's bytes up to this many are kept. */
    static constexpr std::int64_t maxNumOfKeptBytes = 1 << 20;

    std::istream* stream = nullptr;
    std::vector<char> kept;
    std::int64_t numOfBytesArrived = 0;
    std::int64_t position = 0;
};

/** The frames the data chunk of a WAV file says it holds, from the file's first bytes; -1 when
    they are not a WAV header or the size is the streaming marker (0 or 0xFFFFFFFF). */
std::int64_t readDeclaredWavFrames(const char* bytes, std::size_t numOfBytes);

/** An audio file opened for reading through libsndfile, samples as floats in [-1, 1). */
class AudioReader
{
public:
    /** "-" reads standard input: WAV and headerless PCM as they arrive, other types all at once
        into memory. Throws Failure, with the reason, when the file is missing, unreadable, not a
        regular file or not an audio file libsndfile knows, or declares a rate outside
        minSampleRate to maxSampleRate. */
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
    /** Frames the WAV header's data chunk declares, or -1 (not a WAV, or a streaming size): a
        file whose data ends sooner is cut short. */
    std::int64_t getNumOfDeclaredFrames() const { return numOfDeclaredFrames; }
    AudioTags getTags() const;

    /** Reads up to numOfFrames interleaved frames; returns how many were read, 0 at the end.
        Throws Failure on a read error. */
    std::int64_t read(float* frames, std::int64_t numOfFrames);

private:
    std::string path;
    SF_INFO info = {};
    SNDFILE* file = nullptr;
    MemoryFile memory;
    StreamSource source;
    bool isStreamed = false;
    std::int64_t numOfDeclaredFrames = -1;
};

/** Standard output written forward only, for libsndfile. */
struct StreamSink
{
    OutputFile* file = nullptr;
    std::int64_t position = 0;
};

/** An audio file written through libsndfile into an OutputFile: it appears under its name only
    after finish(). WAV and headerless PCM on standard output are written as they come instead
    (a WAV header then declares the largest size, and gets the true one at the end when standard
    output is a file). */
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
    int fileSampleRate = 0;
    bool countsClipping = false;
    SNDFILE* file = nullptr;
    std::int64_t numOfClippedSamples = 0;
    StreamSink sink;
    bool isStreamed = false;
    /** Bytes per frame of a streamed WAV file; 0 for anything else. */
    int wavBlockAlign = 0;
    std::int64_t numOfFramesWritten = 0;
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
