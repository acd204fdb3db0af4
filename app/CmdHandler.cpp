#include "app/CmdHandler.h"

#include "app/Errors.h"
#include "platform/ConsoleControl.h"

#include <atomic>

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
std::atomic<CmdHandler*> gHandler{nullptr};
}

CmdHandler::CmdHandler() { gHandler = this; }

CmdHandler::~CmdHandler() {
    CmdHandler* self = this;
    gHandler.compare_exchange_strong(self, nullptr);
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

CmdHandler* CmdHandler::current() { return gHandler; }

bool CmdHandler::onConsoleControl(int type) {
    if (type < 0 || type > 2)
        return false;
    CmdHandler* handler = gHandler;
    if (!handler)
        return false;
    handler->onStop();
    handler->stopState().stop();
    return true;
}

} // namespace Patcher
