#include "app/ScopedTimeCalculator.h"

#include <Poco/Logger.h>
#include <Poco/Timespan.h>

namespace Patcher {

ScopedTimeCalculator::ScopedTimeCalculator(Poco::Logger& logger, const std::string& name)
    : logger_(logger), name_(name) {}

ScopedTimeCalculator::~ScopedTimeCalculator() {
    try {
        Poco::Timespan elapsed = Poco::DateTime() - start_;
        if (logger_.information())
            logger_.information(format(name_, elapsed.totalSeconds()));
    } catch (...) {
        try {
            if (logger_.error())
                logger_.error("Something went wrong at ~ScopedTimeCalculator!!!");
        } catch (...) {
        }
    }
}

std::string ScopedTimeCalculator::format(const std::string& name, long long total) {
    long long d = total / 86400;
    long long h = (total / 3600) % 24;
    long long m = (total / 60) % 60;
    long long s = total % 60;
    std::string text = name + " time: ";
    if (d > 0) // the hours alone wrap after a day
        text += std::to_string(d) + " days, ";
    if (h > 0)
        text += std::to_string(h) + " hours, ";
    if (m > 0)
        text += std::to_string(m) + " minutes, ";
    text += std::to_string(s) + " seconds.";
    if (total > 60)
        text += " Total " + std::to_string(total) + " seconds.";
    return text;
}

} // namespace Patcher
