#pragma once

#include <Poco/Runnable.h>
#include <Poco/Thread.h>

#include <string>

namespace Patcher {

// A named thread running body(). An exception escaping body() is logged on the
// root logger and ends the thread. stop() and destruction join it; a derived
// class that owns state used by body() must call stop() in its own destructor.
class RunnableEx : private Poco::Runnable {
public:
    explicit RunnableEx(const std::string& name);
    ~RunnableEx() override;
    RunnableEx(const RunnableEx&) = delete;
    RunnableEx& operator=(const RunnableEx&) = delete;

    void start();
    void stop(); // joins; safe to call more than once
    const std::string& threadName() const { return name_; }

protected:
    virtual void body() = 0;

private:
    void run() override;

    const std::string name_;
    Poco::Thread thread_;
    bool started_ = false; // owner's thread only: a thread that ended by itself still needs its join
};

} // namespace Patcher
