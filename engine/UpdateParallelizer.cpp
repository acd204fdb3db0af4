#include "engine/UpdateParallelizer.h"

#include "app/CmdHandler.h"

#include <Poco/Logger.h>

#include <stdexcept>

namespace Patcher {
namespace {

// The queues have no blocking pop: an idle consumer polls at this pace.
constexpr long kIdleSleepMs = 10;

} // namespace

void ExceptionDelegator::keep(const Poco::Exception& e, Poco::Logger* logger) {
    Poco::FastMutex::ScopedLock lock(mutex_);
    if (!stored_) {
        // clone() keeps the dynamic type: rethrow() raises SHA1CheckError as such.
        std::shared_ptr<Poco::Exception> copy(e.clone());
        try {
            copy->rethrow();
        } catch (...) {
            stored_ = std::current_exception();
        }
    }
    if (logger && logger->error())
        logger->error(e.displayText());
}

void ExceptionDelegator::keep(const std::exception& e, Poco::Logger* logger) {
    if (auto* poco = dynamic_cast<const Poco::Exception*>(&e)) {
        keep(*poco, logger);
        return;
    }
    Poco::FastMutex::ScopedLock lock(mutex_);
    if (!stored_)
        stored_ = std::make_exception_ptr(std::runtime_error(e.what()));
    if (logger && logger->error())
        logger->error(e.what());
}

void ExceptionDelegator::keepUnknown(const std::string& context) {
    Poco::FastMutex::ScopedLock lock(mutex_);
    if (!stored_)
        stored_ = std::make_exception_ptr(std::runtime_error("unknown exception at: " + context));
}

bool ExceptionDelegator::hasException() const {
    Poco::FastMutex::ScopedLock lock(mutex_);
    return static_cast<bool>(stored_);
}

void ExceptionDelegator::rethrow() {
    std::exception_ptr e;
    {
        Poco::FastMutex::ScopedLock lock(mutex_);
        std::swap(e, stored_);
    }
    if (e)
        std::rethrow_exception(e);
}

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
            if (downloadQueue_.try_dequeue(wrap)) {
                wrap->download();
                handleQueue_.enqueue(std::move(wrap));
            } else {
                Poco::Thread::sleep(kIdleSleepMs);
            }
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
            if (handleQueue_.try_dequeue(wrap))
                wrap->handle();
            else
                Poco::Thread::sleep(kIdleSleepMs);
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
