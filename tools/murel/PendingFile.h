#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace murel::cli
{

/** An output file that appears only when it is complete. The data goes to a new temporary file in
    the target's folder (so that the final rename stays on one file system); commit() renames it to
    the target, replacing an existing file atomically. A pending file that is never committed is
    removed when it is destroyed, so a failure or an interruption leaves no partial output. */
class PendingFile
{
public:
    /** Creates the temporary file, readable and writable as a new file would be (umask applies).
        Its name is short and does not grow with the target's, so that every valid target name
        works. Throws Failure when the folder does not exist or is not writable, or when the
        target is a folder. */
    explicit PendingFile(std::string targetPath);
    ~PendingFile();

    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    const std::string& getTargetPath() const { return targetPath; }
    const std::string& getTemporaryPath() const { return temporaryPath; }

    /** Hands the open descriptor of the temporary file over to the caller, who closes it; -1 after
        the first call. */
    int releaseDescriptor();

    /** Moves the finished file to the target path. Throws Failure when the rename fails (the
        temporary file is then removed). */
    void commit();

    /** Removes the temporary file now; nothing happens after a commit. */
    void discard();

private:
    std::string targetPath;
    std::string temporaryPath;
    int descriptor = -1;
    bool pending = true;
};

/** What may be written where: every output is checked against these before anything is
    written. */
struct OutputRules
{
    /** -y: replace existing files (also the input itself, when it is named as the output). */
    bool overwrite = false;
    /** Files read in this run; an output that is one of them needs overwrite. */
    std::vector<std::string> inputs;
    /** Model files of this run; an output is never one of them. */
    std::vector<std::string> models;
    /** Where "-" writes; null: "-" is not allowed. */
    std::ostream* standardOutput = nullptr;
};

/** A file's contents in memory, for libsndfile's virtual I/O: standard input and output and FIFOs
    cannot seek, and the formats need to. */
struct MemoryFile
{
    std::vector<char> bytes;
    std::int64_t position = 0;
};

/** Where an output goes. A regular file (new, or existing with overwrite; a symbolic link is
    followed, so the file it points to is replaced, not the link) is written through a PendingFile.
    Standard output ("-") and an existing FIFO are written in place: the data is kept in memory
    and written out at commit, so a failure writes nothing. Anything else is refused: a folder, a
    device, an existing file without overwrite, a model of the run, an input without overwrite. */
class OutputFile
{
public:
    /** Throws Failure with the reason when the path cannot be written under the rules. */
    OutputFile(const std::string& path, const OutputRules& rules);

    /** The path as given ("-" for standard output). */
    const std::string& getPath() const { return path; }
    /** True when the data goes to getMemory(), false when to a descriptor. */
    bool isInMemory() const { return kind != Kind::regularFile; }
    MemoryFile& getMemory() { return memory; }
    /** The temporary file's descriptor for regular files; -1 otherwise. */
    int releaseDescriptor();
    /** Puts the finished data in place. Throws Failure. */
    void commit();

    /** Whether the output is standard output, which startStream can make write as it goes. */
    bool isStandardOutput() const { return kind == Kind::standardOutput; }
    /** From now on, standard output is written at once by writeToStream instead of at commit. */
    void startStream();
    /** Appends to standard output; false, with the system's reason in getStreamError, when the
        data cannot be written. */
    bool writeToStream(const char* bytes, std::size_t numOfBytes);
    const std::string& getStreamError() const { return streamError; }
    /** Writes bytes at offset from the start of the stream when standard output is a regular
        file that can seek (so that a header can get its sizes at the end); false otherwise. */
    bool patchStream(std::int64_t offset, const char* bytes, std::size_t numOfBytes);

private:
    enum class Kind
    {
        regularFile,
        standardOutput,
        fifo,
    };

    std::string path;
    Kind kind = Kind::regularFile;
    std::string fifoPath;
    std::ostream* standardOutput = nullptr;
    std::unique_ptr<PendingFile> pendingFile;
    MemoryFile memory;
    bool isStreaming = false;
    /** Standard output's descriptor when it stands behind the stream (the program's std::cout),
        else -1, and its offset when the stream started (-1: it cannot seek). */
    int streamDescriptor = -1;
    std::int64_t streamStart = -1;
    std::string streamError;
};

/** Opens a file for reading without blocking (a FIFO without a writer would block open forever)
    and checks that it is a regular file. Returns the descriptor, in blocking mode again; throws
    Failure naming what (e.g. "model") when it cannot be opened or is not a regular file. */
int openRegularFile(const std::string& path, const std::string& what);

} // namespace murel::cli
