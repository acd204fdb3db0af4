#include "ravel/File.h"

#include <Poco/Exception.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>

namespace ravel {

std::uint32_t File::defaultBlockSize() {
    return static_cast<std::uint32_t>(platform::MappedFile::preferredViewSize());
}

File::File(const std::string& path, std::int64_t size, std::uint32_t blockSize)
    : path_(path), blockSize_(blockSize), size_(size) {
    open();
    if (size != 0 && file_.length() != size)
        resize(size);
}

File::~File() {
    try {
        block_->unmap();
        file_.close();
    } catch (const Poco::Exception& e) {
        std::cerr << "ravel::File::~File: " << e.displayText() << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "ravel::File::~File: " << e.what() << std::endl;
    }
}

void File::open() {
    if (!block_)
        block_ = std::make_shared<FileBlock>(*this);
    if (blockSize_ == 0 || blockSize_ % platform::MappedFile::allocationGranularity() != 0)
        throw std::logic_error("Invalid block size");
    block_->unmap();
    file_.close();
    file_.open(path_);
    if (size_ == 0)
        size_ = file_.length();
}

void File::resize(std::int64_t size) {
    block_->unmap();
    size_ = size;
    file_.setLength(size);
}

File::FileBlock::~FileBlock() {
    try {
        unmap();
    } catch (const Poco::Exception& e) {
        std::cerr << "ravel::File::FileBlock::~FileBlock: " << e.displayText() << std::endl;
    }
}

void File::FileBlock::map(std::int64_t index) {
    unmap();
    const std::int64_t offset = index * file_.blockSize_;
    viewSize_ = static_cast<std::size_t>(std::min<std::int64_t>(file_.size_ - offset, file_.blockSize_));
    view_ = static_cast<char*>(file_.file_.map(offset, viewSize_));
    index_ = index;
}

void File::FileBlock::unmap() {
    if (!view_)
        return;
    char* view = view_;
    view_ = nullptr;
    index_ = -1;
    file_.file_.unmap(view, viewSize_);
}

void File::FileBlock::write(const char* data, std::int64_t count, std::int64_t position) {
    if (position < 0)
        throw std::logic_error("Invalid offset: " + std::to_string(position) + "/" + std::to_string(file_.size_));
    if (platform::MappedFile::prefersWriteAt()) {
        // The page cache holds the bytes as a mapping would: they survive a
        // crash of the process, which is all the resume record needs.
        const std::int64_t n = std::min(count, std::max<std::int64_t>(0, file_.size_ - position));
        if (n > 0)
            file_.file_.writeAt(data, static_cast<std::size_t>(n), position);
        count -= n;
        position += n;
    }
    while (count > 0 && position < file_.size_) {
        const std::int64_t index = position / file_.blockSize_;
        const std::int64_t offset = position % file_.blockSize_;
        if (index != index_)
            map(index);
        const std::int64_t room = static_cast<std::int64_t>(viewSize_) - offset;
        const std::int64_t n = std::min(count, room);
        std::memcpy(view_ + offset, data, static_cast<std::size_t>(n));
        // Asynchronous: the resume record claims only bytes already in the
        // mapping, which survive a crash of the process; a synchronous flush per
        // block would make the download disk-bound for no gain in safety.
        file_.file_.flushAsync(view_ + offset, static_cast<std::size_t>(n));
        data += n;
        position += n;
        count -= n;
    }
    if (count > 0)
        throw std::logic_error("Invalid offset: " + std::to_string(position) + "/" + std::to_string(file_.size_));
}

} // namespace ravel
