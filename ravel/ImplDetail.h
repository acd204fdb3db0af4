#pragma once

#include "ravel/DlEventObserver.h"
#include "ravel/Downloader.h"
#include "ravel/Failure.h"
#include "ravel/HTTPSession.h"
#include "ravel/SessionPool.h"

#include <Poco/Event.h>
#include <Poco/Logger.h>
#include <Poco/Timespan.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace Patcher {
class StopState;
}

namespace ravel {
class FileActiveCache;
}

class ImplDetail;

// How requests are split into segments; copied into every request.
struct DlSettings {
    std::int32_t connectionsPerFile = 4; // at most this many segments per file; at least 1
    std::int32_t minSegmentSize = 4096;  // no segment shorter than this, except the last
    std::int32_t attempts = 10;          // tries of a request before it fails for good
    std::int64_t maxSize = -1;           // a whole resource said to be larger fails (kTooLarge); -1: any

    // std::invalid_argument "Connection count should be greater then 0" below 1,
    // leaving the old value.
    void setConnectionsPerFile(std::int32_t count) {
        if (count < 1)
            throw std::invalid_argument("Connection count should be greater then 0");
        connectionsPerFile = count;
    }
};

// A request of the service. Held by shared pointers; its destructor reports
// the outcome to the observer exactly once, on the thread that lets go last.
class DlRequest : public DlRequestInfo {
public:
    static constexpr int kAttempts = 10;

    DlRequest(ImplDetail* owner, int id, const std::string& uri, const std::string& path, std::int64_t offset,
              std::int64_t size, DlEventObserver* observer, const DlSettings& settings, bool waitable);
    ~DlRequest();
    DlRequest(const DlRequest&) = delete;
    DlRequest& operator=(const DlRequest&) = delete;

    DlEventObserver* const observer; // not owned; may be null
    const DlSettings settings;
    std::shared_ptr<ravel::Downloader> downloader; // set at the first start, kept across retries
    const int id;
    std::atomic<int> attemptsLeft;
    ImplDetail* const owner;
    // Written by the activity thread, or under the owner's mutex while the
    // request is active.
    std::string errorMessage;
    int errorCode = 0;
    bool hasError = false;
    const bool waitable;
    // Written by the activity thread, or under the owner's mutex while active.
    bool permanent = false;         // the recorded failure cannot be helped by asking again
    std::int64_t retryAfterMs = -1; // the server's Retry-After with the recorded failure
    bool followRedirect = false;    // a range answered by a redirect: resolve it before the next attempt
    std::chrono::steady_clock::time_point firstFailure{};
    std::chrono::steady_clock::time_point due{}; // when a waiting retry may start
};

// What tests and tools may tune in the download service; the defaults are the
// service's own.
struct DlServiceOptions {
    Poco::Timespan timeout{20, 0};                           // connect and receive timeout of a connection
    std::int64_t cacheCapacity = 104857600;                  // write cache, bytes
    std::int64_t idleLimit = ravel::SessionPool::kIdleLimit; // seconds a pooled connection may idle
    ravel::SessionPool::Clock clock;                         // the pool's clock; system time when empty
    ravel::RetryPolicy retry;                                // pauses between attempts, bound on retrying
    ravel::LowSpeed lowSpeed{1024, Poco::Timespan(30, 0)}; // slower transfers are dropped
};

// The download service: a queue of requests, one activity that starts at
// most four at a time, retries, the shared connection pool and write cache.
class ImplDetail : public ravel::DownloaderObserver {
public:
    enum Code {
        kGenericError = 70000,
        kShutdown = 70001,
        kAbandoned = 70002,
        kAttemptsExceeded = 70003,
        kTooLarge = 70004
    };
    static constexpr std::size_t kMaxActive = 4;
    static constexpr const char* kUserAgent = "Vantorel quillet Service/1.0";
    static constexpr std::int64_t kReadBufferSize = 0x80000;
    static constexpr std::size_t kMaxRedirects = 5;

    using Options = DlServiceOptions;

    // The text of a service error code ("Downloader generic error", ...).
    static const std::string& errorText(int code);

    explicit ImplDetail(Patcher::StopState* stopState = nullptr, const Options& options = Options());
    // Shuts down (every request still queued or running fails with 70001),
    // then waits until every request has ended and every caller of download()
    // and downloadIfModified() has returned.
    ~ImplDetail() override;
    ImplDetail(const ImplDetail&) = delete;
    ImplDetail& operator=(const ImplDetail&) = delete;

    // Synchronous: queue the request and return once it has ended. The outcome
    // reaches the observer.
    void download(const std::string& uri, const std::string& path, std::int64_t offset, std::int64_t size, int id,
                  DlEventObserver* observer, const DlSettings& settings);
    void downloadIfModified(const std::string& uri, const std::string& path, const std::string& lastModified, int id,
                            DlEventObserver* observer, const DlSettings& settings);

    // Stops the activity and fails what is left with 70001; later requests fail
    // at once. Idempotent; waits for the activity to end.
    void shutdown();
    void setStopState(Patcher::StopState* stopState) { stopState_ = stopState; }

    // DownloaderObserver: segment threads.
    void onData(ravel::Downloader& downloader, const ravel::BlockNotification& block) override;
    void onError(ravel::Downloader& downloader, const std::string& message, int code) override;
    void onFailure(ravel::Downloader& downloader, const ravel::Failure& failure) override;

    // Called by an ending request.
    void requestEnded(int id, bool waitable);
    int liveRequests() const { return live_; }
    const std::shared_ptr<ravel::SessionPool>& pool() const { return pool_; }

private:
    friend class DlRequest;
    class CallerScope;
    using RequestPtr = std::shared_ptr<DlRequest>;

    void addRequest(const RequestPtr& request);
    void setError(DlRequest& request, const std::string& message, int code, bool override = true);
    void setFailure(DlRequest& request, const ravel::Failure& failure);
    void backgroundActivity();
    bool handleRequest();
    void startRequest(DlRequest& request);
    void obtainHeaders(const Poco::URI& uri, std::string& lastModified, std::int64_t& length, std::string& location);
    // Follows the redirects of uri by header requests, at most kMaxRedirects
    // hops; a loop or a longer chain throws a RedirectException naming it.
    Poco::URI resolve(Poco::URI uri, std::string& lastModified, std::int64_t& length);
    void processRetries();
    // Puts a failed request into its pause before the next attempt, or ends it
    // when retrying would outlast the policy's bound.
    void scheduleRetry(const RequestPtr& request);
    // Queues the waiting retries that are due (all of them once stopped);
    // returns the milliseconds until the next one, -1 when none waits.
    long promoteDue();
    double jitter();
    void sweep();
    void waitForRequest(int id);

    Poco::Logger& log_;
    std::atomic<int> live_{0};
    std::shared_ptr<ravel::SessionPool> pool_;                  // constant after construction
    std::shared_ptr<ravel::PooledSessionFactory> factory_;      // constant after construction
    std::unique_ptr<ravel::FileActiveCache> cache_;             // has its own lock
    std::atomic<Patcher::StopState*> stopState_;                // not owned; may be null; outlives this
    const ravel::RetryPolicy retryPolicy_;
    std::mt19937 random_{std::random_device{}()};              // activity thread only

    std::mutex mutex_;
    std::set<int> finished_;                                    // guarded by mutex_
    std::map<ravel::Downloader*, RequestPtr> active_;           // guarded by mutex_
    std::deque<RequestPtr> pending_;                            // guarded by mutex_
    std::deque<RequestPtr> retry_;                              // guarded by mutex_
    std::vector<RequestPtr> waiting_;                           // guarded by mutex_: retries in their pause
    bool shutdown_ = false;                                     // guarded by mutex_
    int callers_ = 0;                                           // guarded by mutex_: inside download()
    std::condition_variable done_;                              // finished_ gained an id, live_ or callers_ fell

    Poco::Event work_{Poco::Event::EVENT_AUTORESET};            // wakes the activity
    std::atomic<bool> stopRequested_{false};                    // asks the activity to leave its loop
    std::mutex threadMutex_;                                    // serialises joining the activity
    // Last: runs over the fields above. A joined thread rather than an
    // activity object, whose wait may return while its thread still signals.
    std::thread activity_;
};
