#pragma once

#include "ravel/ImplDetail.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace Patcher {
class StopState;
}

// The process-wide entry to the download library (held by a Patcher::Singleton).
// Every operation is synchronous: it queues one request with the service,
// created on first use, and returns once the request has ended. A failed
// request throws its DlError. Operations may be called from several threads.
class GDownloader {
public:
    explicit GDownloader(const ImplDetail::Options& options = ImplDetail::Options());
    // Shuts the service down: requests still running fail with 70001.
    ~GDownloader();
    GDownloader(const GDownloader&) = delete;
    GDownloader& operator=(const GDownloader&) = delete;

    DlSettings& settings() { return settings_; }
    // std::invalid_argument below 1 (the old value stays).
    void setConnections(int count) { settings_.setConnectionsPerFile(count); }
    void setMinSegmentSize(int size) { settings_.minSegmentSize = size; }
    // Polled by every received block; null for none. It must outlive the
    // service: the shutdown wakes the segments waiting in its check().
    void setStopState(Patcher::StopState* stopState);

    // size bytes of the resource from offset into the file at path (size -1:
    // up to the end, length asked from the server first). A null settings uses
    // the object's own.
    void download(const std::string& uri, const std::string& path, std::int64_t offset, std::int64_t size,
                  DlEventObserver* observer = nullptr, const DlSettings* settings = nullptr);
    // The whole resource; returns its size.
    std::int64_t download(const std::string& uri, const std::string& path, DlEventObserver* observer = nullptr,
                          const DlSettings* settings = nullptr);
    // The whole resource unless the server's last-modified value equals
    // lastModified (then nothing is transferred); lastModified receives the
    // server's value.
    void downloadIfModified(const std::string& uri, const std::string& path, std::string& lastModified,
                            DlEventObserver* observer = nullptr, const DlSettings* settings = nullptr);

private:
    std::shared_ptr<ImplDetail> service();

    DlSettings settings_;
    const ImplDetail::Options options_;
    std::atomic<int> requestId_{0};

    std::mutex mutex_;
    std::shared_ptr<ImplDetail> service_;    // guarded by mutex_; null until the first operation
    Patcher::StopState* stopState_ = nullptr; // guarded by mutex_; not owned
};
