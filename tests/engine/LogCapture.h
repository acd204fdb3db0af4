#pragma once

#include <Poco/AutoPtr.h>
#include <Poco/Channel.h>
#include <Poco/Logger.h>
#include <Poco/Message.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

// Collects what one logger writes, for the duration of the object.
class LogCapture {
public:
    explicit LogCapture(const std::string& loggerName) : logger_(Poco::Logger::get(loggerName)) {
        oldLevel_ = logger_.getLevel();
        logger_.setChannel(channel_);
        logger_.setLevel(Poco::Message::PRIO_TRACE);
    }
    ~LogCapture() {
        logger_.setChannel(nullptr);
        logger_.setLevel(oldLevel_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const { return channel_->lines(); }
    int count(const std::string& text) const {
        auto l = lines();
        return static_cast<int>(std::count(l.begin(), l.end(), text));
    }
    bool contains(const std::string& part) const {
        for (const std::string& line : lines())
            if (line.find(part) != std::string::npos)
                return true;
        return false;
    }

private:
    class Collector : public Poco::Channel {
    public:
        void log(const Poco::Message& msg) override {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(msg.getText());
        }
        std::vector<std::string> lines() const {
            std::lock_guard<std::mutex> lock(mutex_);
            return lines_;
        }

    private:
        mutable std::mutex mutex_;
        std::vector<std::string> lines_;
    };

    Poco::Logger& logger_;
    Poco::AutoPtr<Collector> channel_{new Collector};
    int oldLevel_;
};

} // namespace testsupport
