#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace platform {
class Terminal;
}

namespace Patcher {

// Counters of one publishing run, written by the worker threads, and the time
// each kind of work took, summed over threads.
struct PublishStats {
    enum Work { Hash, Sample, Compress, Extract, DeltaEncode, DeltaVerify, Write, Verify, kWorkKinds };
    static const char* workName(int work);

    std::atomic<std::int64_t> bytesTotal{0}; // of the current phase
    std::atomic<std::int64_t> bytesDone{0};
    std::atomic<int> filesTotal{0};
    std::atomic<int> filesDone{0};
    std::atomic<int> filesReused{0};
    std::atomic<int> deltasTotal{0};
    std::atomic<int> deltasDone{0};
    std::array<std::atomic<std::int64_t>, kWorkKinds> workNs{};

    // Adds the time from construction to destruction to workNs[work].
    class Timer {
    public:
        Timer(PublishStats& stats, Work work)
            : stats_(stats), work_(work), start_(std::chrono::steady_clock::now()) {}
        ~Timer() {
            stats_.workNs[work_] += std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::steady_clock::now() - start_)
                                        .count();
        }
        Timer(const Timer&) = delete;
        Timer& operator=(const Timer&) = delete;

    private:
        PublishStats& stats_;
        Work work_;
        std::chrono::steady_clock::time_point start_;
    };
};

// The one writer of standard error while publishing, any thread may call it.
// On a terminal a progress bar is redrawn in place five times a second (phase,
// bytes and files done, rate, time left) and warnings scroll above it. Redirected
// to a file or a pipe it writes plain lines instead: one when a phase starts and
// one for every further tenth of its bytes, so a log stays short.
class ProgressReporter {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    struct Options {
        // Draws from a thread of its own; without it only tick() draws (tests).
        bool drawThread = true;
        Clock clock; // empty: the steady clock
    };

    ProgressReporter(PublishStats& stats, std::unique_ptr<platform::Terminal> terminal);
    ProgressReporter(PublishStats& stats, std::unique_ptr<platform::Terminal> terminal, Options options);
    ~ProgressReporter(); // joins the drawing thread and clears the bar
    ProgressReporter(const ProgressReporter&) = delete;
    ProgressReporter& operator=(const ProgressReporter&) = delete;

    // A new phase: its name and the byte total it works through (the counters of
    // bytes restart).
    void phase(const std::string& name, std::int64_t bytesTotal);
    void warn(const std::string& text);
    // Clears the bar; drawing resumes at the next phase.
    void finish();
    // Draws once, as the drawing thread does.
    void tick();

    // Bytes and files done, rate and time left of the phase so far.
    static std::string figures(const PublishStats& stats, double phaseSeconds);
    // The bar for a terminal width; never as wide as the terminal, so it never wraps.
    static std::string bar(const std::string& phase, const PublishStats& stats, double phaseSeconds, int width);

private:
    void drawLocked();
    void clearLocked();
    std::chrono::steady_clock::time_point now() const;

    PublishStats& stats_;
    const std::unique_ptr<platform::Terminal> terminal_; // written under mutex_
    const Clock clock_;
    const bool interactive_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::string phase_;       // guarded by mutex_; empty: nothing to draw
    std::chrono::steady_clock::time_point phaseStarted_; // guarded by mutex_
    int linedTenths_ = -1;    // guarded by mutex_: redirected, the last tenth written
    bool shown_ = false;      // guarded by mutex_: a bar is on the screen
    bool closing_ = false;    // guarded by mutex_
    std::thread drawer_;
};

} // namespace Patcher
