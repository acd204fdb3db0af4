#pragma once

#include <Poco/Exception.h>
#include <Poco/Mutex.h>

#include <exception>
#include <string>

namespace Poco {
class Logger;
}

namespace Patcher {

// Keeps the first exception reported from any thread, to be raised later on the
// caller's thread. Thread-safe.
class ExceptionDelegator {
public:
    // Stores a clone when nothing is stored yet; logs the display text at error
    // level when a logger is given.
    void keep(const Poco::Exception& e, Poco::Logger* logger = nullptr);
    void keep(const std::exception& e, Poco::Logger* logger = nullptr);
    // Stores an exception "unknown exception at: " + context.
    void keepUnknown(const std::string& context);
    bool hasException() const;
    // Takes the stored exception out and raises it (its own type); nothing when
    // none is stored.
    void rethrow();

private:
    mutable Poco::FastMutex mutex_;
    std::exception_ptr stored_; // guarded by mutex_
};

} // namespace Patcher
