#include "distr/LineReader.h"

#include <Poco/Exception.h>

#include <cerrno>
#include <cstring>

namespace Patcher {

LineReader::LineReader(const std::string& path) : path_(path), in_(path, std::ios::binary), buffer_(kBlock) {
    if (!in_)
        throw Poco::OpenFileException("Cannot open file", path, errno);
}

bool LineReader::fill() {
    if (eof_)
        return false;
    // Keep the partial line, then read behind it; a line longer than the buffer
    // grows it.
    std::memmove(buffer_.data(), buffer_.data() + pos_, size_ - pos_);
    size_ -= pos_;
    pos_ = 0;
    if (size_ == buffer_.size())
        buffer_.resize(buffer_.size() * 2);
    in_.read(buffer_.data() + size_, static_cast<std::streamsize>(buffer_.size() - size_));
    const std::streamsize got = in_.gcount();
    if (in_.bad())
        throw Poco::ReadFileException("Cannot read file", path_, errno);
    if (got <= 0) {
        eof_ = true;
        return false;
    }
    size_ += static_cast<std::size_t>(got);
    return true;
}

bool LineReader::next(const char*& begin, const char*& end) {
    for (;;) {
        const char* start = buffer_.data() + pos_;
        const char* stop = buffer_.data() + size_;
        if (const void* lf = std::memchr(start, '\n', static_cast<std::size_t>(stop - start))) {
            begin = start;
            end = static_cast<const char*>(lf);
            pos_ = static_cast<std::size_t>(end - buffer_.data()) + 1;
            return true;
        }
        if (!fill()) {
            if (pos_ == size_)
                return false;
            begin = buffer_.data() + pos_; // a last line without LF
            end = buffer_.data() + size_;
            pos_ = size_;
            return true;
        }
    }
}

} // namespace Patcher
