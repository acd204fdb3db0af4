#include "progress/TotalProgress.h"

#include "base/ConsoleOutput.h"
#include "base/Singleton.h"
#include "progress/ConsoleProgress.h"

#include <cmath>
#include <limits>

namespace Patcher {
namespace {

constexpr int kMaxSeconds = std::numeric_limits<int>::max();

// A stalled transfer's measured speed decays towards zero, and a sum over many
// tasks grows: keep seconds within an int rather than wrap into a negative ETA.
int clampSeconds(double seconds) {
    if (!(seconds < kMaxSeconds)) // also NaN
        return kMaxSeconds;
    return seconds > 0 ? static_cast<int>(seconds) : 0;
}

int clampSeconds(std::int64_t seconds) { return seconds < kMaxSeconds ? static_cast<int>(seconds) : kMaxSeconds; }

} // namespace

TotalProgress::TotalProgress(long updatePeriod, bool console)
    : RunnableEx("Progress Thread"),
      updatePeriod_(updatePeriod),
      console_(console),
      stopEvent_(Poco::Event::EVENT_MANUALRESET) {}

TotalProgress::~TotalProgress() { stop(); }

void TotalProgress::registerTask(Task& task) {
    Poco::FastMutex::ScopedLock lock(mutex_);
    TaskProgressRecord record;
    record.id = static_cast<int>(task.id());
    record.total = task.total();
    record.percent = task.percent();
    record.weight = task.weight();
    record.typeName = taskTypeName(task.type());
    record.type = static_cast<int>(task.type());
    task.setObserver(this);
    tasks_.emplace(record.id, record);
}

void TotalProgress::onTaskProgress(const Task& task) {
    Poco::FastMutex::ScopedLock lock(mutex_);
    for (auto& entry : tasks_)
        entry.second.latest = false;
    TaskProgressRecord& r = tasks_[static_cast<int>(task.id())];
    r.id = static_cast<int>(task.id());
    std::int64_t left = task.total() - task.done();
    double leftMs = task.speed() > 0 ? left / task.speed() : left / 100000.0 * task.weight();
    r.remaining = clampSeconds(leftMs / 1000);
    r.elapsed = static_cast<int>(task.elapsedMs() / 1000);
    r.done = task.done();
    if (r.total == 0)
        r.total = task.total();
    r.percent = task.percent();
    r.item = task.currentItem();
    r.itemDone = task.currentItemDone();
    r.itemTotal = task.currentItemTotal();
    r.itemPercent = r.itemTotal == 0 ? 0 : static_cast<int>(r.itemDone * 100 / r.itemTotal);
    if (r.text.empty())
        r.text = task.text();
    r.speed = task.speed();
    r.latest = true;
    r.status = static_cast<int>(task.status());
}

void TotalProgress::setEstimation(std::int64_t presentSize, std::int64_t overallSize,
                                  const std::vector<StageRecord>& stages) {
    if (!hasObservers())
        return;
    Poco::FastMutex::ScopedLock lock(mutex_);
    stages_ = stages;
    current_ = TotalProgressRecord();
    current_.percent = totalPercentLocked();
    current_.done = presentSize;
    current_.total = overallSize;
    current_.stage = stage_;
    current_.stages = stages_;
    current_.name = "CalculationFinished";
    notifyAll([this](TotalProgressObserver* o) { o->onTotalProgress(current_); });
}

void TotalProgress::setStage(unsigned stage) {
    Poco::FastMutex::ScopedLock lock(mutex_);
    stage_ = stage;
    notify(totalPercentLocked());
}

void TotalProgress::start(const std::string& message) {
    {
        Poco::FastMutex::ScopedLock lock(mutex_);
        if (console_ && !message.empty())
            Singleton<ConsoleOutput>::instance().print(centredBanner("* " + message + " *", ' ', 105) + "\n\n");
    }
    RunnableEx::start();
}

void TotalProgress::stop() {
    {
        Poco::FastMutex::ScopedLock lock(mutex_);
        stopEvent_.set();
    }
    RunnableEx::stop();
}

void TotalProgress::finish() {
    stop();
    Poco::FastMutex::ScopedLock lock(mutex_);
    tasks_.clear();
    stopEvent_.reset();
    if (console_ && Singleton<ConsoleOutput>::exists())
        Singleton<ConsoleOutput>::instance().print("\n\n\n\n");
}

double TotalProgress::totalPercent() const {
    Poco::FastMutex::ScopedLock lock(mutex_);
    return totalPercentLocked();
}

double TotalProgress::totalPercentLocked() const {
    double w = 0.0;
    for (const auto& entry : tasks_)
        w += static_cast<double>(entry.second.total) * entry.second.weight;
    if (std::fabs(w) < 1e-7)
        return 0.0;
    double p = 0.0;
    double s = 0.0;
    for (const auto& entry : tasks_) {
        double share = static_cast<double>(entry.second.total) * entry.second.weight / w;
        p += entry.second.percent * share;
        s += share;
    }
    if (!tasks_.empty())
        p /= s;
    return p + 0.001;
}

const TaskProgressRecord* TotalProgress::downloadRecord() const {
    for (const auto& entry : tasks_)
        if (entry.second.type == static_cast<int>(TaskType::Download))
            return &entry.second;
    return nullptr;
}

std::int64_t TotalProgress::processedVolume() const {
    Poco::FastMutex::ScopedLock lock(mutex_);
    const TaskProgressRecord* r = downloadRecord();
    return r ? r->done : 0;
}

std::int64_t TotalProgress::totalVolume() const {
    Poco::FastMutex::ScopedLock lock(mutex_);
    const TaskProgressRecord* r = downloadRecord();
    return r ? r->total : 0;
}

int TotalProgress::elapsed() const {
    Poco::FastMutex::ScopedLock lock(mutex_);
    return elapsedLocked();
}

int TotalProgress::eta() const {
    Poco::FastMutex::ScopedLock lock(mutex_);
    return etaLocked();
}

int TotalProgress::elapsedLocked() const {
    std::int64_t sum = 0;
    for (const auto& entry : tasks_)
        sum += entry.second.elapsed;
    return clampSeconds(sum);
}

int TotalProgress::etaLocked() const {
    std::int64_t sum = 0;
    for (const auto& entry : tasks_)
        sum += entry.second.remaining;
    return clampSeconds(sum);
}

void TotalProgress::body() {
    double p = 0.0;
    for (;;) {
        {
            Poco::FastMutex::ScopedLock lock(mutex_);
            p = totalPercentLocked();
            renderAndNotify(p);
        }
        if (!stopEvent_.tryWait(updatePeriod_))
            continue;
        if (p == 100.0)
            return;
        Poco::FastMutex::ScopedLock lock(mutex_);
        renderAndNotify(totalPercentLocked());
        return;
    }
}

void TotalProgress::renderAndNotify(double percent) {
    render(percent);
    notify(percent);
}

void TotalProgress::notify(double p) {
    if (!hasObservers())
        return;
    const TaskProgressRecord* r = downloadRecord();
    current_ = TotalProgressRecord();
    if (!r) {
        current_.stage = 1;
        current_.percent = p;
        current_.name = "Prepare";
    } else {
        // 64 bits: gigabytes counted within a millisecond or two of running time
        // (a file found already complete) exceed an int of KB/s.
        current_.speed = static_cast<std::int64_t>(r->speed * 1000 * (1.0 / 1024));
        current_.percent = p;
        current_.eta = etaLocked();
        current_.itemDone = r->itemDone;
        current_.itemTotal = r->itemTotal;
        current_.done = r->done;
        current_.total = r->total;
        current_.stage = stage_;
        current_.item = r->item;
        current_.name = r->typeName;
        std::int64_t left = r->done;
        for (StageRecord& s : stages_) {
            if (s.updateSize <= left) {
                s.updateDownloaded = s.updateSize;
                left -= s.updateSize;
            } else {
                s.updateDownloaded = left;
                break;
            }
        }
        current_.stages = stages_;
    }
    notifyAll([this](TotalProgressObserver* o) { o->onTotalProgress(current_); });
}

} // namespace Patcher
