#pragma once

#include "ravel/File.h"
#include "ravel/FileActiveCache.h"
#include "ravel/Writer.h"

#include <cstdint>
#include <memory>
#include <string>

namespace ravel {

// Writes a download's destination through the write cache: write() only
// queues a copy; the cache's thread stores it in the mapped file and then
// records the range in the metadata, so the record never claims bytes that
// were not handed to the file.
class AsyncFileWriter : public Writer, public ActiveCacheObserver {
public:
    // Opens (creating) the file at path with length size, space reserved;
    // without metadata makes Metadata(path, size, true). A record that does not
    // match the file (missing, or of another length than size) is dropped, so
    // the download starts over. The cache must outlive the writer.
    AsyncFileWriter(const std::string& path, std::int64_t size, FileActiveCache& cache,
                    std::shared_ptr<Metadata> metadata = nullptr);
    // Waits until every queued chunk is written or dropped.
    ~AsyncFileWriter() override;

    void write(const char* data, std::int64_t count, std::int64_t position) override;
    void onFlush(const FileChunk& chunk) override;

    const std::string& path() const { return file_.path(); }

private:
    FileActiveCache& cache_; // outlives this
    File file_;              // used by the cache's thread only, after construction
};

} // namespace ravel
