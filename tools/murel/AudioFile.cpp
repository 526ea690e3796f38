#include "AudioFile.h"

#include "Failure.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace murel::cli
{

namespace
{

struct ContainerName
{
    const char* name;
    int container;
    /** Sample type chosen when the input's cannot be kept; 0: the general rule. */
    int preferredSampleType;
};

// The first entry of each container gives its usual extension.
constexpr ContainerName containerNames[] = {
    {"wav", SF_FORMAT_WAV, 0},
    {"wave", SF_FORMAT_WAV, 0},
    {"flac", SF_FORMAT_FLAC, 0},
    {"ogg", SF_FORMAT_OGG, SF_FORMAT_VORBIS},
    {"oga", SF_FORMAT_OGG, SF_FORMAT_VORBIS},
    {"opus", SF_FORMAT_OGG, SF_FORMAT_OPUS},
    {"aiff", SF_FORMAT_AIFF, 0},
    {"aif", SF_FORMAT_AIFF, 0},
    {"aifc", SF_FORMAT_AIFF, 0},
    {"caf", SF_FORMAT_CAF, 0},
    {"w64", SF_FORMAT_W64, 0},
    {"rf64", SF_FORMAT_RF64, 0},
    {"au", SF_FORMAT_AU, 0},
    {"snd", SF_FORMAT_AU, 0},
    {"mp3", SF_FORMAT_MPEG, SF_FORMAT_MPEG_LAYER_III},
    {"raw", SF_FORMAT_RAW, 0},
    {"pcm", SF_FORMAT_RAW, 0},
};

struct SampleFormatName
{
    const char* name;
    int sampleType;
};

constexpr SampleFormatName sampleFormatNames[] = {
    {"16", SF_FORMAT_PCM_16},     {"24", SF_FORMAT_PCM_24},   {"32", SF_FORMAT_PCM_32},
    {"8", SF_FORMAT_PCM_S8},      {"float", SF_FORMAT_FLOAT}, {"double", SF_FORMAT_DOUBLE},
    {"vorbis", SF_FORMAT_VORBIS}, {"opus", SF_FORMAT_OPUS},   {"mp3", SF_FORMAT_MPEG_LAYER_III},
    {"alaw", SF_FORMAT_ALAW},     {"ulaw", SF_FORMAT_ULAW},
};

std::string toLower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

const ContainerName* findContainerName(const std::string& name)
{
    const std::string lower = toLower(name);
    for (const ContainerName& entry : containerNames)
        if (lower == entry.name)
            return &entry;
    return nullptr;
}

std::string getExtension(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot + 1 == path.size())
        return {};
    return path.substr(dot + 1);
}

bool isIntegerSampleType(int sampleType)
{
    switch (sampleType)
    {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_16:
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_ALAW:
    case SF_FORMAT_ULAW:
        return true;
    default:
        return false;
    }
}

bool isCheckedFormat(int format, int numOfChannels, int sampleRate)
{
    SF_INFO info = {};
    info.format = format;
    info.channels = numOfChannels;
    info.samplerate = sampleRate;
    return sf_format_check(&info) != 0;
}

std::string getLibraryReason(SNDFILE* file)
{
    std::string reason = sf_strerror(file);
    while (!reason.empty() && (reason.back() == '.' || reason.back() == '\n' || reason.back() == ' '))
        reason.pop_back();
    return reason;
}

MemoryFile& toMemory(void* userData)
{
    return *static_cast<MemoryFile*>(userData);
}

/** libsndfile's virtual I/O over a MemoryFile. */
SF_VIRTUAL_IO* getMemoryFileCallbacks()
{
    static SF_VIRTUAL_IO callbacks = {
        [](void* userData) -> sf_count_t { return static_cast<sf_count_t>(toMemory(userData).bytes.size()); },
        [](sf_count_t offset, int whence, void* userData) -> sf_count_t
        {
            MemoryFile& memory = toMemory(userData);
            const sf_count_t base = whence == SEEK_CUR   ? memory.position
                                    : whence == SEEK_END ? static_cast<sf_count_t>(memory.bytes.size())
                                                         : 0;
            if (base + offset < 0)
                return -1;
            memory.position = base + offset;
            return memory.position;
        },
        [](void* buffer, sf_count_t count, void* userData) -> sf_count_t
        {
            MemoryFile& memory = toMemory(userData);
            const sf_count_t size = static_cast<sf_count_t>(memory.bytes.size());
            const sf_count_t n = std::max<sf_count_t>(0, std::min(count, size - memory.position));
            if (n > 0)
                std::memcpy(buffer, memory.bytes.data() + memory.position, static_cast<std::size_t>(n));
            memory.position += n;
            return n;
        },
        [](const void* buffer, sf_count_t count, void* userData) -> sf_count_t
        {
            MemoryFile& memory = toMemory(userData);
            const std::size_t end = static_cast<std::size_t>(memory.position + count);
            if (end > memory.bytes.size())
                memory.bytes.resize(end);
            std::memcpy(memory.bytes.data() + memory.position, buffer, static_cast<std::size_t>(count));
            memory.position += count;
            return count;
        },
        [](void* userData) -> sf_count_t { return toMemory(userData).position; },
    };
    return &callbacks;
}

StreamSource& toSource(void* userData)
{
    return *static_cast<StreamSource*>(userData);
}

/** Larger than any stream, small enough that no sum overflows. */
constexpr sf_count_t unknownStreamLength = sf_count_t(1) << 62;

/** libsndfile's virtual I/O over a StreamSource. */
SF_VIRTUAL_IO* getStreamSourceCallbacks()
{
    static SF_VIRTUAL_IO callbacks = {
        [](void*) -> sf_count_t { return unknownStreamLength; },
        [](sf_count_t offset, int whence, void* userData) -> sf_count_t
        {
            StreamSource& source = toSource(userData);
            const sf_count_t base = whence == SEEK_CUR ? source.position : whence == SEEK_END ? unknownStreamLength : 0;
            if (base + offset < 0)
                return -1;
            source.position = base + offset;
            return source.position;
        },
        [](void* buffer, sf_count_t count, void* userData) -> sf_count_t
        {
            StreamSource& source = toSource(userData);
            char* target = static_cast<char*>(buffer);
            sf_count_t done = 0;
            const sf_count_t numOfKept = static_cast<sf_count_t>(source.kept.size());
            if (source.position < numOfKept)
            {
                done = std::min(count, numOfKept - source.position);
                std::memcpy(target, source.kept.data() + source.position, static_cast<std::size_t>(done));
                source.position += done;
            }
            // Only what follows what has arrived can be read from the stream.
            if (done == count || source.position != source.numOfBytesArrived)
                return done;
            source.stream->read(target + done, static_cast<std::streamsize>(count - done));
            const sf_count_t numOfNewBytes = static_cast<sf_count_t>(source.stream->gcount());
            const sf_count_t numOfBytesToKeep =
                std::min(numOfNewBytes, StreamSource::maxNumOfKeptBytes - source.numOfBytesArrived);
            if (numOfBytesToKeep > 0 && static_cast<sf_count_t>(source.kept.size()) == source.numOfBytesArrived)
                source.kept.insert(source.kept.end(), target + done, target + done + numOfBytesToKeep);
            source.numOfBytesArrived += numOfNewBytes;
            source.position += numOfNewBytes;
            return done + numOfNewBytes;
        },
        [](const void*, sf_count_t, void*) -> sf_count_t { return 0; },
        [](void* userData) -> sf_count_t { return toSource(userData).position; },
    };
    return &callbacks;
}

StreamSink& toSink(void* userData)
{
    return *static_cast<StreamSink*>(userData);
}

/** libsndfile's virtual I/O onto standard output, which only goes forward. */
SF_VIRTUAL_IO* getStreamSinkCallbacks()
{
    static SF_VIRTUAL_IO callbacks = {
        [](void* userData) -> sf_count_t { return toSink(userData).position; },
        [](sf_count_t offset, int whence, void* userData) -> sf_count_t
        {
            StreamSink& sink = toSink(userData);
            const sf_count_t target = whence == SEEK_SET ? offset : sink.position + offset;
            return target == sink.position ? sink.position : -1;
        },
        [](void*, sf_count_t, void*) -> sf_count_t { return 0; },
        [](const void* buffer, sf_count_t count, void* userData) -> sf_count_t
        {
            StreamSink& sink = toSink(userData);
            if (!sink.file->writeToStream(static_cast<const char*>(buffer), static_cast<std::size_t>(count)))
                return 0;
            sink.position += count;
            return count;
        },
        [](void* userData) -> sf_count_t { return toSink(userData).position; },
    };
    return &callbacks;
}

void appendLittleEndian(std::string& bytes, std::uint32_t value, int numOfBytes)
{
    for (int i = 0; i < numOfBytes; ++i)
        bytes += static_cast<char>((value >> (8 * i)) & 0xFFu);
}

/** Bytes per sample of the sample types a streamed WAV file holds; 0 for others. */
int getWavSampleSize(int sampleType)
{
    switch (sampleType)
    {
    case SF_FORMAT_PCM_U8:
        return 1;
    case SF_FORMAT_PCM_16:
        return 2;
    case SF_FORMAT_PCM_24:
        return 3;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
        return 4;
    case SF_FORMAT_DOUBLE:
        return 8;
    default:
        return 0;
    }
}

/** A canonical 44-byte WAV header for dataSize bytes of samples. */
std::string makeWavHeader(int sampleType, int numOfChannels, int sampleRate, std::uint32_t dataSize)
{
    const int sampleSize = getWavSampleSize(sampleType);
    const bool isFloat = sampleType == SF_FORMAT_FLOAT || sampleType == SF_FORMAT_DOUBLE;
    const std::uint32_t blockAlign = static_cast<std::uint32_t>(sampleSize * numOfChannels);
    std::string header = "RIFF";
    appendLittleEndian(header, dataSize == 0xFFFFFFFFu ? dataSize : 36 + dataSize + (dataSize & 1u), 4);
    header += "WAVEfmt ";
    appendLittleEndian(header, 16, 4);
    appendLittleEndian(header, isFloat ? 3 : 1, 2);
    appendLittleEndian(header, static_cast<std::uint32_t>(numOfChannels), 2);
    appendLittleEndian(header, static_cast<std::uint32_t>(sampleRate), 4);
    appendLittleEndian(header, static_cast<std::uint32_t>(sampleRate) * blockAlign, 4);
    appendLittleEndian(header, blockAlign, 2);
    appendLittleEndian(header, static_cast<std::uint32_t>(8 * sampleSize), 2);
    header += "data";
    appendLittleEndian(header, dataSize, 4);
    return header;
}

std::uint32_t readLittleEndian(const char* bytes, int numOfBytes)
{
    std::uint32_t value = 0;
    for (int i = numOfBytes - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

} // namespace

std::int64_t readDeclaredWavFrames(const char* bytes, std::size_t numOfBytes)
{
    if (numOfBytes < 12 || std::memcmp(bytes, "RIFF", 4) != 0 || std::memcmp(bytes + 8, "WAVE", 4) != 0)
        return -1;
    std::uint32_t blockAlign = 0;
    for (std::size_t chunk = 12; chunk + 8 <= numOfBytes;)
    {
        const std::uint32_t size = readLittleEndian(bytes + chunk + 4, 4);
        if (std::memcmp(bytes + chunk, "fmt ", 4) == 0 && chunk + 8 + 14 <= numOfBytes)
            blockAlign = readLittleEndian(bytes + chunk + 8 + 12, 2);
        if (std::memcmp(bytes + chunk, "data", 4) == 0)
            return blockAlign == 0 || size == 0 || size == 0xFFFFFFFFu ? -1
                                                                       : static_cast<std::int64_t>(size / blockAlign);
        // Chunks are padded to an even size.
        chunk += 8 + static_cast<std::size_t>(size) + (size & 1u);
    }
    return -1;
}

int findSampleType(const std::string& name)
{
    const std::string lower = toLower(name);
    for (const SampleFormatName& entry : sampleFormatNames)
        if (lower == entry.name)
            return entry.sampleType;
    return 0;
}

AudioReader::AudioReader(std::string filePath, const RawFormat& raw, std::istream* standardInput)
    : path(std::move(filePath))
{
    if (raw.isSet())
    {
        const int sampleType = findSampleType(raw.sampleFormat.empty() ? "16" : raw.sampleFormat);
        if (sampleType == 0)
            throw UsageFailure("unknown raw sample format " + quote(raw.sampleFormat));
        info.format = SF_FORMAT_RAW | sampleType;
        info.samplerate = raw.sampleRate;
        info.channels = raw.numOfChannels > 0 ? raw.numOfChannels : 1;
    }
    if (path == "-")
    {
        if (standardInput == nullptr)
            throw Failure("cannot read standard input here");
        // WAV and headerless PCM are read as they arrive; libsndfile needs to seek in other types,
        // which a pipe cannot: those are read whole first, up to a bound no audio file near this
        // tool's use reaches.
        char head[12] = {};
        standardInput->read(head, sizeof head);
        const std::size_t numOfHeadBytes = static_cast<std::size_t>(standardInput->gcount());
        const bool isWav =
            numOfHeadBytes == sizeof head && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0;
        if (raw.isSet() || isWav)
        {
            isStreamed = true;
            source.stream = standardInput;
            source.kept.assign(head, head + numOfHeadBytes);
            source.numOfBytesArrived = static_cast<std::int64_t>(numOfHeadBytes);
            file = sf_open_virtual(getStreamSourceCallbacks(), SFM_READ, &info, &source);
            if (isWav)
                numOfDeclaredFrames = readDeclaredWavFrames(source.kept.data(), source.kept.size());
        }
        else
        {
            constexpr std::size_t maxNumOfBytes = std::size_t(1) << 32;
            memory.bytes.assign(head, head + numOfHeadBytes);
            char chunk[65536];
            while (standardInput->read(chunk, sizeof chunk) || standardInput->gcount() > 0)
            {
                memory.bytes.insert(memory.bytes.end(), chunk, chunk + standardInput->gcount());
                if (memory.bytes.size() > maxNumOfBytes)
                    throw Failure("standard input holds more than 4 GB; give a file instead");
            }
            file = sf_open_virtual(getMemoryFileCallbacks(), SFM_READ, &info, &memory);
        }
    }
    else
    {
        // libsndfile words a missing file vaguely; ask the system first. Never block on a FIFO.
        const int descriptor = openRegularFile(path, "");
        if (!raw.isSet())
        {
            // The header's own claim, which libsndfile cuts to the file's length without a word.
            std::vector<char> head(1 << 16);
            const ssize_t numOfHeadBytes = ::pread(descriptor, head.data(), head.size(), 0);
            if (numOfHeadBytes > 0)
                numOfDeclaredFrames = readDeclaredWavFrames(head.data(), static_cast<std::size_t>(numOfHeadBytes));
        }
        file = sf_open_fd(descriptor, SFM_READ, &info, SF_TRUE);
    }
    if (file == nullptr)
        throw Failure("cannot read " + quote(path) + ": not an audio file of a supported type (" +
                      getLibraryReason(nullptr) + ")");
    if (info.channels < 1 || info.samplerate < minSampleRate || info.samplerate > maxSampleRate)
    {
        sf_close(file);
        file = nullptr;
        throw Failure("cannot read " + quote(path) + ": it declares " + std::to_string(info.channels) +
                      " channels at " + std::to_string(info.samplerate) + " Hz (rates from " +
                      std::to_string(minSampleRate) + " to " + std::to_string(maxSampleRate) + " Hz are processed)");
    }
}

AudioReader::~AudioReader()
{
    if (file != nullptr)
        sf_close(file);
}

std::int64_t AudioReader::getNumOfFrames() const
{
    if (isStreamed)
        return numOfDeclaredFrames;
    return info.frames >= 0 && info.frames < SF_COUNT_MAX ? static_cast<std::int64_t>(info.frames) : -1;
}

AudioTags AudioReader::getTags() const
{
    AudioTags tags;
    for (int id = SF_STR_FIRST; id <= SF_STR_LAST; ++id)
        if (id != SF_STR_SOFTWARE)
            if (const char* text = sf_get_string(file, id); text != nullptr && *text != '\0')
                tags.emplace_back(id, text);
    return tags;
}

std::int64_t AudioReader::read(float* frames, std::int64_t numOfFrames)
{
    const sf_count_t numOfFramesRead = sf_readf_float(file, frames, numOfFrames);
    if (numOfFramesRead < numOfFrames && sf_error(file) != SF_ERR_NO_ERROR)
        throw Failure("cannot read " + quote(path) + ": " + getLibraryReason(file));
    return numOfFramesRead;
}

AudioWriter::AudioWriter(const std::string& path, int fileFormat, int channels, int sampleRate, const AudioTags& tags,
                         const OutputRules& rules)
    : outputFile(path, rules), format(fileFormat), numOfChannels(channels), fileSampleRate(sampleRate)
{
    SF_INFO info = {};
    info.format = format;
    info.channels = numOfChannels;
    info.samplerate = sampleRate;
    const int container = format & SF_FORMAT_TYPEMASK;
    const int sampleType = format & SF_FORMAT_SUBMASK;
    const bool canStream =
        container == SF_FORMAT_RAW || (container == SF_FORMAT_WAV && getWavSampleSize(sampleType) > 0 &&
                                       isCheckedFormat(format, channels, sampleRate));
    if (outputFile.isStandardOutput() && canStream)
    {
        // A pipe cannot seek back to write the length into the header: the header says "as long as
        // a WAV file can be", which readers take as "up to the end".
        isStreamed = true;
        outputFile.startStream();
        sink.file = &outputFile;
        if (container == SF_FORMAT_WAV)
        {
            wavBlockAlign = getWavSampleSize(sampleType) * channels;
            const std::string header = makeWavHeader(sampleType, channels, sampleRate, 0xFFFFFFFFu);
            if (!outputFile.writeToStream(header.data(), header.size()))
                throw Failure("cannot write to standard output: " + outputFile.getStreamError());
            sink.position = static_cast<std::int64_t>(header.size());
            info.format = SF_FORMAT_RAW | sampleType | SF_ENDIAN_LITTLE;
        }
        file = sf_open_virtual(getStreamSinkCallbacks(), SFM_WRITE, &info, &sink);
    }
    else if (outputFile.isInMemory())
        file = sf_open_virtual(getMemoryFileCallbacks(), SFM_WRITE, &info, &outputFile.getMemory());
    else
        file = sf_open_fd(outputFile.releaseDescriptor(), SFM_WRITE, &info, SF_TRUE);
    if (file == nullptr)
        throw Failure("cannot write " + quote(path) + " as " + describeFormat(format) + " with " +
                      std::to_string(channels) + " channels at " + std::to_string(sampleRate) +
                      " Hz: " + getLibraryReason(nullptr));
    countsClipping = isIntegerSampleType(format & SF_FORMAT_SUBMASK);
    if (countsClipping)
        sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    // Headerless PCM has no place for tags, nor has the streamed WAV header.
    if (isStreamed)
        return;
    for (const auto& [id, text] : tags)
        sf_set_string(file, id, text.c_str());
    sf_set_string(file, SF_STR_SOFTWARE, "murel");
}

AudioWriter::~AudioWriter()
{
    if (file != nullptr)
        sf_close(file);
}

void AudioWriter::write(const float* frames, std::int64_t numOfFrames)
{
    if (countsClipping)
    {
        const std::int64_t numOfValues = numOfFrames * numOfChannels;
        for (std::int64_t i = 0; i < numOfValues; ++i)
            numOfClippedSamples += std::fabs(frames[i]) > 1.0f ? 1 : 0;
    }
    if (sf_writef_float(file, frames, numOfFrames) != numOfFrames)
    {
        if (isStreamed && !outputFile.getStreamError().empty())
            throw Failure("cannot write to standard output: " + outputFile.getStreamError());
        throw Failure("cannot write " + quote(getPath()) + ": " + getLibraryReason(file));
    }
    numOfFramesWritten += numOfFrames;
}

void AudioWriter::close()
{
    if (file == nullptr)
        return;
    SNDFILE* const closing = file;
    file = nullptr;
    sf_write_sync(closing);
    const int error = sf_error(closing);
    const std::string reason = getLibraryReason(closing);
    if (sf_close(closing) != 0 || error != SF_ERR_NO_ERROR)
    {
        if (isStreamed && !outputFile.getStreamError().empty())
            throw Failure("cannot write to standard output: " + outputFile.getStreamError());
        throw Failure("cannot write " + quote(getPath()) + ": " + reason);
    }
    if (wavBlockAlign > 0)
    {
        const std::int64_t dataSize = numOfFramesWritten * wavBlockAlign;
        // Chunks are padded to an even size.
        if ((dataSize & 1) != 0 && !outputFile.writeToStream("", 1))
            throw Failure("cannot write to standard output: " + outputFile.getStreamError());
        if (dataSize <= 0xFFFFFFFFll - 36 - 1)
        {
            const std::string header = makeWavHeader(format & SF_FORMAT_SUBMASK, numOfChannels, fileSampleRate,
                                                     static_cast<std::uint32_t>(dataSize));
            outputFile.patchStream(0, header.data(), header.size());
        }
    }
}

void AudioWriter::commit()
{
    close();
    outputFile.commit();
}

void AudioWriter::finish()
{
    close();
    commit();
}

int chooseOutputFormat(const SF_INFO& input, const std::string& outputPath, const OutputFormatRequest& request)
{
    const int inputSampleType = input.format & SF_FORMAT_SUBMASK;
    int container = input.format & SF_FORMAT_TYPEMASK;
    int preferredSampleType = 0;
    if (!request.type.empty())
    {
        const ContainerName* entry = findContainerName(request.type);
        if (entry == nullptr)
            throw UsageFailure("unknown file type " + quote(request.type) + "; known types: " + listContainerNames());
        container = entry->container;
        preferredSampleType = entry->preferredSampleType;
    }
    else if (const ContainerName* entry = findContainerName(getExtension(outputPath)))
    {
        container = entry->container;
        preferredSampleType = entry->preferredSampleType;
    }

    const auto fits = [&](int sampleType)
    { return isCheckedFormat(container | sampleType, input.channels, input.samplerate); };

    if (!request.sampleFormat.empty())
    {
        const std::string lower = toLower(request.sampleFormat);
        for (const SampleFormatName& entry : sampleFormatNames)
        {
            if (lower != entry.name)
                continue;
            int sampleType = entry.sampleType;
            // 8-bit is signed in some containers and unsigned in others.
            if (sampleType == SF_FORMAT_PCM_S8 && !fits(sampleType))
                sampleType = SF_FORMAT_PCM_U8;
            if (!fits(sampleType))
                throw UsageFailure(describeFormat(container) + " files cannot hold " + quote(request.sampleFormat) +
                                   " samples with " + std::to_string(input.channels) + " channels at " +
                                   std::to_string(input.samplerate) + " Hz");
            return container | sampleType;
        }
        throw UsageFailure("unknown sample format " + quote(request.sampleFormat) +
                           "; known formats: 8, 16, 24, 32, float, double, vorbis, opus, mp3, alaw, ulaw");
    }

    if (preferredSampleType == 0 && fits(inputSampleType))
        return container | inputSampleType;
    if (preferredSampleType != 0 && fits(preferredSampleType))
        return container | preferredSampleType;
    // The input's sample type does not fit: keep its precision where the container allows.
    const bool isShortInput = inputSampleType == SF_FORMAT_PCM_16 || inputSampleType == SF_FORMAT_PCM_S8 ||
                              inputSampleType == SF_FORMAT_PCM_U8 || inputSampleType == SF_FORMAT_ALAW ||
                              inputSampleType == SF_FORMAT_ULAW;
    std::vector<int> candidates;
    if (isShortInput)
        candidates = {SF_FORMAT_PCM_16, SF_FORMAT_PCM_24, SF_FORMAT_FLOAT};
    else
        candidates = {SF_FORMAT_FLOAT, SF_FORMAT_PCM_24, SF_FORMAT_PCM_16};
    candidates.insert(candidates.end(), {SF_FORMAT_VORBIS, SF_FORMAT_MPEG_LAYER_III, SF_FORMAT_PCM_U8});
    for (const int sampleType : candidates)
        if (fits(sampleType))
            return container | sampleType;
    throw UsageFailure("cannot write " + quote(outputPath) + ": its file type cannot hold " +
                       std::to_string(input.channels) + " channels at " + std::to_string(input.samplerate) + " Hz");
}

std::string describeFormat(int format)
{
    std::string text;
    const int container = format & SF_FORMAT_TYPEMASK;
    switch (container)
    {
    case SF_FORMAT_WAV:
        text = "WAV";
        break;
    case SF_FORMAT_FLAC:
        text = "FLAC";
        break;
    case SF_FORMAT_OGG:
        text = "Ogg";
        break;
    case SF_FORMAT_AIFF:
        text = "AIFF";
        break;
    case SF_FORMAT_CAF:
        text = "CAF";
        break;
    case SF_FORMAT_W64:
        text = "Wave64";
        break;
    case SF_FORMAT_RF64:
        text = "RF64";
        break;
    case SF_FORMAT_AU:
        text = "AU";
        break;
    case SF_FORMAT_MPEG:
        text = "MPEG";
        break;
    default:
    {
        SF_FORMAT_INFO info = {};
        info.format = container;
        text = sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) == 0 && info.name != nullptr
                   ? info.name
                   : "unknown type";
    }
    }
    switch (format & SF_FORMAT_SUBMASK)
    {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
        return text + ", 8-bit integer";
    case SF_FORMAT_PCM_16:
        return text + ", 16-bit integer";
    case SF_FORMAT_PCM_24:
        return text + ", 24-bit integer";
    case SF_FORMAT_PCM_32:
        return text + ", 32-bit integer";
    case SF_FORMAT_FLOAT:
        return text + ", 32-bit float";
    case SF_FORMAT_DOUBLE:
        return text + ", 64-bit float";
    case SF_FORMAT_VORBIS:
        return text + ", Vorbis";
    case SF_FORMAT_OPUS:
        return text + ", Opus";
    case SF_FORMAT_MPEG_LAYER_III:
        return text + ", MP3";
    case 0:
        return text;
    default:
    {
        SF_FORMAT_INFO info = {};
        info.format = format & SF_FORMAT_SUBMASK;
        const bool known = sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) == 0 && info.name != nullptr;
        return text + ", " + (known ? info.name : "unknown encoding");
    }
    }
}

std::string listContainerNames()
{
    std::string names;
    for (const ContainerName& entry : containerNames)
        names += (names.empty() ? "" : ", ") + std::string(entry.name);
    return names;
}

std::string getFileExtension(int format)
{
    const int container = format & SF_FORMAT_TYPEMASK;
    if (container == SF_FORMAT_OGG && (format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS)
        return "opus";
    for (const ContainerName& entry : containerNames)
        if (entry.container == container)
            return entry.name;
    SF_FORMAT_INFO info = {};
    info.format = container;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) == 0 && info.extension != nullptr)
        return info.extension;
    return "audio";
}

} // namespace murel::cli
