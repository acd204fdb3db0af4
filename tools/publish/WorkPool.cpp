#include "tools/publish/WorkPool.h"

namespace Patcher {

WorkPool::WorkPool(int threads) {
    for (int i = 0; i < std::max(1, threads); ++i)
        workers_.emplace_back([this] { work(); });
}

WorkPool::~WorkPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
        queue_ = {};
    }
    wake_.notify_all();
    for (auto& t : workers_)
        t.join();
}

void WorkPool::submit(std::int64_t weight, Job job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (failure_ || closing_)
            return;
        queue_.push(Item{weight, serial_++, std::move(job)});
    }
    wake_.notify_one();
}

void WorkPool::cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_ = {};
    if (running_ == 0)
        idle_.notify_all();
}

void WorkPool::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return queue_.empty() && running_ == 0; });
    if (failure_) {
        auto failure = failure_;
        failure_ = nullptr;
        std::rethrow_exception(failure);
    }
}

void WorkPool::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return closing_ || !queue_.empty(); });
        if (closing_)
            return;
        Job job = std::move(const_cast<Item&>(queue_.top()).job);
        queue_.pop();
        ++running_;
        lock.unlock();
        try {
            job();
        } catch (...) {
            lock.lock();
            if (!failure_)
                failure_ = std::current_exception();
            queue_ = {};
            lock.unlock();
        }
        job = nullptr;
        lock.lock();
        --running_;
        if (running_ == 0 && queue_.empty())
            idle_.notify_all();
    }
}

} // namespace Patcher
