#include "progress/ConsoleProgress.h"

#include "base/ConsoleOutput.h"
#include "base/Errors.h"
#include "base/Singleton.h"
#include "platform/WindowLabel.h"

#include <Poco/Logger.h>
#include <Poco/NumberParser.h>

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <sstream>

namespace Patcher {
namespace {

bool isLead(unsigned char c) { return (c & 0xC0) != 0x80; }

std::size_t charCount(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) { return isLead(c); }));
}

// Byte offset of the character with index n (text.size() past the end).
std::size_t byteOffset(const std::string& text, std::size_t n) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (isLead(static_cast<unsigned char>(text[i]))) {
            if (seen == n)
                return i;
            ++seen;
        }
    }
    return text.size();
}

std::string fixed2(double v) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(2) << v;
    return out.str();
}

int consoleWidth() { return Singleton<ConsoleOutput>::instance().width(); }

void queueBlock(const std::string& text) { Singleton<ConsoleOutput>::instance().print(text, true); }

} // namespace

std::string progressBar(double percent, int width) {
    double rounded = percent + 0.5;
    if (!(rounded > -1.0 && rounded < 101.0)) { // also refuses NaN
        std::ostringstream text;
        text << "Invalid percent: " << percent;
        throw InternalError(text.str(), kInternalErrorCode);
    }
    int p = static_cast<int>(rounded);
    int b = width - 8 < 0 ? 100 : std::min(width - 8, 100);
    int filled = b * p / 100;
    std::string bar(static_cast<std::size_t>(filled), '=');
    if (filled > 1)
        bar.back() = '>';
    bar.resize(static_cast<std::size_t>(b), ' ');
    std::ostringstream out;
    out << std::setw(3) << p << "% [" << bar << "]";
    return out.str();
}

std::string formatSize(std::int64_t bytes) {
    double v = static_cast<double>(bytes);
    if (v / (1024.0 * 1024.0 * 1024.0) >= 1.0)
        return fixed2(v / (1024.0 * 1024.0 * 1024.0)) + " GB";
    if (v / (1024.0 * 1024.0) >= 1.0)
        return fixed2(v / (1024.0 * 1024.0)) + " MB";
    if (v / 1024.0 >= 1.0)
        return fixed2(v / 1024.0) + " KB";
    return std::to_string(bytes) + " B";
}

std::string formatDuration(int seconds) {
    int d = seconds / 86400;
    int h = seconds / 3600 % 24;
    int m = seconds / 60 % 60;
    int s = seconds % 60;
    if (d > 0) // a slow link can take days; the hours alone would wrap
        return std::to_string(d) + "d, " + std::to_string(h) + "h, " + std::to_string(m) + "m";
    if (h > 0)
        return std::to_string(h) + "h, " + std::to_string(m) + "m";
    if (m > 0)
        return std::to_string(m) + "m " + std::to_string(s) + "s";
    return std::to_string(seconds) + "s";
}

std::string fitLine(const std::string& text, int width) {
    std::size_t w = width > 1 ? static_cast<std::size_t>(width - 1) : 0;
    std::size_t n = charCount(text);
    if (n >= w)
        return text.substr(0, byteOffset(text, w));
    return text + std::string(w - n, ' ');
}

std::string truncateLeft(const std::string& text, int n) {
    std::size_t n1 = n > 1 ? static_cast<std::size_t>(n - 1) : 0;
    std::size_t count = charCount(text);
    if (count < n1)
        return text;
    std::string tail = text.substr(byteOffset(text, count - n1));
    std::size_t marked = std::min<std::size_t>(3, n1);
    return std::string(".. ").substr(0, marked) + tail.substr(byteOffset(tail, marked));
}

std::string centredBanner(const std::string& text, char fill, int width) {
    int len = static_cast<int>(charCount(text));
    if (width <= len + 2)
        return text;
    int p = (width - len) / 2;
    std::string out(static_cast<std::size_t>(p - 1), fill);
    out += ' ';
    out += text;
    out += ' ';
    out.append(static_cast<std::size_t>(width - p - len - 1), fill);
    return out;
}

BriefProgress::BriefProgress(long updatePeriod) : TotalProgress(updatePeriod) {}

BriefProgress::~BriefProgress() { stop(); }

std::string BriefProgress::totalLines(double percent, int width) const {
    const TaskProgressRecord* download = downloadRecord();
    std::int64_t done = download ? download->done : 0;
    std::int64_t total = download ? download->total : 0;
    std::string out = fitLine("", width) + "\n";
    out += fitLine(progressBar(percent, width), width) + "\n";
    out += fitLine("TOTAL  : ETA: " + formatDuration(etaLocked()) + ",  elapsed: " + formatDuration(elapsedLocked()) +
                       ",  [" + formatSize(done) + "/" + formatSize(total) + "]",
                   width) +
           "\n";
    return out;
}

void BriefProgress::render(double percent) {
    if (records().empty()) {
        queueBlock("Preparing...");
        return;
    }
    queueBlock(totalLines(percent, consoleWidth()));
}

DetailedProgress::DetailedProgress(long updatePeriod) : BriefProgress(updatePeriod) {}

DetailedProgress::~DetailedProgress() {
    stop();
    if (Singleton<ConsoleOutput>::exists())
        Singleton<ConsoleOutput>::instance().print("\n\n\n\n");
}

void DetailedProgress::render(double percent) {
    if (records().empty()) {
        queueBlock("Preparing...");
        return;
    }
    int width = consoleWidth();
    std::string out;
    for (const auto& entry : records()) {
        const TaskProgressRecord& r = entry.second;
        out += fitLine(std::to_string(r.id) + ". " + r.typeName + " " + r.text, width) + "\n";

        TaskStatus status = static_cast<TaskStatus>(r.status);
        std::string statusName = taskStatusName(status);
        std::string line = statusName;
        if (status == TaskStatus::Waiting)
            line += "...";
        else if (status == TaskStatus::Running)
            line += ": " + truncateLeft(r.item, width - 2 - static_cast<int>(statusName.size()));
        else if (status == TaskStatus::Done)
            line += ".";
        out += fitLine(line, width) + "\n";

        out += progressBar(r.percent, width) + "\n";

        line = "         ETA: " + formatDuration(r.remaining) + ",  elapsed: " + formatDuration(r.elapsed);
        if (r.type == static_cast<int>(TaskType::Download)) {
            std::ostringstream item;
            item << ",  [" << formatSize(r.itemDone) << "/" << formatSize(r.itemTotal) << ",  " << std::setw(3)
                 << r.itemPercent << "%" << "]";
            line += item.str();
        }
        std::int64_t perMs = static_cast<std::int64_t>(r.speed);
        line += ",  " + formatSize(perMs * 1000) + "/s";
        out += fitLine(line, width) + "\n\n";
    }
    out += totalLines(percent, width);
    queueBlock(out);
}

DummyProgress::DummyProgress(long updatePeriod, const std::string& handle, LabelOpener opener)
    : TotalProgress(updatePeriod) {
    if (handle.empty())
        return;
    window_ = static_cast<std::uintptr_t>(Poco::NumberParser::parseHex64(handle));
    if (window_ == 0)
        return;
    label_ = opener ? opener(window_) : platform::openWindowLabel(window_);
    if (!label_) {
        Poco::Logger::root().information("Window label " + handle +
                                         " is not available on this platform; progress is not shown there.");
        return;
    }
    prefix_ = label_->text(1024);
}

DummyProgress::~DummyProgress() { stop(); }

void DummyProgress::render(double) {
    if (!label_)
        return;
    std::string item = records().empty() ? std::string() : records().rbegin()->second.item;
    label_->setText(prefix_ + item);
}

std::unique_ptr<TotalProgress> createProgressHandler(const std::string& kind, long updatePeriod,
                                                     const std::string& windowHandle) {
    if (kind == "brief")
        return std::make_unique<BriefProgress>(updatePeriod);
    if (kind == "detailed")
        return std::make_unique<DetailedProgress>(updatePeriod);
    if (kind == "dummy")
        return std::make_unique<DummyProgress>(updatePeriod, windowHandle);
    return std::make_unique<SilentProgress>(updatePeriod);
}

} // namespace Patcher
