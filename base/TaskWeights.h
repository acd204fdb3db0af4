#pragma once

#include "base/Task.h"

#include <map>
#include <mutex>
#include <string>

namespace Patcher {

// The cost of one unit of work of a task type, in time: the expected speed in
// bytes per millisecond is 100000 / weight.
struct WeightValue {
    double weight;
    bool isDefault;
};

// Per-type weights: built-in defaults, learnt from measured speeds during a run,
// kept in a weights file between runs. One process-wide instance
// (Singleton<TaskWeights>); every operation is thread-safe.
class TaskWeights {
public:
    // Starts with the eight defaults.
    TaskWeights();
    // Writes the learnt weights into the file given to load(), if any; a failure
    // is only logged.
    ~TaskWeights();
    TaskWeights(const TaskWeights&) = delete;
    TaskWeights& operator=(const TaskWeights&) = delete;

    // The process-wide instance; throws std::logic_error before it is created.
    static TaskWeights& instance();

    void setDefaults();
    // A new type is inserted. Overriding a type rescales every weight still at
    // its default by the same ratio; throws InternalError (code 3) when value is
    // a default for a type that exists.
    void set(TaskType type, WeightValue value);
    // Throws InternalError (code 3) for a type without an entry.
    double weight(TaskType type) const;
    double totalWeight() const;
    // Remembers path for saving and reads "name weight" pairs from it when it
    // exists. Reading stops at the first bad pair; what was read before stays.
    void load(const std::string& path);
    // Replaces the weight of the task's type by the one its measured speed gives,
    // for a task that ran observed for more than 5 seconds.
    void learn(const Task& task);

private:
    void setLocked(TaskType type, WeightValue value);
    void save() const;

    mutable std::mutex mutex_;
    std::map<TaskType, WeightValue> weights_; // guarded by mutex_
    double totalWeight_ = 0.0;                // guarded by mutex_
    std::string weightsFile_;                 // guarded by mutex_
};

} // namespace Patcher
