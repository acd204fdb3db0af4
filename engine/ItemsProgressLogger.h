#pragma once

#include <cstdint>
#include <string>

namespace Poco {
class Logger;
}

namespace Patcher {

// A line per interval (and one at the end) for a long loop over items.
class ItemsProgressLogger {
public:
    // Seconds of the C run-time clock; tests pass their own.
    using Clock = std::int64_t (*)();

    ItemsProgressLogger(Poco::Logger& logger, std::string prefix, unsigned total, std::int64_t interval,
                        Clock clock = nullptr);
    void step();

private:
    Poco::Logger& logger_;
    const std::string prefix_;
    const unsigned total_;
    unsigned done_ = 0;
    unsigned lastDone_ = 0;
    const std::int64_t interval_;
    const Clock clock_;
    std::int64_t lastTime_;
};

} // namespace Patcher
