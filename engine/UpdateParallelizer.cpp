#include "engine/UpdateParallelizer.h"

#include "base/CmdHandler.h"
#include "base/Errors.h"

#include <Poco/Logger.h>

#include <stdexcept>

namespace Patcher {

UpdateParallelizer::UpdateParallelizer(StopState& stopState, std::int64_t aheadLimit)
    : logger_(Poco::Logger::get("UpdPrlzr")), stopState_(stopState), aheadLimit_(aheadLimit) {}

UpdateParallelizer::~UpdateParallelizer() {
    try {
        finish();
    } catch (...) {
    }
}

void UpdateParallelizer::push(std::shared_ptr<Wrap> wrap) {
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

void UpdateParallelizer::release(std::int64_t bytes) {
    {
        std::lock_guard<std::mutex> lock(aheadMutex_);
        ahead_ -= bytes;
    }
    aheadChanged_.notify_one();
}

void UpdateParallelizer::downloaderThread() {
    logger_.information("Downloader thread started");
    try {
        for (;;) {
            std::shared_ptr<Wrap> wrap;
            downloadQueue_.wait_dequeue(wrap);
            waitForRoom(wrap->aheadBytes());
            wrap->download();
            handleQueue_.enqueue(std::move(wrap));
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
    logger_.information("Handler thread ended");
}

} // namespace Patcher
