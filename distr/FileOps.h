#pragma once

#include <Poco/Exception.h>

#include <functional>
#include <string>
#include <vector>

namespace Poco {
class Logger;
}

namespace Patcher {

// How a file operation logs and retries. A value: every retry works on its own
// copy. A null policy pointer means defaultPolicy().
struct FileOpPolicy {
    explicit FileOpPolicy(Poco::Logger* logger);
    FileOpPolicy(); // the root logger

    Poco::Logger* logger; // null: silent
    bool quiet = true;    // suppresses the success messages
    int retriesLeft = 3;  // automatic retries still allowed for a transient error
    unsigned delayMs = 500;

    static const FileOpPolicy& defaultPolicy();
};

// The retry step of the operations below, for a failure of their underlying call:
// a transient error with retries left logs message + ", Retring..." (warning),
// sleeps and returns the policy for the next attempt; anything else logs
// message + ", Details: " + the error (error) and rethrows it.
FileOpPolicy onFileOpFailure(const std::string& message, const Poco::Exception& error,
                             const FileOpPolicy& policy);

// Create a folder with its missing parents (nothing when it exists).
void createFolder(const std::string& path, const FileOpPolicy* policy = nullptr);
// Delete a file (nothing, and nothing logged, when there is none).
void deleteFile(const std::string& path, const FileOpPolicy* policy = nullptr);
// Delete a folder with everything inside (nothing when there is none).
void deleteFolder(const std::string& path, const FileOpPolicy* policy = nullptr);
// Rename source to target, replacing a target file.
void moveFile(const std::string& source, const std::string& target, const FileOpPolicy* policy = nullptr);

// The same, answering false (after an error line) instead of throwing.
bool tryCreateFolder(const std::string& path, const FileOpPolicy* policy = nullptr);
bool tryDeleteFile(const std::string& path, const FileOpPolicy* policy = nullptr);
bool tryDeleteFolder(const std::string& path, const FileOpPolicy* policy = nullptr);

// Whole-file read and write, bytes as they are. Throw Poco::OpenFileException,
// ReadFileException or WriteFileException naming the path.
std::string readWholeFile(const std::string& path);
void writeWholeFile(const std::string& path, const std::string& text);

// The entries (files and folders) below a directory. A missing or unreadable
// directory logs "Directory does not exists: " + path (information, root logger)
// and lists nothing.
class DirListing {
public:
    struct Entry {
        std::string path; // directory + relative
        std::string relative;
        std::string name;
        bool isDirectory;
    };
    using Filter = std::function<bool(const Entry&)>;

    explicit DirListing(const std::string& directory, bool recursive = false, Filter filter = {});

    const std::vector<Entry>& entries() const& { return entries_; }
    // A temporary listing hands its entries over (safe in a range-for).
    std::vector<Entry> entries() && { return std::move(entries_); }
    // A filter accepting the entries whose name matches the regular expression.
    static Filter nameMatches(const std::string& pattern);

private:
    std::vector<Entry> entries_;
};

// A location as a directory: URLs ("http...") get "/" separators and a trailing
// "/", anything else becomes a directory path with a trailing separator.
std::string asDirectoryLocation(const std::string& location);

// relative resolved against base (a URL or directory ending with a separator).
// URLs and absolute paths come back unchanged; "." and "name/.." segments are
// removed.
std::string resolveLocation(const std::string& relative, const std::string& base);

// Hidden attribute switches (nothing to do on POSIX, see platform/FileSystem.h).
void setHidden(const std::string& path);
void clearHidden(const std::string& path);

// The disk-lock slot of a path: 0 for an empty path, else 1-255 per file system.
unsigned char getDriveLetter(const std::string& path);

// Test seam: called with the operation ("createFolder", "deleteFile",
// "deleteFolder", "moveFile") and its path before every underlying call; a hook
// that throws stands for a failing file system. Set it while no operation runs.
using FileOpFault = std::function<void(const std::string& operation, const std::string& path)>;
void setFileOpFault(FileOpFault fault);

} // namespace Patcher
