#pragma once

#include "base/ExceptionDelegator.h"

#include <Poco/Exception.h>
#include <Poco/RunnableAdapter.h>
#include <Poco/Thread.h>

#include <concurrentqueue/blockingconcurrentqueue.h>

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

namespace Poco {
class Logger;
}

namespace Patcher {

class StopState;

// One piece of work in the pipeline: download() runs on the downloader thread,
// then handle() on the handler thread.
class Wrap {
public:
    virtual ~Wrap() = default;
    virtual bool isNeeded() = 0;
    virtual void download() = 0;
    virtual void handle() = 0;
    // Bytes the download leaves in the temporary folder until handle() ends.
    virtual std::int64_t aheadBytes() const { return 0; }
    // Whether download() may run beside the downloads of neighbouring items
    // (a short request whose round trip would otherwise dominate).
    virtual bool downloadsAlongside() const { return false; }
};

// Raised by the end marker to end a worker loop; never leaves the pipeline.
class StopException {};

// The end marker of a batch.
class StopWrap : public Wrap {
public:
    bool isNeeded() override { return true; }
    void download() override { throw StopException(); }
    void handle() override { throw StopException(); }
};

// Overlaps downloading with local work: a downloader thread runs download() of
// each pushed wrap in push order and passes it to a handler thread, which runs
// handle() in the same order. Push and finish from one thread (the engine's).
// A failing handle() stops the run through the stop state. Up to kInFlight
// wraps that download alongside run at once on helper threads of the
// downloader, the next starting as soon as any ends; they still reach the
// handler in push order. The downloader
// waits rather than run more than aheadLimit bytes of pieces ahead of the
// handler (one item alone may exceed it), so the temporary folder stays small.
class UpdateParallelizer {
public:
    static constexpr std::int64_t kAheadLimit = 512LL << 20;
    // As many requests as the download service runs at once.
    static constexpr std::size_t kInFlight = 4;
    // Wraps pushed and not yet handled: push() waits beyond it, so a batch of
    // a million entries is not held in the queue at once.
    static constexpr std::size_t kQueued = 1024;

    explicit UpdateParallelizer(StopState& stopState, std::int64_t aheadLimit = kAheadLimit);
    // Finishes a running batch.
    ~UpdateParallelizer();
    UpdateParallelizer(const UpdateParallelizer&) = delete;
    UpdateParallelizer& operator=(const UpdateParallelizer&) = delete;

    // Queues a wrap; the first push of a batch starts the two threads. Waits
    // while kQueued wraps are queued and the handler runs.
    void push(std::shared_ptr<Wrap> wrap);
    // Ends the batch: the end marker goes through both threads, which are
    // joined; whatever is left queued is dropped. The first failure stays in
    // exceptions() for the caller to raise.
    void finish();
    ExceptionDelegator& exceptions() { return exceptions_; }

    void downloaderThread();
    void handlerThread();

private:
    class FetchCrew;
    struct Fetch;

    // Downloader: blocks until bytes more fit the look-ahead; raises
    // Interrupted when the handler has ended meanwhile.
    void waitForRoom(std::int64_t bytes);
    // Downloader: reserves bytes when they fit at once.
    bool tryReserve(std::int64_t bytes);
    void release(std::int64_t bytes);

    // One producer each, so items come out in push order; an idle consumer
    // sleeps in wait_dequeue until the next item.
    using Queue = moodycamel::BlockingConcurrentQueue<std::shared_ptr<Wrap>>;

    Poco::Logger& logger_;
    ExceptionDelegator exceptions_;
    Queue downloadQueue_; // producer: the caller, consumer: the downloader
    Queue handleQueue_;   // producer: the downloader, consumer: the handler
    using Runnable = Poco::RunnableAdapter<UpdateParallelizer>;
    // The caller's thread only. The runnables exist from a batch's first push to
    // its finish(); the threads are joined before the runnables go.
    std::unique_ptr<Runnable> downloaderRunnable_;
    std::unique_ptr<Runnable> handlerRunnable_;
    Poco::Thread downloader_{"Downloader"};
    Poco::Thread handler_{"Handler"};
    StopState& stopState_;
    const std::int64_t aheadLimit_;

    std::mutex aheadMutex_;
    std::condition_variable aheadChanged_;
    std::int64_t ahead_ = 0;    // guarded by aheadMutex_: downloaded or downloading, not yet handled
    bool handlerEnded_ = false; // guarded by aheadMutex_
    std::size_t queued_ = 0;    // guarded by aheadMutex_: pushed, not yet handled
    std::condition_variable queuedChanged_;
};

} // namespace Patcher
