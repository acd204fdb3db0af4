#include "base/ExceptionDelegator.h"

#include <Poco/Logger.h>

#include <memory>
#include <stdexcept>

namespace Patcher {

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

} // namespace Patcher
