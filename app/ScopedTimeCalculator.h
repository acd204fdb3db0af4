#pragma once

#include <Poco/DateTime.h>

#include <string>

namespace Poco {
class Logger;
}

namespace Patcher {

// Logs "<name> time: ..." at information level when it goes out of scope.
class ScopedTimeCalculator {
public:
    ScopedTimeCalculator(Poco::Logger& logger, const std::string& name);
    ~ScopedTimeCalculator();
    ScopedTimeCalculator(const ScopedTimeCalculator&) = delete;
    ScopedTimeCalculator& operator=(const ScopedTimeCalculator&) = delete;

    // The line for an elapsed time in whole seconds.
    static std::string format(const std::string& name, long long totalSeconds);

private:
    const Poco::DateTime start_;
    Poco::Logger& logger_;
    const std::string name_;
};

} // namespace Patcher
