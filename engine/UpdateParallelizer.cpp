#include "engine/UpdateParallelizer.h"

#include "base/CmdHandler.h"

#include <Poco/Logger.h>

#include <stdexcept>

namespace Patcher {

UpdateParallelizer::UpdateParallelizer(StopState& stopState)
    : logger_(Poco::Logger::get("UpdPrlzr")), stopState_(stopState) {}

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
}

void UpdateParallelizer::downloaderThread() {
    logger_.information("Downloader thread started");
    try {
        for (;;) {
            std::shared_ptr<Wrap> wrap;
            downloadQueue_.wait_dequeue(wrap);
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
    logger_.information("Handler thread ended");
}

} // namespace Patcher
