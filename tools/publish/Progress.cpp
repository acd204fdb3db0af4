#include "tools/publish/Progress.h"

#include "platform/Terminal.h"

#include <algorithm>
#include <cstdio>

namespace Patcher {

namespace {

std::string clockText(double seconds) {
    const auto s = static_cast<long long>(seconds + 0.5);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
    return text;
}

int percentOf(const PublishStats& stats) {
    const std::int64_t total = stats.bytesTotal, done = std::min<std::int64_t>(stats.bytesDone, total);
    return total > 0 ? static_cast<int>(done * 100 / total) : 0;
}

} // namespace

const char* PublishStats::workName(int work) {
    static const char* const kNames[] = {"hashing",  "sampling",         "compressing",     "extracting old files",
                                         "delta encoding", "delta checking", "writing packages", "verifying"};
    return work >= 0 && work < kWorkKinds ? kNames[work] : "?";
}

ProgressReporter::ProgressReporter(PublishStats& stats, std::unique_ptr<platform::Terminal> terminal)
    : ProgressReporter(stats, std::move(terminal), Options{}) {}

ProgressReporter::ProgressReporter(PublishStats& stats, std::unique_ptr<platform::Terminal> terminal,
                                   Options options)
    : stats_(stats),
      terminal_(std::move(terminal)),
      clock_(std::move(options.clock)),
      interactive_(terminal_ && !terminal_->redirected()),
      phaseStarted_(now()) {
    if (terminal_ && options.drawThread)
        drawer_ = std::thread([this] {
            std::unique_lock<std::mutex> lock(mutex_);
            while (!closing_) {
                wake_.wait_for(lock, std::chrono::milliseconds(200));
                if (!closing_)
                    drawLocked();
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

std::chrono::steady_clock::time_point ProgressReporter::now() const {
    return clock_ ? clock_() : std::chrono::steady_clock::now();
}

void ProgressReporter::phase(const std::string& name, std::int64_t bytesTotal) {
    std::lock_guard<std::mutex> lock(mutex_);
    phase_ = name;
    phaseStarted_ = now();
    linedTenths_ = -1;
    stats_.bytesDone = 0;
    stats_.bytesTotal = bytesTotal;
}

void ProgressReporter::finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    phase_.clear();
    clearLocked();
}

void ProgressReporter::tick() {
    std::lock_guard<std::mutex> lock(mutex_);
    drawLocked();
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

void ProgressReporter::drawLocked() {
    if (phase_.empty() || !terminal_)
        return;
    const double seconds = std::chrono::duration<double>(now() - phaseStarted_).count();
    if (interactive_) {
        terminal_->write("\r" + bar(phase_, stats_, seconds, terminal_->width()) + "\x1b[K");
        shown_ = true;
        return;
    }
    const int tenths = percentOf(stats_) / 10;
    if (tenths <= linedTenths_)
        return;
    linedTenths_ = tenths;
    char percent[16];
    std::snprintf(percent, sizeof percent, ": %d%% ", percentOf(stats_));
    terminal_->write(phase_ + (stats_.bytesTotal > 0 ? percent + figures(stats_, seconds) : std::string()) + "\n");
}

std::string ProgressReporter::figures(const PublishStats& stats, double phaseSeconds) {
    const std::int64_t total = stats.bytesTotal, done = std::min<std::int64_t>(stats.bytesDone, total);
    const double mib = 1 << 20;
    std::string text;
    char part[96];
    std::snprintf(part, sizeof part, "%.1f/%.1f MiB  files %d/%d", static_cast<double>(done) / mib,
                  static_cast<double>(total) / mib, stats.filesDone.load(), stats.filesTotal.load());
    text += part;
    if (stats.deltasTotal > 0) {
        std::snprintf(part, sizeof part, "  deltas %d/%d", stats.deltasDone.load(), stats.deltasTotal.load());
        text += part;
    }
    // Too early for a rate that means anything: shown as unknown.
    if (phaseSeconds >= 0.5 && done > 0) {
        const double rate = static_cast<double>(done) / phaseSeconds;
        std::snprintf(part, sizeof part, "  %.1f MiB/s  %s left", rate / mib,
                      clockText(static_cast<double>(total - done) / rate).c_str());
        text += part;
    } else {
        text += "  -- MiB/s  --:-- left";
    }
    return text;
}

std::string ProgressReporter::bar(const std::string& phase, const PublishStats& stats, double phaseSeconds,
                                  int width) {
    const int percent = percentOf(stats);
    char number[8];
    std::snprintf(number, sizeof number, " %3d%% ", percent);
    const std::string tail = number + figures(stats, phaseSeconds);
    const std::string head = phase + " [";
    const int barWidth = std::min(30, width - 1 - static_cast<int>(head.size() + 1 + tail.size()));
    if (barWidth < 5)
        return (phase + tail).substr(0, static_cast<std::size_t>(std::max(0, width - 1)));
    const int filled = barWidth * percent / 100;
    return head + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(barWidth - filled), ' ') + "]" + tail;
}

} // namespace Patcher
