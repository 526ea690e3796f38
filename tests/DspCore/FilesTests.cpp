#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unistd.h>

#include "DspCore/Files.h"

using namespace murel;

namespace
{

class TemporaryDirectory
{
public:
    TemporaryDirectory()
    {
        char pattern[] = "/tmp/murel-files-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~TemporaryDirectory() { std::system(("rm -rf '" + path + "'").c_str()); }
    File child(const std::string& name) const { return File(path).getChild(name); }
    std::string path;
};

void writeBytes(const File& file, const std::string& bytes)
{
    std::ofstream(file.getFullPath(), std::ios::binary) << bytes;
}

std::string readAll(const File& file)
{
    std::ostringstream content;
    content << std::ifstream(file.getFullPath(), std::ios::binary).rdbuf();
    return content.str();
}

} // namespace

TEST(File, PathManipulation)
{
    const File voice("/models/voice.model");
    EXPECT_EQ(voice.getFileName(), "voice.model");
    EXPECT_EQ(voice.getFileNameWithoutExtension(), "voice");
    EXPECT_EQ(voice.getParentDirectoryPath(), "/models");
    EXPECT_EQ(voice.getParentDirectory().getFullPath(), "/models");
    EXPECT_EQ(voice.getFileExtension(), "model");
    EXPECT_EQ(File("/data.old/readme").getFileExtension(), "old/readme");
    EXPECT_EQ(File("readme").getParentDirectoryPath(), "");
    EXPECT_EQ(File("readme").getFileName(), "readme");
    EXPECT_EQ(File("a/b").getChild("c.txt").getFullPath(), "a/b/c.txt");
    EXPECT_EQ(File::getPathDelimiter(), "/");
    EXPECT_TRUE(File("/x").findChildFiles("*", true, true).empty());
    EXPECT_THROW(File::getSystemFolder(File::temporaryFolder), std::runtime_error);
}

TEST(File, ExistenceDeletionAndDirectories)
{
    TemporaryDirectory dir;
    const File file = dir.child("a.bin");
    EXPECT_FALSE(file.exists());
    writeBytes(file, "x");
    EXPECT_TRUE(file.exists());
    EXPECT_TRUE(file.deleteFile());
    EXPECT_FALSE(file.deleteFile());

    const File sub = dir.child("sub");
    EXPECT_TRUE(sub.createDirectory());
    EXPECT_TRUE(sub.exists());
    EXPECT_TRUE(sub.createDirectory()) << "an existing directory is fine";
}

TEST(File, UniqueAndTemporaryNames)
{
    TemporaryDirectory dir;
    const File take = dir.child("take 3.wav");
    EXPECT_EQ(take.getUniqueCopiedName().getFullPath(), take.getFullPath());
    writeBytes(take, "");
    EXPECT_EQ(take.getUniqueCopiedName().getFullPath(), dir.path + "/take  2.wav");
    writeBytes(File(dir.path + "/take  2.wav"), "");
    EXPECT_EQ(take.getUniqueCopiedName().getFullPath(), dir.path + "/take  3.wav");

    const File temporary = File::createTemporaryFile(File(dir.path), "scratch");
    EXPECT_FALSE(temporary.exists());
    EXPECT_EQ(temporary.getParentDirectoryPath(), dir.path);
    EXPECT_EQ(temporary.getFileName().rfind("scratch", 0), 0u);
    EXPECT_EQ(temporary.getFileExtension(), "tmp");
}

TEST(FileStream, OpenModes)
{
    TemporaryDirectory dir;
    const File file = dir.child("stream.bin");
    FileStream stream;
    EXPECT_FALSE(stream.open(file, FileStream::readAccess, FileStream::openExisting));
    EXPECT_FALSE(stream.isOpen());
    EXPECT_FALSE(file.exists());
    char buffer[8] = {};
    EXPECT_EQ(stream.read(buffer, 4), 0) << "a closed stream fails quietly";
    EXPECT_EQ(stream.write(buffer, 4), 0);
    EXPECT_FALSE(stream.setPosition(0));
    EXPECT_EQ(stream.getLength(), 0);

    EXPECT_TRUE(stream.open(file, FileStream::readAccess, FileStream::openOrCreate));
    EXPECT_EQ(stream.getLength(), 0);
    EXPECT_EQ(stream.close(), 0);
    EXPECT_EQ(stream.close(), 0) << "closing twice is harmless";

    writeBytes(file, "content");
    EXPECT_TRUE(stream.open(file, FileStream::writeAccess, FileStream::openExisting));
    stream.close();
    EXPECT_EQ(readAll(file), "") << "write access always truncates";

    writeBytes(file, "content");
    EXPECT_TRUE(stream.open(file, FileStream::readWriteAccess, FileStream::openOrCreate));
    EXPECT_EQ(stream.getLength(), 7) << "read-write keeps the contents";
    EXPECT_TRUE(stream.setPosition(2));
    EXPECT_EQ(stream.write("NT", 2), 2);
    stream.close();
    EXPECT_EQ(readAll(file), "coNTent");

    EXPECT_TRUE(stream.open(file, FileStream::readWriteAccess, FileStream::createAlways));
    EXPECT_EQ(stream.getLength(), 0);
    EXPECT_EQ(stream.write("abc", 3), 3);
    EXPECT_EQ(stream.flush(), 0);
    EXPECT_TRUE(stream.setPosition(0));
    EXPECT_EQ(stream.read(buffer, 8), 3) << "a short read reports its count";
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(stream.getPosition(), 3);
}

TEST(InputStream, ReadStringKeepsEveryByteAndRejectsNegativeAndOverlongLengths)
{
    TemporaryDirectory dir;
    const File file = dir.child("strings.bin");
    writeBytes(file, std::string("\x03\x00\x00\x00"
                                 "abc"
                                 "\x00\x00\x00\x00"
                                 "\x02\x00\x00\x00"
                                 "x\0",
                                 17));
    FileStream stream;
    ASSERT_TRUE(stream.open(file, FileStream::readAccess, FileStream::openExisting));
    EXPECT_EQ(stream.readString(), "abc");
    EXPECT_EQ(stream.getPosition(), 7);
    EXPECT_EQ(stream.readString(), "");
    EXPECT_EQ(stream.readString(), std::string("x\0", 2)) << "embedded zero bytes stay";
    stream.close();

    // A negative length; one far past the end of the file; one just past it.
    for (const std::string& bytes : {std::string("\xFF\xFF\xFF\xFF", 4),
                                     std::string("\x00\x00\x00\x7F"
                                                 "abcdefghijklmnop",
                                                 20),
                                     std::string("\x05\x00\x00\x00"
                                                 "abcd",
                                                 8)})
    {
        writeBytes(file, bytes);
        ASSERT_TRUE(stream.open(file, FileStream::readAccess, FileStream::openExisting));
        EXPECT_THROW(stream.readString(), std::length_error) << bytes.size() << " bytes";
    }
}
