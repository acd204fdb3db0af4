#pragma once

#include "ravel/Failure.h"
#include "ravel/Session.h"

#include <Poco/URI.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ravel {

class Downloader;
class Writer;

// One block received by a segment.
struct BlockNotification {
    std::string uri;
    std::int64_t filePosition = 0;    // in the resource
    std::int64_t requestPosition = 0; // in the request, which is the position in the destination
    std::int64_t count = 0;
};

// Receives a downloader's reports, on its segment threads.
class DownloaderObserver {
public:
    virtual ~DownloaderObserver() = default;
    // A block was written. May throw to stop the segment, or block to pause it.
    virtual void onData(Downloader& downloader, const BlockNotification& block) = 0;
    // Called around the handling of each block.
    virtual void onBlockBegin(Downloader& /*downloader*/) {}
    virtual void onBlockEnd(Downloader& /*downloader*/) {}
    // A segment failed.
    virtual void onError(Downloader& downloader, const std::string& message, int code) = 0;
    // A segment failed, with what the failure means for a retry.
    virtual void onFailure(Downloader& downloader, const Failure& failure) {
        onError(downloader, failure.message, failure.code);
    }
};

// A contiguous byte range of a request, fetched by its own thread over its own
// pooled connection.
class Segment {
public:
    enum State { Running = 1, AbortRequested = 2, Idle = 3 };

    Segment(const Poco::URI& uri, std::int64_t fileOffset, std::int64_t relOffset, std::int64_t length,
            std::shared_ptr<Session> session);
    ~Segment(); // joins the thread
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;

    // When idle, fetches the bytes after done on a new thread; the previous
    // thread must have ended. Throws std::system_error when no thread can be
    // made (the segment stays idle).
    void start(Downloader& downloader);
    // Asks a running segment to stop at its next block; false when not running.
    bool abort();
    // Waits for the thread; returns whether the segment is not idle.
    bool join();

    int state() const { return state_; }
    std::int64_t fileOffset() const { return fileOffset_; }
    std::int64_t relOffset() const { return relOffset_; }
    std::int64_t length() const { return length_; }
    std::int64_t done() const { return done_; }
    void setDone(std::int64_t done) { done_ = done; }
    const std::shared_ptr<Session>& session() const { return session_; }

private:
    void run(Downloader& downloader);
    void onBlock(Downloader& downloader, const std::string& sessionName, const char* data, std::int64_t count);
    void closeSession();

    const Poco::URI uri_;
    const std::string uriText_;
    const std::int64_t fileOffset_;
    const std::int64_t relOffset_;
    const std::int64_t length_;
    std::atomic<std::int64_t> done_{0}; // advanced by the segment's thread
    const std::shared_ptr<Session> session_; // used by the segment's thread while it runs

    std::mutex mutex_;
    std::thread thread_;              // guarded by mutex_
    std::atomic<int> state_{Idle};    // changed under mutex_, except by run() itself
};

// A running request: one writer and its segments. Segments write concurrently
// at their positions, serialised here.
class Downloader {
public:
    Downloader(DownloaderObserver* observer, std::shared_ptr<Writer> writer);
    ~Downloader(); // joins the segment threads
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Appends a segment, resuming it after the bytes the writer's record
    // already holds at its start.
    void addSegment(const std::shared_ptr<Segment>& segment);
    void start();
    void abortAll();
    void joinAll();

    // Segment threads. write() hands a block to the writer; advance() counts it
    // once the observer has taken it (a refused block is fetched again).
    void write(const char* data, std::int64_t count, std::int64_t position);
    void advance(std::int64_t count) { done_ += count; }
    void notify(const BlockNotification& block);
    void fail(const std::string& message, int code);
    void fail(const Failure& failure);
    void beginBlock();
    void endBlock();

    std::int64_t total() const;
    // Bytes the segments hold: resumed ones and blocks the observer took.
    std::int64_t done() const { return done_; }
    bool isComplete() const { return done() >= total(); }
    const std::shared_ptr<Writer>& writer() const { return writer_; }
    std::vector<std::shared_ptr<Segment>> segments() const;

private:
    DownloaderObserver* const observer_;     // not owned; outlives this
    const std::shared_ptr<Writer> writer_;

    mutable std::mutex listMutex_;
    std::vector<std::shared_ptr<Segment>> segments_; // guarded by listMutex_
    std::int64_t total_ = 0;                          // guarded by listMutex_

    std::mutex writeMutex_;            // serialises writer_->write
    std::atomic<std::int64_t> done_{0};
};

// Collects what a downloader is made of, then builds it.
class DownloaderBuilder {
public:
    DownloaderBuilder& sessionFactory(std::shared_ptr<SessionFactory> factory);
    DownloaderBuilder& uri(const Poco::URI& uri);
    DownloaderBuilder& observer(DownloaderObserver* observer);
    DownloaderBuilder& writer(std::shared_ptr<Writer> writer);
    // A segment over [fileOffset, fileOffset + length) of the resource, stored at
    // relOffset of the destination, with an unconnected session of the factory.
    // Throws ravelException "Unsupported protocol: ..." for a URL it cannot fetch.
    DownloaderBuilder& addSegment(std::int64_t fileOffset, std::int64_t relOffset, std::int64_t length);
    std::shared_ptr<Downloader> build();

private:
    std::shared_ptr<SessionFactory> factory_;
    Poco::URI uri_;
    DownloaderObserver* observer_ = nullptr;
    std::shared_ptr<Writer> writer_;
    std::vector<std::shared_ptr<Segment>> segments_;
};

} // namespace ravel
