#include "engine/UpdateParallelizer.h"

#include "base/CmdHandler.h"
#include "base/Errors.h"

#include <Poco/Logger.h>

#include <deque>
#include <stdexcept>
#include <thread>
#include <vector>

namespace Patcher {
namespace {

// How long the downloader waits for the next item before it looks at the
// downloads running beside it.
constexpr std::int64_t kPollMicroseconds = 1000;
// Fetches that may have ended ahead of a slow one before the downloader waits
// for it: a bound on what the pipeline holds, far above what keeps four busy.
constexpr std::size_t kWindowLimit = 64;

} // namespace

// One download running on a helper thread.
struct UpdateParallelizer::Fetch {
    explicit Fetch(std::shared_ptr<Wrap> w) : wrap(std::move(w)) {}
    std::shared_ptr<Wrap> wrap;
    std::exception_ptr failure; // set before done
    bool done = false;          // guarded by the crew's mutex
};

// The downloader's helper threads; they live no longer than the downloader
// thread's body, which waits for every fetch it started.
class UpdateParallelizer::FetchCrew {
public:
    explicit FetchCrew(std::size_t threads) {
        for (std::size_t i = 0; i < threads; ++i)
            threads_.emplace_back([this] { run(); });
    }
    ~FetchCrew() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closing_ = true;
        }
        jobsChanged_.notify_all();
        for (std::thread& t : threads_)
            t.join();
    }
    FetchCrew(const FetchCrew&) = delete;
    FetchCrew& operator=(const FetchCrew&) = delete;

    std::shared_ptr<Fetch> start(std::shared_ptr<Wrap> wrap) {
        auto fetch = std::make_shared<Fetch>(std::move(wrap));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back(fetch);
            ++started_;
        }
        jobsChanged_.notify_one();
        return fetch;
    }
    bool ended(Fetch& fetch) {
        std::lock_guard<std::mutex> lock(mutex_);
        return fetch.done;
    }
    // Returns the fetch's failure, if any, once it has ended.
    std::exception_ptr wait(Fetch& fetch) {
        std::unique_lock<std::mutex> lock(mutex_);
        fetchEnded_.wait(lock, [&] { return fetch.done; });
        return fetch.failure;
    }
    std::size_t running() {
        std::lock_guard<std::mutex> lock(mutex_);
        return started_ - ended_;
    }
    bool anyFailed() {
        std::lock_guard<std::mutex> lock(mutex_);
        return anyFailed_;
    }
    // Blocks until more than seen fetches have ended; returns how many have.
    std::size_t waitForEnd(std::size_t seen) {
        std::unique_lock<std::mutex> lock(mutex_);
        fetchEnded_.wait(lock, [&] { return ended_ > seen; });
        return ended_;
    }

private:
    void run() {
        for (;;) {
            std::shared_ptr<Fetch> fetch;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                jobsChanged_.wait(lock, [&] { return closing_ || !jobs_.empty(); });
                if (jobs_.empty())
                    return;
                fetch = jobs_.front();
                jobs_.pop_front();
            }
            std::exception_ptr failure;
            try {
                fetch->wrap->download();
            } catch (...) {
                failure = std::current_exception();
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                anyFailed_ = anyFailed_ || failure != nullptr;
                // The downloader holds the fetch until it has seen it end, so
                // letting go here, before the end is told, leaves the last
                // reference (wrap, failure and all) to the thread that reads them.
                fetch->failure = std::move(failure);
                fetch->done = true;
                ++ended_;
                fetch.reset();
            }
            fetchEnded_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable jobsChanged_;
    std::condition_variable fetchEnded_;
    std::deque<std::shared_ptr<Fetch>> jobs_; // guarded by mutex_
    bool closing_ = false;                    // guarded by mutex_
    std::size_t started_ = 0;                 // guarded by mutex_
    std::size_t ended_ = 0;                   // guarded by mutex_
    bool anyFailed_ = false;                  // guarded by mutex_
    std::vector<std::thread> threads_;
};

UpdateParallelizer::UpdateParallelizer(StopState& stopState, std::int64_t aheadLimit)
    : logger_(Poco::Logger::get("UpdPrlzr")), stopState_(stopState), aheadLimit_(aheadLimit) {}

UpdateParallelizer::~UpdateParallelizer() {
    try {
        finish();
    } catch (...) {
    }
}

void UpdateParallelizer::push(std::shared_ptr<Wrap> wrap) {
    {
        std::unique_lock<std::mutex> lock(aheadMutex_);
        queuedChanged_.wait(lock, [this] { return queued_ < kQueued || handlerEnded_; });
        if (handlerEnded_)
            return; // the batch has failed: finish() would drop it unhandled
        ++queued_;
    }
    downloadQueue_.enqueue(std::move(wrap));
    if (!downloaderRunnable_) {
        downloaderRunnable_ = std::make_unique<Runnable>(*this, &UpdateParallelizer::downloaderThread);
        handlerRunnable_ = std::make_unique<Runnable>(*this, &UpdateParallelizer::handlerThread);
        downloader_.start(*downloaderRunnable_);
        handler_.start(*handlerRunnable_);
    }
}

void UpdateParallelizer::finish() {
    if (downloaderRunnable_) {
        downloadQueue_.enqueue(std::make_shared<StopWrap>());
        downloader_.join();
        handler_.join();
        downloaderRunnable_.reset();
        handlerRunnable_.reset();
    }
    std::shared_ptr<Wrap> dropped;
    while (downloadQueue_.try_dequeue(dropped)) {
    }
    while (handleQueue_.try_dequeue(dropped)) {
    }
    std::lock_guard<std::mutex> lock(aheadMutex_);
    ahead_ = 0;
    queued_ = 0;
    handlerEnded_ = false;
}

void UpdateParallelizer::waitForRoom(std::int64_t bytes) {
    std::unique_lock<std::mutex> lock(aheadMutex_);
    const auto fits = [&] { return handlerEnded_ || ahead_ == 0 || ahead_ + bytes <= aheadLimit_; };
    if (!fits()) {
        if (logger_.debug())
            logger_.debug("Downloader waits for the handler: " + std::to_string(ahead_) + " bytes ahead");
        aheadChanged_.wait(lock, fits);
    }
    if (handlerEnded_) {
        lock.unlock();
        stopState_.check();
        throw Interrupted("the handler has ended", kInterruptedCode);
    }
    ahead_ += bytes;
}

bool UpdateParallelizer::tryReserve(std::int64_t bytes) {
    std::lock_guard<std::mutex> lock(aheadMutex_);
    if (ahead_ != 0 && ahead_ + bytes > aheadLimit_)
        return false;
    ahead_ += bytes;
    return true;
}

void UpdateParallelizer::release(std::int64_t bytes) {
    {
        std::lock_guard<std::mutex> lock(aheadMutex_);
        ahead_ -= bytes;
    }
    aheadChanged_.notify_one();
}

void UpdateParallelizer::downloaderThread() {
    logger_.information("Downloader thread started");
    std::unique_ptr<FetchCrew> crew;
    // Fetches started beside one another, in push order; those that have ended
    // wait here for the ones before them, so the handler still sees push order
    // while a slow one holds no connection of the others.
    std::deque<std::shared_ptr<Fetch>> window;
    std::size_t seenEnds = 0;
    bool heldBack = false;
    // Hands the oldest fetch to the handler, or raises its failure.
    const auto passOldest = [&] {
        std::shared_ptr<Fetch> oldest = window.front();
        window.pop_front();
        if (std::exception_ptr failure = crew->wait(*oldest))
            std::rethrow_exception(failure);
        handleQueue_.enqueue(oldest->wrap);
    };
    try {
        std::shared_ptr<Wrap> next;
        for (;;) {
            while (!window.empty() && crew->ended(*window.front()))
                passOldest();
            if (!next) {
                if (window.empty())
                    downloadQueue_.wait_dequeue(next);
                else if (!downloadQueue_.wait_dequeue_timed(next, kPollMicroseconds))
                    continue; // nothing new yet: pass on what has ended meanwhile
            }
            const bool alongside = next->downloadsAlongside();
            if (!window.empty()) {
                // A failure beside ends the batch in its turn: nothing started
                // now would ever be handled.
                if (!heldBack && crew->anyFailed()) {
                    heldBack = true;
                    logger_.debug("Downloader holds back: a download beside it failed");
                }
                if (!alongside || heldBack || crew->running() >= kInFlight || window.size() >= kWindowLimit ||
                    !tryReserve(next->aheadBytes())) {
                    seenEnds = crew->waitForEnd(seenEnds);
                    continue;
                }
            } else {
                waitForRoom(next->aheadBytes());
            }
            if (alongside) {
                if (!crew)
                    crew = std::make_unique<FetchCrew>(kInFlight);
                window.push_back(crew->start(std::move(next)));
            } else {
                next->download();
                handleQueue_.enqueue(std::move(next));
            }
            next.reset();
        }
    } catch (const StopException&) {
        logger_.error("Downloader thread stopped");
    } catch (const Poco::Exception& e) {
        logger_.error("Downloader thread exception: " + e.displayText());
        exceptions_.keep(e, &logger_);
    } catch (const std::exception& e) {
        logger_.error(std::string("Downloader thread exception: ") + e.what());
        exceptions_.keep(e, &logger_);
    } catch (...) {
        exceptions_.keepUnknown("Patcher::UpdateParallelizer::downloaderThread");
    }
    // Fetches still running are waited for and dropped.
    for (const std::shared_ptr<Fetch>& fetch : window)
        crew->wait(*fetch);
    crew.reset();
    // The handler finishes what was already passed to it, then ends.
    handleQueue_.enqueue(std::make_shared<StopWrap>());
    logger_.information("Downloader thread ended");
}

void UpdateParallelizer::handlerThread() {
    logger_.information("Handler thread started");
    bool normal = false;
    try {
        for (;;) {
            std::shared_ptr<Wrap> wrap;
            handleQueue_.wait_dequeue(wrap);
            wrap->handle();
            release(wrap->aheadBytes());
            {
                std::lock_guard<std::mutex> lock(aheadMutex_);
                --queued_;
            }
            queuedChanged_.notify_one();
        }
    } catch (const StopException&) {
        logger_.information("Handler thread stopped");
        normal = true;
    } catch (const Poco::Exception& e) {
        exceptions_.keep(e, &logger_);
    } catch (const std::exception& e) {
        exceptions_.keep(e, &logger_);
    } catch (...) {
        exceptions_.keepUnknown("Patcher::UpdateParallelizer::handlerThread");
    }
    if (!normal) {
        logger_.warning("Immidiately stop the downloader due to handler thread termination.");
        stopState_.stop();
    }
    {
        std::lock_guard<std::mutex> lock(aheadMutex_);
        handlerEnded_ = true;
    }
    aheadChanged_.notify_one();
    queuedChanged_.notify_one();
    logger_.information("Handler thread ended");
}

} // namespace Patcher
