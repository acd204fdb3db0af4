#include "ravel/ImplDetail.h"

#include "base/CmdHandler.h"
#include "base/ConsoleOutput.h"
#include "base/Errors.h"
#include "base/Singleton.h"
#include "ravel/AsyncFileWriter.h"
#include "ravel/Exceptions.h"
#include "ravel/FileActiveCache.h"
#include "ravel/HTTPSession.h"
#include "ravel/Metadata.h"

#include <Poco/Format.h>
#include <Poco/URI.h>

#include <algorithm>

namespace {

const std::map<int, std::string>& errorTexts() {
    static const std::map<int, std::string> texts = {
        {ImplDetail::kGenericError, "Downloader generic error"},
        {ImplDetail::kShutdown, "Downloader shut down has been requested"},
        {ImplDetail::kAbandoned, "Abandoned downloader is detected"},
        {ImplDetail::kAttemptsExceeded, "Exceeded the maximum number of download attempts"},
        {ImplDetail::kTooLarge, "The file is larger than the download allows"},
    };
    return texts;
}

std::string requestTarget(const Poco::URI& uri) {
    const std::string target = uri.getPathAndQuery();
    return target.empty() ? std::string("/") : target;
}

} // namespace

// ---- DlRequest

DlRequest::DlRequest(ImplDetail* owner, int id, const std::string& uri, const std::string& path,
                     std::int64_t offset, std::int64_t size, DlEventObserver* observer, const DlSettings& settings,
                     bool waitable)
    : DlRequestInfo{uri, path, std::string(), std::string(), offset, size, size},
      observer(observer),
      settings(settings),
      id(id),
      attemptsLeft(std::max(settings.attempts, 1)),
      owner(owner),
      waitable(waitable) {
    ++owner->live_;
}

DlRequest::~DlRequest() {
    if (downloader) {
        downloader->joinAll();
        // Once the writer is gone every byte handed to it has been stored or
        // dropped after a failure; a record short of the size means the latter.
        std::shared_ptr<ravel::Metadata> metadata = downloader->writer() ? downloader->writer()->metadata() : nullptr;
        downloader.reset();
        if (hasError && metadata && metadata->isComplete()) {
            // Every byte is in the file, though a stop refused the last blocks:
            // without its record the next run would fetch the file again.
            try {
                metadata->keepRecord();
            } catch (const Poco::Exception& e) {
                owner->log_.error("Failed to keep the download record of " + path + ": " + e.displayText());
            }
        } else if (!hasError && metadata && !metadata->isComplete()) {
            hasError = true;
            errorMessage = "Failed to store the downloaded data in " + path;
            errorCode = ImplDetail::kGenericError;
        }
    }
    try {
        if (!hasError || !observer) {
            if (observer)
                observer->onSuccess(id, *this);
        } else {
            observer->onError(id, DlError(errorMessage, errorCode), *this);
        }
    } catch (...) {
        Poco::Logger::root().error("Unknown exception at ~DlRequest");
    }
    owner->requestEnded(id, waitable);
}

// ---- ImplDetail

const std::string& ImplDetail::errorText(int code) { return errorTexts().at(code); }

ImplDetail::ImplDetail(Patcher::StopState* stopState, const Options& options)
    : log_(Poco::Logger::get("ravel.Main")),
      stopState_(stopState),
      retryPolicy_(options.retry) {
    auto sessions = std::make_shared<ravel::HTTPSessionFactory>(
        ravel::BasicHTTPSession::Headers{{"User-Agent", kUserAgent}}, kReadBufferSize, options.timeout,
        options.lowSpeed, [this] {
            // A stopped run must not wait for a silent server's timeout.
            Patcher::StopState* stop = stopState_;
            return stopRequested_ || (stop && stop->isStopped());
        });
    pool_ = std::make_shared<ravel::SessionPool>(sessions, options.idleLimit, options.clock);
    factory_ = std::make_shared<ravel::PooledSessionFactory>(pool_);
    cache_ = std::make_unique<ravel::FileActiveCache>(options.cacheCapacity);
    activity_ = std::thread([this] { backgroundActivity(); });
}

ImplDetail::~ImplDetail() {
    shutdown();
    // A request ends by calling requestEnded() and a caller leaves download()
    // through mutex_: the members must stay until the last of them is done.
    std::unique_lock<std::mutex> lock(mutex_);
    if (live_ != 0 || callers_ != 0)
        log_.warning(Poco::format("Waiting for %d download requests and %d callers to end", static_cast<int>(live_),
                                  callers_));
    done_.wait(lock, [this] { return live_ == 0 && callers_ == 0; });
}

// Counts a caller of download() from entry to return.
class ImplDetail::CallerScope {
public:
    explicit CallerScope(ImplDetail& service) : service_(service) {
        std::lock_guard<std::mutex> lock(service_.mutex_);
        ++service_.callers_;
    }
    ~CallerScope() {
        std::lock_guard<std::mutex> lock(service_.mutex_);
        --service_.callers_;
        service_.done_.notify_all(); // under the lock: the destructor may be waiting
    }
    CallerScope(const CallerScope&) = delete;
    CallerScope& operator=(const CallerScope&) = delete;

private:
    ImplDetail& service_;
};

void ImplDetail::shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
        work_.set();
    }
    if (Patcher::StopState* stop = stopState_)
        stop->wakeWaiters(); // a paused segment would hold the sweep's joins
    std::lock_guard<std::mutex> lock(threadMutex_);
    if (activity_.joinable())
        activity_.join();
}

void ImplDetail::requestEnded(int id, bool waitable) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (waitable)
        finished_.insert(id);
    --live_;
    // Under the lock, and the last touch of the service: once it is released
    // the destructor may go on.
    done_.notify_all();
}

void ImplDetail::download(const std::string& uri, const std::string& path, std::int64_t offset, std::int64_t size,
                          int id, DlEventObserver* observer, const DlSettings& settings) {
    CallerScope caller(*this);
    auto request = std::make_shared<DlRequest>(this, id, uri, path, offset, size, observer, settings, true);
    addRequest(request);
    request.reset();
    waitForRequest(id);
}

void ImplDetail::downloadIfModified(const std::string& uri, const std::string& path, const std::string& lastModified,
                                    int id, DlEventObserver* observer, const DlSettings& settings) {
    CallerScope caller(*this);
    auto request = std::make_shared<DlRequest>(this, id, uri, path, 0, -1, observer, settings, true);
    request->lastModified = lastModified;
    addRequest(request);
    request.reset();
    waitForRequest(id);
}

// Every waitable request ends (the shutdown fails whatever is left), so the
// wait needs no other way out; leaving early would report a request that is
// still running as a success.
void ImplDetail::waitForRequest(int id) {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return finished_.count(id) != 0; });
    finished_.erase(id);
}

void ImplDetail::addRequest(const RequestPtr& request) {
    if (log_.trace())
        log_.trace(Poco::format("Adding request: %s, to queue, retry attempts left: %d", request->uri,
                                static_cast<int>(request->attemptsLeft)));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!shutdown_) {
            pending_.push_back(request);
        } else {
            if (log_.trace())
                log_.trace(Poco::format(
                    "Adding request: %s, stop requested, setting error and not really adding to queue", request->uri));
            setError(*request, errorText(kShutdown), kShutdown);
        }
    }
    work_.set();
}

void ImplDetail::setFailure(DlRequest& request, const ravel::Failure& failure) {
    setError(request, failure.message, failure.code);
    request.permanent = failure.permanent;
    request.retryAfterMs = failure.retryAfterMs;
}

void ImplDetail::setError(DlRequest& request, const std::string& message, int code, bool override) {
    if (request.downloader && request.downloader->isComplete())
        return;
    request.hasError = true;
    if (!override && !request.errorMessage.empty())
        return;
    request.errorMessage = message;
    request.errorCode = code;
}

void ImplDetail::backgroundActivity() {
    try {
        while (!stopRequested_) {
            const long next = promoteDue();
            if (!handleRequest()) {
                if (next < 0)
                    work_.wait();
                else
                    work_.tryWait(next);
            }
            processRetries();
        }
    } catch (...) {
        log_.error("Unknown exception at backgroundActivity");
    }
    try {
        sweep();
        log_.information("Background activity thread successfully returned control");
    } catch (...) {
        log_.error("Unknown exception at backgroundActivity");
    }
}

// Fails everything still queued or running with 70001. The requests end as
// the references taken here go away.
void ImplDetail::sweep() {
    std::map<ravel::Downloader*, RequestPtr> active;
    std::deque<RequestPtr> pending;
    std::deque<RequestPtr> queued;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shutdown_ = true;
        active.swap(active_);
        // Released after unlocking: a request that ends takes this lock.
        pending.swap(pending_);
        for (auto& request : pending)
            setError(*request, errorText(kShutdown), kShutdown);
        // Requests that came back from an attempt after the last processRetries
        // would otherwise stay queued past the service.
        queued.swap(retry_);
        queued.insert(queued.end(), waiting_.begin(), waiting_.end());
        waiting_.clear();
    }
    for (auto& entry : active) {
        entry.second->downloader->abortAll();
        setError(*entry.second, errorText(kShutdown), kShutdown);
    }
    for (auto& request : queued)
        if (request->hasError)
            setError(*request, errorText(kShutdown), kShutdown);
}

bool ImplDetail::handleRequest() {
    RequestPtr request;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (active_.size() >= kMaxActive || pending_.empty())
            return false;
        request = pending_.front();
        pending_.pop_front();
    }
    if (log_.trace())
        log_.trace(Poco::format("Handling download request: %s, retry attempts left: %d", request->uri,
                                static_cast<int>(request->attemptsLeft)));
    bool failed = true;
    try {
        startRequest(*request);
        failed = false;
    } catch (const Poco::Exception& exc) {
        log_.error(Poco::format("Handle download request %s Poco exception: %s", request->uri, exc.displayText()));
        setFailure(*request, ravel::failureOf(exc));
    } catch (const std::exception& exc) {
        log_.error(Poco::format("Handle download request %s exception: %s", request->uri, std::string(exc.what())));
        setFailure(*request, ravel::failureOf(exc));
    } catch (...) {
        log_.error(Poco::format("Handle download request %s unkhown exception", request->uri));
        setError(*request, "unknown exception at handleRequest", 0);
    }
    if (failed) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (request->downloader)
            active_.erase(request->downloader.get());
        --request->attemptsLeft;
        if (log_.trace())
            log_.trace(Poco::format("Request %s download failed, retry attempts left: %d", request->uri,
                                    static_cast<int>(request->attemptsLeft)));
        if (request->downloader)
            request->downloader->abortAll();
        retry_.push_back(request);
        work_.set();
        return true;
    }
    if (request->downloader) {
        if (request->size > 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!active_.emplace(request->downloader.get(), request).second)
                setError(*request, errorText(kAbandoned), kAbandoned);
        }
        try {
            request->downloader->start();
        } catch (const std::exception& exc) {
            onError(*request->downloader, exc.what(), 0);
        }
    }
    return true;
}

void ImplDetail::obtainHeaders(const Poco::URI& uri, std::string& lastModified, std::int64_t& length,
                               std::string& location) {
    std::shared_ptr<ravel::Session> session = factory_->create(ravel::sessionKeyOf(uri));
    session->connect();
    session->obtain_headers(requestTarget(uri), lastModified, length, location);
    session->close();
}

Poco::URI ImplDetail::resolve(Poco::URI uri, std::string& lastModified, std::int64_t& length) {
    std::vector<std::string> chain{uri.toString()};
    auto named = [&chain] {
        std::string text;
        for (const std::string& hop : chain)
            text += (text.empty() ? "" : " -> ") + hop;
        return text;
    };
    for (;;) {
        std::string location;
        lastModified.clear();
        obtainHeaders(uri, lastModified, length, location);
        if (location.empty())
            return uri;
        // A relative location is resolved against the URL that sent it.
        const Poco::URI target(uri, location);
        const bool loop = std::find(chain.begin(), chain.end(), target.toString()) != chain.end();
        chain.push_back(target.toString());
        if (loop)
            throw ravel::RedirectException("Redirect loop", named());
        if (chain.size() > kMaxRedirects + 1)
            throw ravel::RedirectException("Too many redirects", named());
        uri = target;
    }
}

void ImplDetail::startRequest(DlRequest& request) {
    if (request.downloader)
        return;
    Poco::URI uri(request.uri);
    if (request.size < 0) {
        const std::string known = request.lastModified;
        std::string lastModified;
        std::int64_t length = 0;
        const Poco::URI target = resolve(uri, lastModified, length);
        if (target.toString() != uri.toString()) {
            request.redirectUri = target.toString();
            uri = target;
        }
        // Refused by the length the server states, before any body byte: the
        // transfer itself asks for no more than that length.
        if (request.settings.maxSize >= 0 && length > request.settings.maxSize)
            throw ravel::TooLargeException(
                Poco::format("%s (%Ld bytes, at most %Ld)", errorText(kTooLarge), static_cast<Poco::Int64>(length),
                             static_cast<Poco::Int64>(request.settings.maxSize)),
                target.toString(), kTooLarge);
        request.lastModified = lastModified;
        request.size = length;
        if (!known.empty() && known == lastModified)
            return; // not modified: the request ends without a transfer
    } else if (request.followRedirect) {
        request.followRedirect = false;
        std::string lastModified;
        std::int64_t length = 0;
        uri = resolve(uri, lastModified, length);
        request.redirectUri = uri.toString();
    } else if (!request.redirectUri.empty()) {
        uri = Poco::URI(request.redirectUri);
    }

    auto writer = std::make_shared<ravel::AsyncFileWriter>(request.path, request.size, *cache_);
    ravel::DownloaderBuilder builder;
    builder.sessionFactory(factory_).uri(uri).observer(this).writer(writer);
    const std::int64_t connections = std::max<std::int64_t>(request.settings.connectionsPerFile, 1);
    const std::int64_t segment =
        std::max<std::int64_t>((request.size + connections - 1) / connections, request.settings.minSegmentSize);
    for (std::int64_t rel = 0; rel < request.size; rel += segment)
        builder.addSegment(request.offset + rel, rel, std::min(segment, request.size - rel));
    request.downloader = builder.build();
    request.remaining = request.downloader->total() - request.downloader->done();
    if (request.observer) {
        DlProgress progress;
        progress.request = &request;
        progress.received = request.downloader->done();
        progress.total = request.downloader->total();
        progress.chunk = 0;
        progress.first = true;
        request.observer->onProgress(request.id, progress);
    }
}

void ImplDetail::onData(ravel::Downloader& downloader, const ravel::BlockNotification& block) {
    // Polled before taking the lock: a pause holds this segment only, and
    // only until the service shuts down, whose end joins this thread.
    if (Patcher::StopState* stop = stopState_)
        if (!stop->check([this] { return stopRequested_.load(); }))
            throw Patcher::Interrupted(errorText(kShutdown), Patcher::kInterruptedCode);
    DlRequest* request = nullptr;
    std::int64_t remaining = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = active_.find(&downloader);
        if (it == active_.end())
            throw Patcher::Interrupted("Request ended", Patcher::kInterruptedCode);
        // The request cannot end while this segment thread runs: its end joins
        // the segment threads first. So the plain pointer stays valid.
        request = it->second.get();
        request->remaining -= block.count;
        remaining = request->remaining;
    }
    if (request->observer) {
        const std::int64_t total = downloader.total();
        DlProgress progress;
        progress.request = request;
        progress.received = total - remaining;
        progress.total = total;
        progress.chunk = block.count;
        progress.first = false;
        try {
            request->observer->onProgress(request->id, progress);
        } catch (...) {
            // The segment will fetch this block again; count it then.
            std::lock_guard<std::mutex> lock(mutex_);
            request->remaining += block.count;
            throw;
        }
    }
    if (remaining == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = active_.find(&downloader);
        if (it != active_.end()) {
            // Always through retry, so that the request ends on the activity
            // thread and never on one of the segment threads its end joins.
            retry_.push_back(it->second);
            active_.erase(it);
            work_.set();
        }
    }
}

void ImplDetail::onError(ravel::Downloader& downloader, const std::string& message, int code) {
    ravel::Failure failure;
    failure.message = message;
    failure.code = code;
    onFailure(downloader, failure);
}

void ImplDetail::onFailure(ravel::Downloader& downloader, const ravel::Failure& failure) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = active_.find(&downloader);
    if (it == active_.end())
        return;
    DlRequest& request = *it->second;
    --request.attemptsLeft;
    downloader.abortAll();
    setFailure(request, failure);
    if (log_.trace())
        log_.trace(Poco::format("Request %s error: %s, Code: %d, retry attempts left: %d", request.uri,
                                failure.message, failure.code, static_cast<int>(request.attemptsLeft)));
    retry_.push_back(it->second);
    active_.erase(it);
    work_.set();
}

double ImplDetail::jitter() { return std::uniform_real_distribution<double>(0.0, 1.0)(random_); }

void ImplDetail::scheduleRetry(const RequestPtr& request) {
    using namespace std::chrono;
    const steady_clock::time_point now = steady_clock::now();
    const int attempts = std::max(request->settings.attempts, 1);
    const int failures = attempts - request->attemptsLeft;
    if (failures <= 1 || request->firstFailure == steady_clock::time_point())
        request->firstFailure = now;
    if (request->downloader)
        request->downloader->joinAll();
    const bool redirected = request->errorCode >= 300 && request->errorCode < 400 && request->size >= 0;
    std::int64_t delay = retryPolicy_.delayMs(failures, request->retryAfterMs, jitter());
    if (redirected && request->downloader && request->downloader->done() == 0) {
        // A range answered by a redirect: resolve the chain and fetch from its
        // end, at once. Nothing was stored, so the downloader is built afresh.
        request->downloader.reset();
        request->followRedirect = true;
        delay = 0;
    }
    const std::int64_t spent = duration_cast<milliseconds>(now - request->firstFailure).count();
    if (spent + delay > retryPolicy_.retryTimeMs) {
        if (log_.trace())
            log_.trace(Poco::format("Request %s retried for too long", request->uri));
        request->errorMessage +=
            Poco::format(" (no more attempts after %.1f s of retries)", static_cast<double>(spent) / 1000.0);
        return; // ends with its last failure
    }
    // Seen on the console too, through the log or, with logging off, directly:
    // a stalled player should know why.
    const std::string line =
        Poco::format("retrying (%d of %d): %s, %s", failures + 1, attempts, request->errorMessage, request->uri);
    if (log_.warning())
        log_.warning(line);
    else if (Patcher::Singleton<Patcher::ConsoleOutput>::exists())
        Patcher::Singleton<Patcher::ConsoleOutput>::instance().print(line + "\r\n");
    request->due = now + milliseconds(delay);
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_.push_back(request);
}

long ImplDetail::promoteDue() {
    using namespace std::chrono;
    std::vector<RequestPtr> due;
    long next = -1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (waiting_.empty())
            return -1;
        Patcher::StopState* state = stopState_;
        const bool stop = shutdown_ || (state && state->isStopped());
        const steady_clock::time_point now = steady_clock::now();
        if (stop)
            next = 0; // processRetries must run at once
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            if (stop) {
                retry_.push_back(*it); // processRetries ends it with 70001
                it = waiting_.erase(it);
            } else if ((*it)->due <= now) {
                due.push_back(*it);
                it = waiting_.erase(it);
            } else {
                const long left = static_cast<long>(duration_cast<milliseconds>((*it)->due - now).count()) + 1;
                next = next < 0 ? left : std::min(next, left);
                ++it;
            }
        }
    }
    for (const RequestPtr& request : due) {
        if (log_.trace())
            log_.trace(Poco::format("Request %s will retry, attempts left: %d", request->uri,
                                    static_cast<int>(request->attemptsLeft)));
        request->hasError = false;
        addRequest(request);
    }
    // Waiting requests must notice a stop soon, and nothing signals one.
    return next < 0 ? (due.empty() ? -1 : 0) : std::min(next, 100L);
}

void ImplDetail::processRetries() {
    bool stop = false;
    bool hadRetries = false;
    std::deque<RequestPtr> local;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Patcher::StopState* state = stopState_;
        stop = shutdown_ || (state && state->isStopped());
        hadRetries = !retry_.empty();
        local.swap(retry_);
    }
    for (auto& request : local) {
        if (!request->hasError) {
            if (log_.trace())
                log_.trace(Poco::format("Request %s has no error, so it finished, no retries will made", request->uri));
        } else if (stop) {
            if (log_.trace())
                log_.trace(Poco::format("Request %s stop required, no retries will made", request->uri));
            setError(*request, errorText(kShutdown), kShutdown);
        } else if (request->attemptsLeft < 1) {
            if (log_.trace())
                log_.trace(Poco::format("Request %s max attempts exceeded", request->uri));
            setError(*request, errorText(kAttemptsExceeded), kAttemptsExceeded, false);
        } else if (request->permanent) {
            if (log_.trace())
                log_.trace(Poco::format("Request %s failed for good, no retries will made", request->uri));
        } else {
            scheduleRetry(request);
        }
        request.reset(); // ends the request unless it was queued again
    }
    if (hadRetries)
        work_.set();
}
