#pragma once

#include "ravel/Metadata.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace ravel {

// Destination of a download's bytes. write() may be called from several
// threads as long as the caller serialises the calls (the Downloader does).
class Writer {
public:
    explicit Writer(std::shared_ptr<Metadata> metadata = nullptr) : metadata_(std::move(metadata)) {}
    virtual ~Writer() = default;
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Hands count bytes destined for position (within the destination file) to
    // the writer. May block while the write cache is full; throws the text of an
    // earlier failure of this destination.
    virtual void write(const char* data, std::int64_t count, std::int64_t position) = 0;

    const std::shared_ptr<Metadata>& metadata() const { return metadata_; }
    // Ranges of the destination already stored, empty without metadata.
    std::vector<Range> storedRanges() const { return metadata_ ? metadata_->ranges() : std::vector<Range>(); }

protected:
    std::shared_ptr<Metadata> metadata_; // constant after construction
};

} // namespace ravel
