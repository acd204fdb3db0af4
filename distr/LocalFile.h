#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <streambuf>
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

// The project's SHA-1: an output stream buffer that hashes what is written
// into it (OpenSSL's digest; POCO's wrapper initialises OpenSSL per object,
// which races between threads).
class Sha1Buf : public std::streambuf {
public:
    Sha1Buf();
    ~Sha1Buf() override;
    Sha1Buf(const Sha1Buf&) = delete;
    Sha1Buf& operator=(const Sha1Buf&) = delete;

    void update(const char* data, std::size_t size);
    // The digest of everything written, as 40 lowercase hex digits. Call once.
    std::string hex();
    std::int64_t count = 0; // bytes hashed

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* data, std::streamsize size) override;

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

// Appends length bytes as lowercase hex digits, two a byte.
void appendHex(std::string& out, const unsigned char* bytes, std::size_t length);

// SHA-1 of a file as 40 lowercase hex digits; bytesRead (optional) gets the size.
// Throws Poco::OpenFileException / ReadFileException naming the path.
std::string sha1OfFile(const std::string& path, HDDEventObserver* observer = nullptr,
                       std::int64_t* bytesRead = nullptr);

// The one whole-file copy: source into a new or truncated target, every block
// through the disk-activity hooks (observer may be null), checked like
// checkCopy against the source's size. A failed copy removes the target, so a
// short file never stays looking like the whole one. Throws
// Poco::OpenFileException naming the file it could not open or create.
void copyWholeFile(const std::string& source, const std::string& target, HDDEventObserver* observer = nullptr);

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
