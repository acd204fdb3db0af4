#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// A read-write file meant to be written through shared memory-mapped views.
// Every failure is a Poco::FileException whose message names the operation and
// the path, whose argument is the system's error text and whose code is the
// system error number. One thread at a time.
class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile(); // closes; never throws
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Opens the file for reading and writing, creating it when missing, and
    // takes an exclusive lock on it: a second writer, in this process or
    // another, fails here with "Failed to create file: " + path.
    void open(const std::string& path);
    void close();
    bool isOpen() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }

    // Current length on disk.
    std::int64_t length() const;
    // Sets the length and reserves the disk space for all of it, so that later
    // stores into mapped pages cannot fail for lack of space; a full disk fails
    // here with "Failed to allocate file: " + path (code ENOSPC). Bytes below the
    // new length keep their content. On a file system that cannot reserve space
    // the length is set without reserving it.
    void setLength(std::int64_t length);

    // Maps length bytes at offset (a multiple of allocationGranularity()) shared
    // and writable; release with unmap().
    void* map(std::int64_t offset, std::size_t length);
    void unmap(void* address, std::size_t length);
    // Schedules written pages of a view for writing back, without waiting.
    // address need not be page aligned.
    void flushAsync(void* address, std::size_t length);

    // Writes length bytes at offset without a view, as a write call (partial
    // writes are resumed); fails with "Failed to write file: " + path.
    void writeAt(const void* data, std::size_t length, std::int64_t offset);
    // Whether writeAt() fills a file faster than stores into mapped views. On
    // Linux the first store into a fresh view makes the kernel zero whole
    // folios, which a write call of whole pages skips.
    static bool prefersWriteAt();

    // Alignment that map() offsets must keep.
    static std::size_t allocationGranularity();
    // Length of view to map for writing a file through: a multiple of
    // allocationGranularity() at which stores into fresh pages stay cheap.
    static std::size_t preferredViewSize();

private:
    std::string path_;
    int fd_ = -1;
};

} // namespace platform
