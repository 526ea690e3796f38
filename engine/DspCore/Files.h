#pragma once

#include <cstdio>
#include <list>
#include <string>

#include "DspCore/Export.h"

namespace murel
{

/** A path in the file system, kept exactly as given, with the usual path manipulations. */
class MUREL_EXPORT File
{
public:
    enum SystemFolderID
    {
        userHomeFolder,
        userDocumentsFolder,
        userApplicationDataFolder,
        commonApplicationDataFolder,
        temporaryFolder,
    };

    File() = default;
    File(std::string path);

    static std::string getPathDelimiter();

    const std::string& getFullPath() const { return path; }
    /** The part after the last "/", or the whole path. */
    std::string getFileName() const;
    /** The file name up to its last ".". */
    std::string getFileNameWithoutExtension() const;
    /** The part after the last "." anywhere in the path, without the dot; empty without one. */
    std::string getFileExtension() const;
    /** The part before the last "/", or empty. */
    std::string getParentDirectoryPath() const;
    File getParentDirectory() const;
    File getChild(const std::string& name) const;

    bool exists() const;
    bool deleteFile() const;
    /** Creates the directory (mode 0755); true when it exists afterwards. */
    bool createDirectory() const;
    /** Not supported on this platform: always an empty list. */
    std::list<File> findChildFiles(const std::string& pattern, bool recursive, bool includeDirectories) const;
    /** Not supported on this platform: always throws std::runtime_error. */
    static File getSystemFolder(SystemFolderID folder);

    /** This path if it is free, else the first free "name N.ext" beside it, N counting from 2. */
    File getUniqueCopiedName() const;
    /** A free path "<directory>/<name><number>.tmp"; nothing is created. */
    static File createTemporaryFile(const File& directory, const std::string& name);

private:
    std::string path;
};

/** Root of the byte sources. */
class MUREL_EXPORT BinaryInputStream
{
public:
    virtual ~BinaryInputStream() = default;
    /** Reads up to numOfBytes; returns the number read. */
    virtual int read(void* buffer, int numOfBytes) = 0;
    virtual bool setPosition(long position) = 0;
    virtual long getPosition() = 0;
    virtual long getLength() = 0;
    virtual bool canSeek() { return true; }
};

/** A byte source that also reads the length-prefixed strings of the model format. */
class MUREL_EXPORT InputStream : public BinaryInputStream
{
public:
    /** Reads an int32 byte count n and n bytes. Throws std::length_error when n is negative or
        larger than what is left in a seekable stream. */
    std::string readString();
};

/** Root of the byte sinks. */
class MUREL_EXPORT BinaryOutputStream
{
public:
    virtual ~BinaryOutputStream() = default;
    virtual int write(const void* buffer, int numOfBytes) = 0;
    virtual int flush() = 0;
    virtual bool setPosition(long position) = 0;
    virtual long getPosition() = 0;
    bool canSeek() const { return true; }
};

class MUREL_EXPORT OutputStream : public BinaryOutputStream
{
};

/** A C standard I/O file that can be read and written. Operations on a closed stream do
    nothing and report failure. */
class MUREL_EXPORT FileStream : public InputStream, public OutputStream
{
public:
    enum FileAccess
    {
        readAccess = 0,
        writeAccess = 1,
        readWriteAccess = 2,
    };

    enum FileOpenMode
    {
        openExisting = 0,
        openOrCreate = 1,
        createAlways = 2,
    };

    FileStream() = default;
    ~FileStream() override;

    FileStream(const FileStream&) = delete;
    FileStream& operator=(const FileStream&) = delete;

    bool open(const File& file, FileAccess access, FileOpenMode mode);
    bool isOpen() const { return handle != nullptr; }

    int read(void* buffer, int numOfBytes) override;
    bool setPosition(long position) override;
    long getPosition() override;
    long getLength() override;
    bool canSeek() override { return true; }

    virtual int close();
    int write(const void* buffer, int numOfBytes) override;
    int flush() override;

private:
    std::FILE* handle = nullptr;
};

} // namespace murel
