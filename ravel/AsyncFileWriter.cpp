#include "ravel/AsyncFileWriter.h"

#include <Poco/File.h>

namespace ravel {

namespace {

std::shared_ptr<Metadata> matchingMetadata(const std::string& path, std::int64_t size,
                                           std::shared_ptr<Metadata> metadata) {
    if (!metadata)
        metadata = std::make_shared<Metadata>(path, size, true);
    if (metadata->ranges().empty())
        return metadata;
    // The record speaks for the file only at the request's length; otherwise the
    // file holds another version (or nothing) and the download starts over. The
    // record goes at once so that a crash cannot revive it.
    Poco::File file(path);
    if (!file.exists() || static_cast<std::int64_t>(file.getSize()) != size) {
        metadata->clear();
        metadata->save();
    }
    return metadata;
}

} // namespace

AsyncFileWriter::AsyncFileWriter(const std::string& path, std::int64_t size, FileActiveCache& cache,
                                 std::shared_ptr<Metadata> metadata)
    : Writer(matchingMetadata(path, size, std::move(metadata))), cache_(cache), file_(path) {
    file_.resize(size);
    cache_.registerObserver(this);
}

AsyncFileWriter::~AsyncFileWriter() { cache_.unregisterObserver(this); }

void AsyncFileWriter::write(const char* data, std::int64_t count, std::int64_t position) {
    cache_.put(this, data, count, position);
}

void AsyncFileWriter::onFlush(const FileChunk& chunk) {
    const auto count = static_cast<std::int64_t>(chunk.bytes.size());
    file_.write(chunk.bytes.data(), count, chunk.position);
    metadata_->addRange(chunk.position, count);
}

} // namespace ravel
