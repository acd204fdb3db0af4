#pragma once

#include "platform/MappedFile.h"

#include <cstdint>
#include <memory>
#include <string>

namespace ravel {

// A download's destination, given its full length up front and written at
// final positions through one shared mapped view at a time. Failures of the
// file system are Poco::FileException with the path and the system error code.
// One thread at a time (the write cache's).
class File {
public:
    // Bytes per mapped view unless the constructor is given another size.
    static std::uint32_t defaultBlockSize();

    // The currently mapped view of a File.
    class FileBlock {
    public:
        explicit FileBlock(File& file) : file_(file) {}
        ~FileBlock();
        FileBlock(const FileBlock&) = delete;
        FileBlock& operator=(const FileBlock&) = delete;

        // Copies count bytes to position, mapping views as needed. Bytes that
        // would land at or past the file's length throw std::logic_error
        // "Invalid offset: position/size"; nothing beyond the length is written.
        void write(const char* data, std::int64_t count, std::int64_t position);
        void map(std::int64_t index);
        void unmap();
        std::int64_t index() const { return index_; } // -1 when nothing is mapped

    private:
        File& file_;
        std::int64_t index_ = -1;
        std::size_t viewSize_ = 0;
        char* view_ = nullptr;
    };

    // Opens (creating when missing) the file at path; a size of 0 keeps the
    // length it has on disk, any other size becomes its length. blockSize must be
    // a multiple of the system's allocation granularity (std::logic_error
    // "Invalid block size" otherwise).
    explicit File(const std::string& path, std::int64_t size = 0, std::uint32_t blockSize = defaultBlockSize());
    ~File(); // unmaps and closes; reports failures on stderr, never throws
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Sets the length (shrinking or growing, space reserved on disk).
    void resize(std::int64_t size);
    void write(const char* data, std::int64_t count, std::int64_t position) { block_->write(data, count, position); }

    const std::string& path() const { return path_; }
    std::int64_t size() const { return size_; }
    std::uint32_t blockSize() const { return blockSize_; }

private:
    void open();

    const std::string path_;
    const std::uint32_t blockSize_;
    std::int64_t size_;
    platform::MappedFile file_;
    std::shared_ptr<FileBlock> block_;
};

} // namespace ravel
