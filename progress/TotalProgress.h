#pragma once

#include "base/RunnableEx.h"
#include "base/Task.h"

#include <Poco/Event.h>
#include <Poco/Mutex.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Patcher {

// Volumes of one installation stage, as the launcher and the stage adapter see them.
struct StageRecord {
    std::int64_t stageSize = 0;        // all bytes of the stage
    std::int64_t updateSize = 0;       // bytes to download in the stage
    std::int64_t updateDownloaded = 0; // downloaded bytes counted in the stage
};

// What observers receive (IPC names in brackets).
struct TotalProgressRecord {
    std::int64_t speed = 0;     // [speed] download speed, KB/s
    std::int64_t itemDone = 0;  // [ci_proc_vol]
    std::int64_t itemTotal = 0; // [ci_tot_vol]
    std::int64_t done = 0;      // [proc_vol]
    std::int64_t total = 0;     // [totl_vol]
    int eta = 0;                // [eta] whole seconds left for the whole update
    unsigned stage = 0;         // [stage]
    double percent = 0.0;       // [percent] total percent
    std::string item;           // [item]
    std::string name;           // [type] "Download", "CalculationFinished" or "Prepare"
    std::vector<StageRecord> stages; // [stages] from stage 1 on
};

class TotalProgressObserver {
public:
    virtual ~TotalProgressObserver() = default;
    // Called on the thread that notifies (the progress thread, or the engine's
    // for the estimation and stage changes), under the model's lock.
    virtual void onTotalProgress(const TotalProgressRecord& record) = 0;
};

// A list of observers (plain pointers, not owned) with its own lock. An observer
// must stay alive until it is removed or the notifier stops notifying.
template <class T>
class MulticastNotifier {
public:
    // Refuses null and an observer already in the list.
    bool add(T* observer) {
        if (!observer)
            return false;
        Poco::FastMutex::ScopedLock lock(observersMutex_);
        if (std::find(observers_.begin(), observers_.end(), observer) != observers_.end())
            return false;
        observers_.push_back(observer);
        return true;
    }

    bool remove(T* observer) {
        Poco::FastMutex::ScopedLock lock(observersMutex_);
        auto it = std::find(observers_.begin(), observers_.end(), observer);
        if (it == observers_.end())
            return false;
        observers_.erase(it);
        return true;
    }

    bool hasObservers() const {
        Poco::FastMutex::ScopedLock lock(observersMutex_);
        return !observers_.empty();
    }

protected:
    // Calls fn(observer) for every observer in list order, under the list's lock.
    template <class Fn>
    void notifyAll(Fn fn) {
        Poco::FastMutex::ScopedLock lock(observersMutex_);
        for (T* o : observers_)
            fn(o);
    }

private:
    mutable Poco::FastMutex observersMutex_;
    std::vector<T*> observers_; // guarded by observersMutex_
};

// One registered task as the progress model sees it.
struct TaskProgressRecord {
    int id = 0;
    int remaining = 0; // seconds
    int elapsed = 0;   // seconds
    std::int64_t done = 0;
    std::int64_t total = 0;
    double percent = 0.0;
    double weight = 0.0;
    std::string item;
    std::int64_t itemDone = 0;
    std::int64_t itemTotal = 0;
    int itemPercent = 0;
    std::string typeName;
    std::string text;
    double speed = 0.0; // bytes per millisecond
    bool latest = false;
    int status = 0;
    int type = 0;
};

// Weighted total of the tasks' progress, rendered periodically by a display on
// the "Progress Thread" and forwarded to the observers. Lock order: the model's
// mutex, then the observer list's.
class TotalProgress : public TaskProgressObserver,
                      public MulticastNotifier<TotalProgressObserver>,
                      public RunnableEx {
public:
    // updatePeriod: milliseconds between two renders. console: whether the model
    // writes its banner and closing line feeds on the console.
    explicit TotalProgress(long updatePeriod, bool console = true);
    ~TotalProgress() override;

    // Makes the model the task's observer and records it under its id.
    void registerTask(Task& task);
    void onTaskProgress(const Task& task) override;
    // Tells the observers the plan: already present and overall sizes and the
    // stage list. Nothing happens while no observer is registered.
    void setEstimation(std::int64_t presentSize, std::int64_t overallSize, const std::vector<StageRecord>& stages);
    // Stores the current stage and notifies the observers at once.
    void setStage(unsigned stage);

    // Queues a banner of message (when not empty) and starts the thread.
    void start(const std::string& message);
    // Ends the thread after one last render (unless the total was exactly 100).
    void stop();
    // stop(), then forgets the tasks so the model can be started again.
    void finish();

    bool addObserver(TotalProgressObserver* observer) { return add(observer); }

    double totalPercent() const;
    std::int64_t processedVolume() const; // of the download record; 0 without one
    std::int64_t totalVolume() const;
    int elapsed() const; // seconds, summed over the records
    int eta() const;     // seconds, summed over the records

protected:
    // Draws the progress; called with the model's mutex held. May throw
    // InternalError for a percent outside 0..100, which ends the thread.
    virtual void render(double percent) = 0;

    // For the displays, with the model's mutex held (inside render()).
    const std::map<int, TaskProgressRecord>& records() const { return tasks_; }
    const TaskProgressRecord* downloadRecord() const;
    double totalPercentLocked() const;
    int elapsedLocked() const;
    int etaLocked() const;

private:
    void body() override;
    void renderAndNotify(double percent);
    void notify(double percent);

    const long updatePeriod_;
    const bool console_;
    Poco::Event stopEvent_; // manual reset

    // Calls out to render() and the observers while held: a task report then
    // waits for the render in progress, which keeps the records consistent.
    mutable Poco::FastMutex mutex_;
    std::map<int, TaskProgressRecord> tasks_; // guarded by mutex_
    TotalProgressRecord current_;             // guarded by mutex_
    unsigned stage_ = 1;                      // guarded by mutex_
    std::vector<StageRecord> stages_;         // guarded by mutex_
};

} // namespace Patcher
