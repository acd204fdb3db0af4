#pragma once

#include "base/Task.h"
#include "distr/DiscGuard.h"

#include <cstdint>

namespace Patcher {

// Feeds the blocks of a copy, hash or codec run into a task through its
// updater (which also polls the stop state), with the run's disk access
// serialised per drive. Counts either side: a hash reads, a decode writes more
// than it reads.
class TaskDiskObserver : public HDDLockingObserver {
public:
    enum class Count { Reads, Writes };

    TaskDiskObserver(TaskUpdater& updater, Count count) : updater_(updater), count_(count) {}

    void read(int operation, std::int64_t bytes, const char* data) override {
        HDDLockingObserver::read(operation, bytes, data);
        if (count_ == Count::Reads)
            updater_.onBytes(bytes);
    }
    void write(int operation, std::int64_t bytes, const char* data) override {
        HDDLockingObserver::write(operation, bytes, data);
        if (count_ == Count::Writes)
            updater_.onBytes(bytes);
    }

private:
    TaskUpdater& updater_;
    const Count count_;
};

} // namespace Patcher
