#pragma once

#include <cstdint>
#include <string>

namespace platform {

// File-system calls the file operations need beyond Poco::File. Failures throw
// the Poco::FileException family with the errno value as code and the path in the
// message.

// The errors a busy file system gives for a while and then stops giving (another
// process holding the file, a scanner): worth retrying.
bool isTransientFileError(int code);

// The system's text for an error code.
std::string errorText(int code);

// Creates the directory and every missing parent; an existing one is fine.
void makeDirectories(const std::string& path);
// Removes a file (or symbolic link); false when there was none.
bool removeFile(const std::string& path);
// Removes a directory with everything inside; false when there was none.
bool removeTree(const std::string& path);
// Renames within one file system, replacing an existing target file.
void renameFile(const std::string& from, const std::string& to);

// Forces the data of a written file (or the entries of a directory) to the
// disk, so that a rename after it survives a power loss.
void flushToDisk(const std::string& path);
// Forces every written file of the file system holding path to the disk: one
// call before a record that vouches for many files written since.
void flushFileSystem(const std::string& path);

// Last-modification time in whole seconds since the epoch; false when the file
// cannot be examined.
bool modificationTime(const std::string& path, std::int64_t& seconds);
// The same with the fraction of that second in nanoseconds (0 on a file system
// that keeps whole seconds).
bool modificationTime(const std::string& path, std::int64_t& seconds, std::int64_t& nanoseconds);

// A small number (1-255) per file system, taken from the device of the nearest
// existing ancestor of path, so that two paths on one disk share it; 0 for an
// empty path. Numbers are handed out in order of first use within the process.
unsigned char driveSlot(const std::string& path);

// The file system that holds path (or its nearest existing ancestor).
struct DiskSpace {
    std::uint64_t device = 0;    // equal for two paths on one file system
    std::string mountPoint;      // where that file system is mounted
    std::int64_t freeBytes = 0;  // what an unprivileged writer may still use
};
// Throws the Poco::FileException family when nothing of the path can be examined.
DiskSpace diskSpace(const std::string& path);

// The error code of a write that found its file system full.
extern const int kNoSpaceError;

// relative (a relative path with "/" separators) resolved against the directory
// base, with "." and "name/.." segments removed. On Windows the drive letter
// of base carries over with the spelling base gives it; on POSIX a path's
// letters are never changed.
std::string resolvePath(const std::string& relative, const std::string& base);

// POSIX has no hidden attribute: a name starting with "." is hidden by
// convention, and the metadata directories are named so. Both do nothing.
void setHidden(const std::string& path);
void clearHidden(const std::string& path);

// Adds execute permission for everybody who may read the file (0755 for a 0644 file).
void makeExecutable(const std::string& path);

} // namespace platform
