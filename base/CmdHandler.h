#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

namespace Patcher {

class TotalProgress;

// Stop and pause state of one run. Set from outside the engine (console control
// handler, IPC commands, a failing pipeline handler), polled by every long loop.
class StopState {
public:
    StopState();
    StopState(const StopState&) = delete;
    StopState& operator=(const StopState&) = delete;

    // A stop is final for the run: pause() and resume() do nothing after it.
    void stop();
    void pause();
    void resume();
    void setMessage(const std::string& text);
    std::string message() const;
    bool isStopped() const { return stopped_; }
    bool isPaused() const { return paused_; }

    // The poll point: throws Interrupted (code 1, the current message) once
    // stopped, also when the stop arrives while it waits; blocks while paused.
    // Any thread may call it.
    void check();

private:
    // The flags change only under mutex_, so a waiter cannot miss a stop
    // between its test and its wait; they are atomic for the lock-free getters.
    mutable std::mutex mutex_;
    std::condition_variable wake_; // notified on stop and resume
    std::atomic<bool> paused_{false};
    std::atomic<bool> stopped_{false};
    std::string message_; // guarded by mutex_
};

// Base of every command handler. At most one exists at a time; constructing one
// puts it into the process-wide slot that the console control handler reads.
class CmdHandler {
public:
    CmdHandler();
    virtual ~CmdHandler();
    CmdHandler(const CmdHandler&) = delete;
    CmdHandler& operator=(const CmdHandler&) = delete;

    virtual void run() = 0;
    virtual void onStop() = 0;

    // onStop(), then the stop state's stop(). Safe from any thread.
    void stop();
    void pause(bool on);
    StopState& stopState() { return stopState_; }
    void setProgress(TotalProgress* progress) { progress_ = progress; }
    TotalProgress* progress() const { return progress_; }

    // Registers the console control handler, then run() on the calling thread.
    void start();

    // Leaves the process-wide slot, so console control events no longer reach
    // this handler. Call before destroying a handler that another thread may
    // stop: by the time ~CmdHandler runs, the derived part is already gone.
    void detach();

    // The handler in the process-wide slot, or null.
    static CmdHandler* current();

    // What the console control handler does for a control type: 0, 1 and 2
    // (interrupt, break, close) stop the live handler and return true; any other
    // type, or no handler, returns false.
    static bool onConsoleControl(int type);

private:
    StopState stopState_;
    TotalProgress* progress_ = nullptr; // not owned; set before run()
};

} // namespace Patcher
