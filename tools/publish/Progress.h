#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
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

// The one writer of standard error while publishing: a progress line redrawn in
// place five times a second when standard error is a terminal (nothing when it is
// not), and warnings, which scroll above it. Any thread may call it.
class ProgressReporter {
public:
    ProgressReporter(PublishStats& stats, std::unique_ptr<platform::Terminal> terminal);
    ~ProgressReporter(); // joins the drawing thread and clears the line
    ProgressReporter(const ProgressReporter&) = delete;
    ProgressReporter& operator=(const ProgressReporter&) = delete;

    // A new phase: its name and the byte total it works through (the counters of
    // bytes restart).
    void phase(const std::string& name, std::int64_t bytesTotal);
    void warn(const std::string& text);
    // Clears the progress line; drawing resumes at the next phase.
    void finish();

    // The progress line for a width, exposed for tests.
    static std::string line(const std::string& phase, const PublishStats& stats, double seconds, int width);

private:
    void draw();
    void clearLocked();

    PublishStats& stats_;
    const std::unique_ptr<platform::Terminal> terminal_; // written under mutex_
    const std::chrono::steady_clock::time_point started_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::string phase_;       // guarded by mutex_; empty: nothing to draw
    bool shown_ = false;      // guarded by mutex_: a progress line is on the screen
    bool closing_ = false;    // guarded by mutex_
    std::thread drawer_;      // only when the terminal is interactive
};

} // namespace Patcher
