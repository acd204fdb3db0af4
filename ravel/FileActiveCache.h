#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ravel {

class ActiveCacheObserver;

// A block waiting in the write cache.
struct FileChunk {
    ActiveCacheObserver* observer = nullptr;
    std::int64_t position = 0;
    std::vector<char> bytes; // its size is the chunk's count
};

// Receives its chunks on the cache's thread.
class ActiveCacheObserver {
public:
    virtual ~ActiveCacheObserver() = default;
    // Writes the chunk; an exception marks the observer failed.
    virtual void onFlush(const FileChunk& chunk) = 0;
};

// The process-wide write cache: segment threads copy their blocks in, one
// thread of its own writes them out. Memory in queued blocks is bounded to
// about the capacity: put() blocks while it is exceeded.
class FileActiveCache {
public:
    static constexpr std::int64_t kDefaultCapacity = 104857600; // 100 MiB
    static constexpr std::int64_t kSpareIdleSeconds = 10;       // spare chunks kept this long without work
    using Clock = std::function<std::int64_t()>;                 // seconds since the epoch

    explicit FileActiveCache(std::int64_t capacity = kDefaultCapacity, Clock clock = {});
    // Writes what is queued, then stops the thread. No put() may follow.
    ~FileActiveCache();
    FileActiveCache(const FileActiveCache&) = delete;
    FileActiveCache& operator=(const FileActiveCache&) = delete;

    // std::logic_error "Observer is already registered" for a second call.
    void registerObserver(ActiveCacheObserver* observer);
    // Waits until the observer's queued chunks are written (or dropped after a
    // failure), then forgets it. std::logic_error "Observer is not registered".
    void unregisterObserver(ActiveCacheObserver* observer);
    // Queues a copy of the bytes for position. Blocks while the cache is over
    // its capacity. Throws std::logic_error "Observer is missing" for an
    // unregistered observer, and Poco::Exception with the failure's text once
    // the observer's onFlush has failed (its queued chunks are then dropped).
    void put(ActiveCacheObserver* observer, const char* data, std::int64_t count, std::int64_t position);

    std::int64_t capacity() const { return capacity_; }
    // Bytes that may still be queued before put() blocks (below 0: over).
    std::int64_t freeBytes() const;
    std::size_t spareCount() const;

private:
    struct Entry {
        std::int64_t pending = 0;
        bool failed = false;
        std::string error;
    };

    void run();
    void flush(std::unique_ptr<FileChunk>& chunk, std::string& error); // error: empty on success

    const std::int64_t capacity_;
    const Clock clock_;

    mutable std::mutex mutex_;
    std::map<ActiveCacheObserver*, Entry> observers_;   // guarded by mutex_
    std::int64_t free_;                                  // guarded by mutex_
    bool stopping_ = false;                              // guarded by mutex_
    std::deque<std::unique_ptr<FileChunk>> queue_;       // guarded by mutex_
    std::deque<std::unique_ptr<FileChunk>> spare_;       // guarded by mutex_
    int failedCount_ = 0;                                // guarded by mutex_
    std::int64_t lastActivity_;                          // guarded by mutex_
    std::condition_variable wake_;    // queue_ gained a chunk, or stopping_
    std::condition_variable drained_; // free_ or some pending count went down

    std::thread thread_; // last: starts once the fields above exist
};

} // namespace ravel
