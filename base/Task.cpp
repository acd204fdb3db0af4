#include "base/Task.h"

#include "base/CmdHandler.h"
#include "base/Errors.h"
#include "base/TaskWeights.h"

#include <Poco/Clock.h>

#include <atomic>
#include <cmath>

namespace Patcher {
namespace {

const char* const kTypeNames[kTaskTypeCount] = {"SHA1",  "Download", "Packing",   "Compress",
                                                "Delta", "Extract",  "Uninstall", "Check"};
const char* const kStatusNames[] = {"Waiting", "Running", "Skipped", "Paused", "Done"};
constexpr int kStatusCount = 5;

// Rows: from; columns: to (Waiting, Running, Skipped, Paused, Done).
const bool kTransitions[kStatusCount][kStatusCount] = {
    {false, true, true, false, true},     // Waiting
    {false, true, false, true, true},     // Running
    {false, false, true, false, false},   // Skipped
    {false, true, false, false, false},   // Paused
    {false, false, false, false, false},  // Done
};

std::atomic<unsigned> gTaskCounter{0};

std::int64_t systemClockMs() { return Poco::Clock().raw() / 1000; }

} // namespace

std::string taskTypeName(TaskType type) {
    int v = static_cast<int>(type);
    if (v < 0 || v >= kTaskTypeCount)
        throw InternalError("Unknown task type: " + std::to_string(v), kInternalErrorCode);
    return kTypeNames[v];
}

TaskType taskTypeFromName(const std::string& name) {
    for (int i = 0; i < kTaskTypeCount; ++i)
        if (name == kTypeNames[i])
            return static_cast<TaskType>(i);
    throw InternalError("Unknown task type name: " + name, kInternalErrorCode);
}

std::string taskStatusName(TaskStatus status) {
    int v = static_cast<int>(status);
    if (v < 0 || v >= kStatusCount)
        throw InternalError("Unknown task status: " + std::to_string(v), kInternalErrorCode);
    return kStatusNames[v];
}

TaskStatus taskStatusFromName(const std::string& name) {
    for (int i = 0; i < kStatusCount; ++i)
        if (name == kStatusNames[i])
            return static_cast<TaskStatus>(i);
    throw InternalError("Unknown task status name: " + name, kInternalErrorCode);
}

Task::Task(TaskType type, TaskWeights* weights, int notifyIntervalMs, Clock clock)
    : type_(type),
      id_(++gTaskCounter),
      notifyIntervalMs_(notifyIntervalMs),
      clock_(clock ? clock : &systemClockMs),
      weights_(weights),
      weight_(weights ? weights->weight(type) : 1.0) {}

Task::~Task() {
    if (!weights_)
        return;
    try {
        weights_->learn(*this);
    } catch (...) {
        // Learning is a refinement for the next run; never let it fail a teardown.
    }
}

void Task::start(std::int64_t total, std::int64_t done, const std::string& text) {
    text_ = text;
    total_ = total;
    done_ = done;
    doneAtStart_ = done;
    status_ = TaskStatus::Waiting;
    if (total_ == 0) {
        setStatus(TaskStatus::Skipped);
        percent_ = 100.0;
    } else if (done_ >= total_) {
        done_ = total_;
        setStatus(TaskStatus::Done);
        percent_ = 100.0;
    } else {
        // Work already done before this run (a resumed download) counts from the start.
        percent_ = done_ * 100.0 / total_;
    }
    notify();
    speed_ = 100000.0 / weight_;
}

void Task::setStatus(TaskStatus to) {
    int from = static_cast<int>(status_);
    int next = static_cast<int>(to);
    if (next < 0 || next >= kStatusCount || !kTransitions[from][next])
        throw InternalError("Invalid transition from '" + taskStatusName(status_) + "' to '" +
                                taskStatusName(to) + "'",
                            kInternalErrorCode);
    status_ = to;
    if (to == TaskStatus::Paused)
        stopClock();
    else if (to == TaskStatus::Running)
        startClock();
}

void Task::activate() {
    if (done_ == doneAtStart_ && status_ != TaskStatus::Skipped && status_ != TaskStatus::Done)
        setStatus(TaskStatus::Running);
    else if (status_ == TaskStatus::Paused)
        setStatus(static_cast<TaskStatus>(savedStatus_));
}

void Task::pause() {
    if (status_ == TaskStatus::Paused)
        return;
    savedStatus_ = static_cast<int>(status_);
    setStatus(TaskStatus::Paused);
}

void Task::setCurrentItem(const std::string& name, std::int64_t size) {
    currentItem_ = name;
    currentItemTotal_ = size;
    currentItemDone_ = 0;
}

void Task::update(std::int64_t amount, bool force) {
    if (amount == 0 || status_ == TaskStatus::Done)
        return;
    bool notifyNow = force || notifyIntervalMs_ == 0 || done_ + amount >= total_ || done_ == doneAtStart_ ||
                     currentItemDone_ + amount >= currentItemTotal_ || currentItemDone_ == currentItemTotal_;
    if (done_ == doneAtStart_)
        setStatus(TaskStatus::Running);

    bytesSinceSpeed_ += amount;
    done_ += amount;
    currentItemDone_ += amount;
    if (done_ > total_)
        done_ = total_;

    if (done_ == total_) {
        setStatus(TaskStatus::Done);
        stopClock();
    } else if (status_ != TaskStatus::Running) {
        throw InternalError("Attempt to update task in a status: " + taskStatusName(status_), kInternalErrorCode);
    }

    percent_ = total_ == 0 ? 0.0 : done_ * 100.0 / total_;

    elapsedMs_ = runningMs();
    if (std::fabs(speed_) < 0.001 && elapsedMs_ >= 3000) {
        speed_ = static_cast<double>((done_ - doneAtStart_) / elapsedMs_);
    } else if (elapsedMs_ - lastSpeedMs_ >= 5000) {
        std::int64_t interval = elapsedMs_ - lastSpeedMs_;
        speed_ = (static_cast<double>(bytesSinceSpeed_ / interval) + speed_) * 0.5;
        bytesSinceSpeed_ = 0;
        lastSpeedMs_ = elapsedMs_;
    }
    if (status_ == TaskStatus::Done && elapsedMs_ > 0)
        speed_ = static_cast<double>(done_ - doneAtStart_) / static_cast<double>(elapsedMs_);

    if (!notifyNow && elapsedMs_ - lastNotifyMs_ < notifyIntervalMs_)
        return;
    if (observer()) {
        lastNotifyMs_ = elapsedMs_;
        notify();
    }
}

void Task::startClock() {
    if (clockRunning_)
        return;
    clockStart_ = clock_();
    clockRunning_ = true;
}

void Task::stopClock() {
    if (!clockRunning_)
        return;
    clockBanked_ += clock_() - clockStart_;
    clockRunning_ = false;
}

std::int64_t Task::runningMs() const { return clockBanked_ + (clockRunning_ ? clock_() - clockStart_ : 0); }

void Task::notify() {
    if (TaskProgressObserver* o = observer())
        o->onTaskProgress(*this);
}

TaskUpdater::TaskUpdater(std::shared_ptr<Task> task, StopState& stopState)
    : stopState_(stopState), task_(std::move(task)) {
    if (task_)
        task_->activate();
}

TaskUpdater::~TaskUpdater() {
    try {
        if (task_) {
            task_->update(pending_, false);
            pending_ = 0;
            if (task_->status() == TaskStatus::Running)
                task_->pause();
        }
    } catch (...) {
        // A destructor may run while an Interrupted unwinds; the task's state is
        // only bookkeeping and must not replace that exception.
    }
}

void TaskUpdater::onItem(const std::string& name, std::int64_t size) {
    if (!name.empty() && task_) {
        task_->update(pending_, false);
        pending_ = 0;
    }
    stopState_.check();
    if (task_)
        task_->setCurrentItem(name, size);
}

void TaskUpdater::onBytes(std::int64_t count) {
    pending_ += count;
    if (pending_ >= kBatchBytes) {
        if (task_)
            task_->update(pending_, false);
        pending_ = 0;
        stopState_.check();
    }
}

} // namespace Patcher
