#include "tools/publish/Progress.h"

#include "platform/Terminal.h"

#include <cstdio>

namespace Patcher {

const char* PublishStats::workName(int work) {
    static const char* const kNames[] = {"hashing",  "sampling",         "compressing",     "extracting old files",
                                         "delta encoding", "delta checking", "writing packages", "verifying"};
    return work >= 0 && work < kWorkKinds ? kNames[work] : "?";
}

ProgressReporter::ProgressReporter(PublishStats& stats, std::unique_ptr<platform::Terminal> terminal)
    : stats_(stats), terminal_(std::move(terminal)), started_(std::chrono::steady_clock::now()) {
    if (terminal_ && !terminal_->redirected())
        drawer_ = std::thread([this] {
            std::unique_lock<std::mutex> lock(mutex_);
            while (!closing_) {
                wake_.wait_for(lock, std::chrono::milliseconds(200));
                if (!closing_ && !phase_.empty())
                    draw();
            }
        });
}

ProgressReporter::~ProgressReporter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
        clearLocked();
    }
    wake_.notify_all();
    if (drawer_.joinable())
        drawer_.join();
}

void ProgressReporter::phase(const std::string& name, std::int64_t bytesTotal) {
    std::lock_guard<std::mutex> lock(mutex_);
    phase_ = name;
    stats_.bytesDone = 0;
    stats_.bytesTotal = bytesTotal;
}

void ProgressReporter::finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    phase_.clear();
    clearLocked();
}

void ProgressReporter::warn(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    clearLocked();
    const std::string message = "patcher-publish: warning: " + text + "\n";
    if (terminal_)
        terminal_->write(message);
    else
        std::fputs(message.c_str(), stderr);
}

void ProgressReporter::clearLocked() {
    if (shown_ && terminal_)
        terminal_->write("\r\x1b[K");
    shown_ = false;
}

void ProgressReporter::draw() {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    terminal_->write("\r" + line(phase_, stats_, seconds, terminal_->width()) + "\x1b[K");
    shown_ = true;
}

std::string ProgressReporter::line(const std::string& phase, const PublishStats& stats, double seconds,
                                   int width) {
    const std::int64_t total = stats.bytesTotal, done = std::min<std::int64_t>(stats.bytesDone, total);
    const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 0;
    char tail[160];
    const int elapsed = static_cast<int>(seconds);
    std::snprintf(tail, sizeof tail, " %3d%% %.1f/%.1f MiB  files %d/%d  deltas %d/%d  %d:%02d", percent,
                  static_cast<double>(done) / (1 << 20), static_cast<double>(total) / (1 << 20),
                  stats.filesDone.load(), stats.filesTotal.load(), stats.deltasDone.load(),
                  stats.deltasTotal.load(), elapsed / 60, elapsed % 60);
    std::string head = phase + " [";
    // The line stays one column short of the width so that it never wraps.
    const int barWidth = std::min(40, width - 1 - static_cast<int>(head.size() + 1 + std::string(tail).size()));
    if (barWidth < 5)
        return (phase + tail).substr(0, static_cast<std::size_t>(std::max(0, width - 1)));
    const int filled = barWidth * percent / 100;
    return head + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(barWidth - filled), ' ') + "]" + tail;
}

} // namespace Patcher
