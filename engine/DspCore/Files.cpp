#include "DspCore/Files.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <stdexcept>

namespace murel
{

File::File(std::string filePath) : path(std::move(filePath)) {}

std::string File::getPathDelimiter()
{
    return "/";
}

std::string File::getFileName() const
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string File::getFileNameWithoutExtension() const
{
    const std::string name = getFileName();
    const auto dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string File::getFileExtension() const
{
    const auto dot = path.rfind('.');
    return dot == std::string::npos ? std::string() : path.substr(dot + 1);
}

std::string File::getParentDirectoryPath() const
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

File File::getParentDirectory() const
{
    return File(getParentDirectoryPath());
}

File File::getChild(const std::string& name) const
{
    return File(path + "/" + name);
}

bool File::exists() const
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

bool File::deleteFile() const
{
    return std::remove(path.c_str()) == 0;
}

bool File::createDirectory() const
{
    ::mkdir(path.c_str(), 0755);
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::list<File> File::findChildFiles(const std::string&, bool, bool) const
{
    return {};
}

File File::getSystemFolder(SystemFolderID)
{
    throw std::runtime_error("In File::getSystemFolder: Missing implementation for platform");
}

File File::getUniqueCopiedName() const
{
    if (!exists())
        return *this;
    const std::string parent = getParentDirectoryPath();
    const std::string extension = getFileExtension();
    std::string name = getFileNameWithoutExtension();
    while (!name.empty() && name.back() >= '0' && name.back() <= '9')
        name.pop_back();
    for (long n = 2;; ++n)
    {
        File candidate(parent + "/" + name + " " + std::to_string(n) + "." + extension);
        if (!candidate.exists())
            return candidate;
    }
}

File File::createTemporaryFile(const File& directory, const std::string& name)
{
    const auto now = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    uint64_t number = now + (reinterpret_cast<uintptr_t>(&name) & 0xFFFFu);
    for (;;)
    {
        File candidate(directory.getFullPath() + "/" + name + std::to_string(number) + ".tmp");
        if (!candidate.exists())
            return candidate;
        number += static_cast<uint64_t>(std::rand()) + 1u;
    }
}

std::string InputStream::readString()
{
    int32_t length = 0;
    unsigned char bytes[4] = {0, 0, 0, 0};
    read(bytes, 4);
    length = static_cast<int32_t>(static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
                                  (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24));
    if (length < 0)
        throw std::length_error("InputStream::readString: negative string length");
    // A length beyond the end of the stream cannot be satisfied; refusing it keeps a short,
    // corrupt file from asking for gigabytes.
    if (canSeek())
    {
        const long remaining = getLength() - getPosition();
        if (remaining < 0 || static_cast<long>(length) > remaining)
            throw std::length_error("InputStream::readString: string longer than the stream");
    }
    std::string text(static_cast<std::size_t>(length), '\0');
    if (length > 0)
        read(text.data(), length);
    return text;
}

FileStream::~FileStream()
{
    close();
}

bool FileStream::open(const File& file, FileAccess access, FileOpenMode mode)
{
    close();
    const std::string& path = file.getFullPath();
    if (mode == openExisting && !file.exists())
        return false;
    // Write access creates and truncates by itself; reading needs the file made (or emptied) first.
    const char* preparation = mode == createAlways ? "wb" : (mode == openOrCreate && !file.exists() ? "ab" : nullptr);
    if (preparation != nullptr && access != writeAccess)
        if (std::FILE* created = std::fopen(path.c_str(), preparation))
            std::fclose(created);

    // Indexed by the access.
    static const char* const modeStrings[] = {"rb", "wb", "rb+"};
    const auto index = static_cast<std::size_t>(access);
    if (index >= std::size(modeStrings))
        return false;
    handle = std::fopen(path.c_str(), modeStrings[index]);
    return handle != nullptr;
}

int FileStream::read(void* buffer, int numOfBytes)
{
    if (handle == nullptr || numOfBytes <= 0)
        return 0;
    return static_cast<int>(std::fread(buffer, 1, static_cast<std::size_t>(numOfBytes), handle));
}

int FileStream::write(const void* buffer, int numOfBytes)
{
    if (handle == nullptr || numOfBytes <= 0)
        return 0;
    return static_cast<int>(std::fwrite(buffer, 1, static_cast<std::size_t>(numOfBytes), handle));
}

bool FileStream::setPosition(long position)
{
    return handle != nullptr && std::fseek(handle, position, SEEK_SET) == 0;
}

long FileStream::getPosition()
{
    return handle != nullptr ? std::ftell(handle) : -1;
}

long FileStream::getLength()
{
    if (handle == nullptr)
        return 0;
    const int descriptor = fileno(handle);
    if (descriptor < 0)
        return 0;
    struct stat info;
    if (::fstat(descriptor, &info) != 0)
        return 0;
    return static_cast<long>(info.st_size);
}

int FileStream::flush()
{
    return handle != nullptr ? std::fflush(handle) : EOF;
}

int FileStream::close()
{
    if (handle == nullptr)
        return 0;
    const int result = std::fclose(handle);
    handle = nullptr;
    return result;
}

} // namespace murel
