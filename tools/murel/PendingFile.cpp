#include "PendingFile.h"

#include "Failure.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace murel::cli
{

std::string quote(const std::string& text)
{
    return "'" + text + "'";
}

std::string getSystemReason()
{
    return std::strerror(errno);
}

namespace
{

std::string getFolder(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

mode_t getNewFileMode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<mode_t>(0666) & ~mask;
}

} // namespace

PendingFile::PendingFile(std::string target) : targetPath(std::move(target))
{
    struct stat status = {};
    if (targetPath.empty() || targetPath.back() == '/' ||
        (::stat(targetPath.c_str(), &status) == 0 && S_ISDIR(status.st_mode)))
        throw Failure(quote(targetPath) + " is a folder, not a file name");

    // A short name of its own: the target's name plus a suffix could exceed the name limit.
    const std::string folder = getFolder(targetPath);
    std::string pattern = folder + "/.murel-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    descriptor = ::mkstemp(name.data());
    if (descriptor < 0)
        throw Failure("cannot create " + quote(targetPath) + ": " + getSystemReason());
    temporaryPath = name.data();
    // mkstemp makes the file private; the result should get the permissions of any new file.
    if (::fchmod(descriptor, getNewFileMode()) != 0)
    {
        const std::string reason = getSystemReason();
        discard();
        throw Failure("cannot create " + quote(targetPath) + ": " + reason);
    }
}

PendingFile::~PendingFile()
{
    discard();
}

int PendingFile::releaseDescriptor()
{
    const int released = descriptor;
    descriptor = -1;
    return released;
}

void PendingFile::commit()
{
    if (!pending)
        return;
    if (descriptor >= 0)
    {
        ::close(descriptor);
        descriptor = -1;
    }
    if (std::rename(temporaryPath.c_str(), targetPath.c_str()) != 0)
    {
        const std::string reason = getSystemReason();
        discard();
        throw Failure("cannot write " + quote(targetPath) + ": " + reason);
    }
    pending = false;
}

void PendingFile::discard()
{
    if (descriptor >= 0)
    {
        ::close(descriptor);
        descriptor = -1;
    }
    if (pending)
    {
        ::unlink(temporaryPath.c_str());
        pending = false;
    }
}

namespace
{

bool isSameFile(const struct stat& a, const std::string& other)
{
    struct stat status = {};
    return ::stat(other.c_str(), &status) == 0 && status.st_dev == a.st_dev && status.st_ino == a.st_ino;
}

/** The file a symbolic link finally points to, also when that file does not exist yet. */
std::string resolveLink(const std::string& path)
{
    std::string resolved = path;
    for (int hops = 0; hops < 40; ++hops)
    {
        struct stat status = {};
        if (::lstat(resolved.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
            return resolved;
        std::vector<char> target(PATH_MAX + 1, '\0');
        const ssize_t length = ::readlink(resolved.c_str(), target.data(), PATH_MAX);
        if (length < 0)
            throw Failure("cannot follow the link " + quote(path) + ": " + getSystemReason());
        const std::string next(target.data(), static_cast<std::size_t>(length));
        resolved = next.front() == '/' ? next : getFolder(resolved) + "/" + next;
    }
    throw Failure("cannot follow the link " + quote(path) + ": too many levels of links");
}

} // namespace

OutputFile::OutputFile(const std::string& outputPath, const OutputRules& rules) : path(outputPath)
{
    if (path == "-")
    {
        if (rules.standardOutput == nullptr)
            throw Failure("cannot write to standard output here");
        kind = Kind::standardOutput;
        standardOutput = rules.standardOutput;
        return;
    }
    const std::string target = resolveLink(path);
    struct stat status = {};
    if (::stat(target.c_str(), &status) == 0)
    {
        for (const std::string& model : rules.models)
            if (isSameFile(status, model))
                throw Failure("will not write " + quote(path) + ": it is the model " + quote(model));
        if (S_ISDIR(status.st_mode))
            throw Failure(quote(path) + " is a folder, not a file name");
        if (S_ISFIFO(status.st_mode))
        {
            kind = Kind::fifo;
            fifoPath = target;
            return;
        }
        if (!S_ISREG(status.st_mode))
            throw Failure("will not write " + quote(path) +
                          ": it is not a regular file (write to standard output with - instead)");
        bool isInput = false;
        for (const std::string& input : rules.inputs)
            isInput = isInput || (input != "-" && isSameFile(status, input));
        if (!rules.overwrite)
            throw Failure("will not replace " + quote(path) + (isInput ? ", the input file" : "") +
                          ": it exists; give -y (--overwrite) to replace it");
    }
    pendingFile = std::make_unique<PendingFile>(target);
}

int OutputFile::releaseDescriptor()
{
    return pendingFile != nullptr ? pendingFile->releaseDescriptor() : -1;
}

void OutputFile::commit()
{
    switch (kind)
    {
    case Kind::regularFile:
        pendingFile->commit();
        return;
    case Kind::standardOutput:
        if (!isStreaming)
        {
            startStream();
            if (!writeToStream(memory.bytes.data(), memory.bytes.size()))
                throw Failure("cannot write to standard output: " + streamError);
        }
        else if (streamDescriptor < 0)
        {
            standardOutput->flush();
            if (!*standardOutput)
                throw Failure("cannot write to standard output");
        }
        return;
    case Kind::fifo:
    {
        // The reader's side decides when this returns; the user named the FIFO.
        const int descriptor = ::open(fifoPath.c_str(), O_WRONLY);
        if (descriptor < 0)
            throw Failure("cannot write " + quote(path) + ": " + getSystemReason());
        std::size_t written = 0;
        while (written < memory.bytes.size())
        {
            const ssize_t result = ::write(descriptor, memory.bytes.data() + written, memory.bytes.size() - written);
            if (result < 0 && errno == EINTR)
                continue;
            if (result <= 0)
            {
                const std::string reason = getSystemReason();
                ::close(descriptor);
                throw Failure("cannot write " + quote(path) + ": " + reason);
            }
            written += static_cast<std::size_t>(result);
        }
        ::close(descriptor);
        return;
    }
    }
}

void OutputFile::startStream()
{
    if (kind != Kind::standardOutput || isStreaming)
        return;
    isStreaming = true;
    // The program's own standard output is written with the system's calls, which say why they
    // fail (a full disk, a closed pipe); any other stream as a stream.
    if (standardOutput == &std::cout)
    {
        std::cout.flush();
        streamDescriptor = STDOUT_FILENO;
        struct stat status = {};
        if (::fstat(streamDescriptor, &status) == 0 && S_ISREG(status.st_mode))
            streamStart = ::lseek(streamDescriptor, 0, SEEK_CUR);
    }
}

bool OutputFile::writeToStream(const char* bytes, std::size_t numOfBytes)
{
    if (streamDescriptor < 0)
    {
        standardOutput->write(bytes, static_cast<std::streamsize>(numOfBytes));
        if (!*standardOutput)
        {
            streamError = "the stream refuses the data";
            return false;
        }
        return true;
    }
    std::size_t written = 0;
    while (written < numOfBytes)
    {
        const ssize_t result = ::write(streamDescriptor, bytes + written, numOfBytes - written);
        if (result < 0 && errno == EINTR)
            continue;
        if (result <= 0)
        {
            streamError = result < 0 ? getSystemReason() : "nothing could be written";
            return false;
        }
        written += static_cast<std::size_t>(result);
    }
    return true;
}

bool OutputFile::patchStream(std::int64_t offset, const char* bytes, std::size_t numOfBytes)
{
    if (streamDescriptor < 0 || streamStart < 0)
        return false;
    return ::pwrite(streamDescriptor, bytes, numOfBytes, static_cast<off_t>(streamStart + offset)) ==
           static_cast<ssize_t>(numOfBytes);
}

int openRegularFile(const std::string& path, const std::string& what)
{
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (descriptor < 0)
        throw Failure("cannot open " + what + quote(path) + ": " + getSystemReason());
    struct stat status = {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode))
    {
        const bool isFolder = S_ISDIR(status.st_mode);
        ::close(descriptor);
        throw Failure("cannot open " + what + quote(path) + ": " +
                      (isFolder
                           ? "it is a folder"
                           : "it is not a regular file" + std::string(what.empty() ? " (read a pipe with -)" : "")));
    }
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags >= 0)
        ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
    return descriptor;
}

} // namespace murel::cli
