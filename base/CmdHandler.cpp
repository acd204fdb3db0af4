#include "base/CmdHandler.h"

#include "base/Errors.h"
#include "platform/ConsoleControl.h"

#include <mutex>

namespace Patcher {

StopState::StopState() = default;

void StopState::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        paused_ = false;
        stopped_ = true;
    }
    wake_.notify_all();
}

void StopState::pause() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopped_)
        paused_ = true;
}

void StopState::resume() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        paused_ = false;
    }
    wake_.notify_all();
}

void StopState::setMessage(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    message_ = text;
}

std::string StopState::message() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return message_;
}

void StopState::check() {
    if (!stopped_ && !paused_)
        return;
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return stopped_ || !paused_; });
    if (stopped_)
        throw Interrupted(message_, kInterruptedCode);
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
