#pragma once

#include <string>

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
        Throws Failure when the folder does not exist or is not writable, or when the target is a
        folder. */
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

} // namespace murel::cli
