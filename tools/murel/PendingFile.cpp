#include "PendingFile.h"

#include "Failure.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
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

std::string getFileName(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
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

    const std::string folder = getFolder(targetPath);
    std::string pattern = folder + "/." + getFileName(targetPath) + ".murel-XXXXXX";
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

} // namespace murel::cli
