#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace Patcher {

class StopState;
class Task;
class TaskWeights;

// Kinds of work. The values and names are stored in the weights file and sent
// in reports: never renumber.
enum class TaskType : int {
    SHA1 = 0,
    Download = 1,
    Packing = 2,
    Compress = 3,
    Delta = 4,
    Extract = 5,
    Uninstall = 6,
    Check = 7,
};
constexpr int kTaskTypeCount = 8;

enum class TaskStatus : int {
    Waiting = 0,
    Running = 1,
    Skipped = 2,
    Paused = 3,
    Done = 4,
};

// Exact, case-sensitive conversions; unknown values throw InternalError (code 3).
std::string taskTypeName(TaskType type);
TaskType taskTypeFromName(const std::string& name);
std::string taskStatusName(TaskStatus status);
TaskStatus taskStatusFromName(const std::string& name);

// Told by a task when its progress changes, on the thread that updates the task.
class TaskProgressObserver {
public:
    virtual ~TaskProgressObserver() = default;
    virtual void onTaskProgress(const Task& task) = 0;
};

// At most one observer; a plain pointer, not owned.
template <class T>
class UnicastNotifier {
public:
    void setObserver(T* observer) { observer_ = observer; }
    T* observer() const { return observer_; }

private:
    T* observer_ = nullptr;
};

// One kind of work with its volume in bytes, status, running time, speed and
// percent. Updated by one thread at a time (the thread doing the work); the
// observer is called on that thread. Destroying a task teaches the weights.
class Task : public UnicastNotifier<TaskProgressObserver> {
public:
    // Milliseconds of a monotonic clock.
    using Clock = std::int64_t (*)();

    // weights may be null (weight 1.0); notifyIntervalMs: least time between two
    // progress notifications (the engine passes 1000); clock: null for the
    // system's monotonic clock (tests pass their own).
    Task(TaskType type, TaskWeights* weights, int notifyIntervalMs, Clock clock = nullptr);
    ~Task();
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    // Sets the volume and resets the status to Waiting; a total of 0 is Skipped,
    // done >= total is Done. Notifies the observer.
    void start(std::int64_t total, std::int64_t done, const std::string& text);
    // Throws InternalError (code 3) for a transition the status table refuses.
    void setStatus(TaskStatus to);
    void activate();
    void pause();
    void setCurrentItem(const std::string& name, std::int64_t size);
    // Counts amount more bytes done. force: notify regardless of the interval.
    // Throws InternalError when the task is neither running nor just finishing.
    void update(std::int64_t amount, bool force = false);

    unsigned id() const { return id_; }
    TaskType type() const { return type_; }
    TaskStatus status() const { return status_; }
    std::int64_t total() const { return total_; }
    std::int64_t done() const { return done_; }
    double percent() const { return percent_; }
    double speed() const { return speed_; } // bytes per millisecond
    double weight() const { return weight_; }
    std::int64_t elapsedMs() const { return elapsedMs_; } // running time at the last update
    const std::string& text() const { return text_; }
    const std::string& currentItem() const { return currentItem_; }
    std::int64_t currentItemTotal() const { return currentItemTotal_; }
    std::int64_t currentItemDone() const { return currentItemDone_; }

private:
    void notify();
    void startClock();
    void stopClock();
    std::int64_t runningMs() const;

    int savedStatus_ = -1;
    TaskStatus status_ = TaskStatus::Waiting;
    const TaskType type_;
    const unsigned id_;
    const int notifyIntervalMs_;
    std::int64_t total_ = 0;
    std::int64_t done_ = 0;
    std::int64_t doneAtStart_ = 0;
    const Clock clock_;
    bool clockRunning_ = false;    // the running time counts only while Running
    std::int64_t clockStart_ = 0;  // clock_() when it last started
    std::int64_t clockBanked_ = 0; // milliseconds of earlier running spans
    std::int64_t lastNotifyMs_ = 0;
    std::int64_t elapsedMs_ = 0;
    TaskWeights* const weights_;
    std::string currentItem_;
    std::int64_t currentItemTotal_ = 0;
    std::int64_t currentItemDone_ = 0;
    std::string text_;
    const double weight_;
    double percent_ = 0.0;
    double speed_ = 0.0;
    std::int64_t bytesSinceSpeed_ = 0;
    std::int64_t lastSpeedMs_ = 0;
};

// The adapter through which copy loops and downloads report bytes into a task
// and poll the stop state. Bytes reach the task in batches of at least 1 MiB,
// at each new named item, and at destruction.
class TaskUpdater {
public:
    // task may be null (bytes are then only counted for the stop polls).
    // Activates the task.
    TaskUpdater(std::shared_ptr<Task> task, StopState& stopState);
    // Passes the remaining bytes on and pauses the task if it is running.
    virtual ~TaskUpdater();
    TaskUpdater(const TaskUpdater&) = delete;
    TaskUpdater& operator=(const TaskUpdater&) = delete;

    // A new item begins. May throw Interrupted.
    virtual void onItem(const std::string& name, std::int64_t size);
    // count more bytes of the current item. May throw Interrupted.
    virtual void onBytes(std::int64_t count);

    static constexpr std::int64_t kBatchBytes = 1048576;

private:
    StopState& stopState_;
    std::int64_t pending_ = 0;
    const std::shared_ptr<Task> task_;
};

} // namespace Patcher
