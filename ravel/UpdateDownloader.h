#pragma once

#include "ravel/ImplDetail.h"

#include "ravel/DlEventObserver.h"

#include <Poco/Timestamp.h>

#include <cstdint>
#include <mutex>
#include <string>

namespace Patcher {

class StopState;
class Task;

// Turns the events of one request into task progress and log lines.
// Progress arrives on several segment threads, and from several requests at
// once: the task is touched under taskMutex, so it still sees one writer at a time.
class EventAggregator : public DlEventObserver {
public:
    static constexpr std::int64_t kTimingThreshold = 94371840; // 90 MiB

    EventAggregator(Task* task, std::mutex& taskMutex);

    void onSuccess(int id, const DlRequestInfo& request) override;
    void onProgress(int id, const DlProgress& progress) override;
    void onError(int id, const DlError& error, const DlRequestInfo& request) override;

private:
    Task* const task_; // not owned; may be null
    std::mutex& mutex_;
    Poco::Timestamp start_; // guarded by mutex_
};

// The engine's handle on the download library for one update: creates the
// GDownloader singleton and destroys it (and with it the service) when it goes.
class UpdateDownloader {
public:
    // Throws std::logic_error when a GDownloader exists already, and
    // std::invalid_argument for fewer than one connection.
    UpdateDownloader(StopState* stopState, int connections, const DlServiceOptions& options = DlServiceOptions());
    ~UpdateDownloader();
    UpdateDownloader(const UpdateDownloader&) = delete;
    UpdateDownloader& operator=(const UpdateDownloader&) = delete;

    void setMinSegmentSize(int size);
    // Guards the tasks given to the downloads, which may run on several threads:
    // hold it for any other touch of such a task while downloads run.
    std::mutex& taskMutex() { return taskMutex_; }

    // Returns the size the request's progress carried (0 when none came).
    // A failure rethrows the request's DlError.
    // A failure caused by a stop raises Interrupted with the stop state's name.
    // attempts 0: the library's own number of tries. A resource larger than
    // maxSize (when not negative) fails with ImplDetail::kTooLarge before its
    // body is fetched.
    std::int64_t downloadWhole(const std::string& uri, const std::string& path, Task* task, int attempts = 0,
                               std::int64_t maxSize = -1);
    void downloadRange(const std::string& uri, const std::string& path, std::int64_t offset, std::int64_t size,
                       Task* task);

private:
    StopState* const stopState_; // not owned; may be null
    std::mutex taskMutex_;
};

} // namespace Patcher
