#include "base/CmdHandler.h"

#include "base/Errors.h"
#include "platform/ConsoleControl.h"

#include <mutex>

namespace Patcher {

StopState::StopState() : event_(Poco::Event::EVENT_MANUALRESET) {}

void StopState::stop() {
    paused_ = false;
    stopped_ = true;
    event_.set();
}

void StopState::pause() {
    paused_ = true;
    event_.reset();
}

void StopState::resume() {
    paused_ = false;
    event_.set();
}

void StopState::setMessage(const std::string& text) {
    Poco::FastMutex::ScopedLock lock(mutex_);
    message_ = text;
}

std::string StopState::message() const {
    Poco::FastMutex::ScopedLock lock(mutex_);
    return message_;
}

void StopState::check() {
    if (stopped_) {
        Poco::FastMutex::ScopedLock lock(mutex_);
        throw Interrupted(message_, kInterruptedCode);
    }
    if (paused_) {
        // A stop that arrives meanwhile sets the event; the next check() raises.
        event_.wait();
    }
}

namespace {
std::mutex gSlotMutex;
CmdHandler* gHandler = nullptr; // guarded by gSlotMutex
} // namespace

CmdHandler::CmdHandler() {
    std::lock_guard<std::mutex> lock(gSlotMutex);
    gHandler = this;
}

CmdHandler::~CmdHandler() { detach(); }

void CmdHandler::detach() {
    std::lock_guard<std::mutex> lock(gSlotMutex);
    if (gHandler == this)
        gHandler = nullptr;
}

void CmdHandler::stop() {
    onStop();
    stopState_.stop();
}

void CmdHandler::pause(bool on) {
    if (on)
        stopState_.pause();
    else
        stopState_.resume();
}

void CmdHandler::start() {
    platform::setConsoleControlHandler(&CmdHandler::onConsoleControl);
    run();
}

CmdHandler* CmdHandler::current() {
    std::lock_guard<std::mutex> lock(gSlotMutex);
    return gHandler;
}

bool CmdHandler::onConsoleControl(int type) {
    if (type < 0 || type > 2)
        return false;
    // Held across the calls: the handler must not be detached and destroyed
    // while it is being stopped.
    std::lock_guard<std::mutex> lock(gSlotMutex);
    if (!gHandler)
        return false;
    gHandler->onStop();
    gHandler->stopState().stop();
    return true;
}

} // namespace Patcher
