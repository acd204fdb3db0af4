#pragma once

#include "distr/DiscGuard.h"
#include "base/Task.h"

namespace Patcher {

// Reports the bytes of one copy, hash or decode run into a task: reads when the
// direction is 0, writes when it is 1. T is HDDObserver, or HDDLockingObserver
// to serialise the run's disk access per drive as well.
template <class T>
class ForwardEvent : public T {
public:
    enum Direction { Reads = 0, Writes = 1 };

    // target is not owned and may be null.
    ForwardEvent(TaskUpdater* target, int direction) : target_(target), direction_(direction) {}

    void read(int operation, std::int64_t count, const char* data) override {
        T::read(operation, count, data);
        if (direction_ == Reads && target_ && operation == this->operation())
            target_->onBytes(count);
    }
    void write(int operation, std::int64_t count, const char* data) override {
        T::write(operation, count, data);
        if (direction_ == Writes && target_ && operation == this->operation())
            target_->onBytes(count);
    }

private:
    TaskUpdater* target_;
    int direction_;
};

} // namespace Patcher
