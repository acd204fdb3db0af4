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

// Records what a logger writes (every level) while it lives, then restores the
// logger's channel and level.
class LogCapture {
public:
    struct Line {
        Poco::Message::Priority priority;
        std::string text;
    };

    explicit LogCapture(const std::string& loggerName) : LogCapture(Poco::Logger::get(loggerName)) {}
    explicit LogCapture(Poco::Logger& logger = Poco::Logger::root())
        : logger_(logger), oldChannel_(logger.getChannel()), oldLevel_(logger.getLevel()) {
        channel_ = new Recorder(this);
        logger_.setChannel(channel_);
        logger_.setLevel(Poco::Message::PRIO_TRACE);
    }
    ~LogCapture() {
        logger_.setChannel(oldChannel_);
        logger_.setLevel(oldLevel_);
        // A logger created meanwhile inherited the recorder from its parent: it
        // must not write into this object once it is gone.
        std::vector<std::string> names;
        Poco::Logger::names(names);
        for (const std::string& name : names) {
            Poco::Logger& other = Poco::Logger::get(name);
            if (other.getChannel().get() == channel_.get())
                other.setChannel(oldChannel_);
        }
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Line> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    // The texts of one priority, or of all (0).
    std::vector<std::string> texts(int priority = 0) const {
        std::vector<std::string> out;
        for (const auto& line : lines())
            if (priority == 0 || line.priority == priority)
                out.push_back(line.text);
        return out;
    }
    bool contains(const std::string& fragment) const {
        for (const auto& line : lines())
            if (line.text.find(fragment) != std::string::npos)
                return true;
        return false;
    }
    int count(const std::string& text) const {
        auto all = texts();
        return static_cast<int>(std::count(all.begin(), all.end(), text));
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

private:
    class Recorder : public Poco::Channel {
    public:
        explicit Recorder(LogCapture* owner) : owner_(owner) {}
        void log(const Poco::Message& msg) override {
            std::lock_guard<std::mutex> lock(owner_->mutex_);
            owner_->lines_.push_back({msg.getPriority(), msg.getText()});
        }

    private:
        LogCapture* owner_;
    };

    Poco::Logger& logger_;
    Poco::Channel::Ptr oldChannel_;
    int oldLevel_;
    Poco::AutoPtr<Recorder> channel_;
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
};

} // namespace testsupport
