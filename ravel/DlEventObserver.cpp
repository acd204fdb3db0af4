#include "ravel/DlEventObserver.h"

#include <Poco/Logger.h>

namespace ravel {

void ExceptionDelegator::keep(const Poco::Exception& exc, Poco::Logger* logger) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!kept_)
            kept_.reset(exc.clone());
    }
    if (logger)
        logger->error(exc.displayText());
}

void ExceptionDelegator::rethrow() {
    std::shared_ptr<Poco::Exception> kept;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        kept.swap(kept_);
    }
    if (kept)
        kept->rethrow();
}

bool ExceptionDelegator::hasException() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return kept_ != nullptr;
}

} // namespace ravel

// The outcome is recorded before forwarding: a forwarded observer that throws
// must not cost the caller its result.
void DlSpy::onSuccess(int id, const DlRequestInfo& request) {
    lastModified_ = request.lastModified;
    if (forward_)
        forward_->onSuccess(id, request);
}

void DlSpy::onProgress(int id, const DlProgress& progress) {
    total_ = progress.total;
    if (forward_)
        forward_->onProgress(id, progress);
}

void DlSpy::onError(int id, const DlError& error, const DlRequestInfo& request) {
    keep(error);
    if (forward_)
        forward_->onError(id, error, request);
}
