#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

namespace Patcher {

class DiskActivity;
class HDDEventObserver;

// A local file produced during an update. A temporary one is deleted when the
// object goes, unless it was placed into the destination.
class LocalFile {
public:
    // Throws InternalError (3) "LocalFile works only with absolute paths.".
    LocalFile(const std::string& path, bool temporary);
    ~LocalFile();
    LocalFile(const LocalFile&) = delete;
    LocalFile& operator=(const LocalFile&) = delete;

    bool exists() const;
    const std::string& path() const { return path_; }
    bool isTemporary() const { return temporary_; }
    void markTemporary() { temporary_ = true; }

    // Creates the destination's parents; a temporary file is moved there (and is
    // then the destination, no longer temporary), any other file is copied over
    // a deleted destination and stays.
    void placeAt(const std::string& destination);

private:
    std::string path_;
    bool temporary_;
};

using LocalFilePtr = std::shared_ptr<LocalFile>;

constexpr std::size_t kCopyBufferSize = 8192;

// SHA-1 of a file as 40 lowercase hex digits; bytesRead (optional) gets the size.
// Throws Poco::OpenFileException / ReadFileException naming the path.
std::string sha1OfFile(const std::string& path, HDDEventObserver* observer = nullptr,
                       std::int64_t* bytesRead = nullptr);

// Copies until the input ends (copyStream) or at most count bytes (copyRange),
// bufferSize bytes at a time; every block goes through activity (may be null).
// A bufferSize of 0 throws std::invalid_argument "Invalid buffer size.".
// Return the number of bytes copied.
std::int64_t copyStream(std::istream& input, std::ostream& output, DiskActivity* activity = nullptr,
                        std::size_t bufferSize = kCopyBufferSize);
std::int64_t copyRange(std::istream& input, std::ostream& output, std::int64_t count,
                       std::size_t bufferSize = kCopyBufferSize, DiskActivity* activity = nullptr);

// After a copy: a bad input is InternalError (3) "The stream is corrupted.", a bad
// output UpdaterError (errno) "Failed to write into file: " + target, a short
// copy InternalError (3) "Not all bytes has been copied into file: " + target.
void checkCopy(const std::istream& input, const std::ostream& output, const std::string& target,
               std::int64_t copied, std::int64_t expected);

} // namespace Patcher
