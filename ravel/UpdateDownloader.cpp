#include "ravel/UpdateDownloader.h"

#include "base/CmdHandler.h"
#include "base/Errors.h"
#include "base/Singleton.h"
#include "base/Task.h"
#include "ravel/GDownloader.h"

#include <Poco/Logger.h>

namespace Patcher {
namespace {

// Task bookkeeping must never cost a download: a task the estimations skipped
// (total 0) refuses updates, and that is no reason to fail the transfer.
bool takesUpdates(const Task& task) {
    return task.status() != TaskStatus::Skipped && task.status() != TaskStatus::Done;
}

} // namespace

EventAggregator::EventAggregator(Task* task, std::mutex& taskMutex) : task_(task), mutex_(taskMutex) {}

void EventAggregator::onProgress(int, const DlProgress& progress) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!progress.first) {
        if (task_ && takesUpdates(*task_)) {
            try {
                task_->update(progress.chunk, false);
            } catch (const InternalError&) {
            }
        }
        return;
    }
    if (task_ && task_->currentItemTotal() == 0)
        task_->setCurrentItem(task_->currentItem(), progress.total);
    if (task_ && progress.received > 0 && takesUpdates(*task_)) {
        // Bytes resumed from an earlier run count as done, without a report.
        try {
            task_->update(progress.received, false);
        } catch (const InternalError&) {
        }
    }
    start_.update();
}

void EventAggregator::onSuccess(int, const DlRequestInfo& request) {
    if (request.size < 0 || request.size < kTimingThreshold)
        return;
    Poco::Timestamp::TimeDiff elapsed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        elapsed = start_.elapsed();
    }
    Poco::Logger& root = Poco::Logger::root();
    if (root.information())
        root.information(std::to_string(request.size / 1048576) + " MB downloaded in " +
                         std::to_string(elapsed / 1000000) + " seconds. uri: " + request.uri);
}

void EventAggregator::onError(int, const DlError& error, const DlRequestInfo& request) {
    std::string line = "Failed to download file: " + request.path;
    if (request.size >= 0)
        line += " [" + std::to_string(request.offset) + ", " + std::to_string(request.size) + "]";
    line += " from " + request.uri + ", details: " + error.displayText();
    Poco::Logger& root = Poco::Logger::root();
    if (request.uri.compare(0, 5, "https") == 0)
        root.warning(line);
    else
        root.error(line);
}

UpdateDownloader::UpdateDownloader(StopState* stopState, int connections, const DlServiceOptions& options)
    : stopState_(stopState) {
    GDownloader& downloader = Singleton<GDownloader>::create(options);
    try {
        downloader.setConnections(connections);
    } catch (...) {
        Singleton<GDownloader>::destroy();
        throw;
    }
    if (stopState)
        downloader.setStopState(stopState);
    Poco::Logger& root = Poco::Logger::root();
    if (root.information())
        root.information("Connections count per file is: " + std::to_string(connections));
}

UpdateDownloader::~UpdateDownloader() { Singleton<GDownloader>::destroy(); }

void UpdateDownloader::setMinSegmentSize(int size) { Singleton<GDownloader>::instance().setMinSegmentSize(size); }

std::int64_t UpdateDownloader::downloadWhole(const std::string& uri, const std::string& path, Task* task,
                                             int attempts, std::int64_t maxSize) {
    EventAggregator aggregator(task, taskMutex_);
    try {
        GDownloader& downloader = Singleton<GDownloader>::instance();
        DlSettings settings = downloader.settings();
        if (attempts > 0)
            settings.attempts = attempts;
        settings.maxSize = maxSize;
        return downloader.download(uri, path, &aggregator, &settings);
    } catch (const DlError&) {
        // The service ends a stopped request with its own code; the caller
        // must see the stop.
        if (stopState_ && stopState_->isStopped())
            stopState_->check();
        throw;
    }
}

void UpdateDownloader::downloadRange(const std::string& uri, const std::string& path, std::int64_t offset,
                                     std::int64_t size, Task* task) {
    EventAggregator aggregator(task, taskMutex_);
    try {
        Singleton<GDownloader>::instance().download(uri, path, offset, size, &aggregator, nullptr);
    } catch (const DlError&) {
        if (stopState_ && stopState_->isStopped())
            stopState_->check();
        throw;
    }
}

} // namespace Patcher
