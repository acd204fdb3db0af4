#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

namespace Patcher {

// A fixed set of worker threads running jobs, heaviest first, so that the longest
// jobs start early and the cores finish together. Jobs may submit more jobs. The
// first job to throw cancels the jobs not yet started; wait() rethrows it.
class WorkPool {
public:
    using Job = std::function<void()>;

    explicit WorkPool(int threads);
    ~WorkPool(); // cancels what has not started and joins
    WorkPool(const WorkPool&) = delete;
    WorkPool& operator=(const WorkPool&) = delete;

    // weight: the job's expected cost (bytes), larger runs earlier; ties run in
    // submission order. Any thread.
    void submit(std::int64_t weight, Job job);
    // Blocks until every submitted job has run (or was cancelled); rethrows the
    // first failure. Call from outside the pool.
    void wait();
    // Drops the jobs not yet started. Any thread.
    void cancel();


private:
    struct Item {
        std::int64_t weight;
        std::uint64_t serial;
        Job job;
        bool operator<(const Item& other) const {
            return weight != other.weight ? weight < other.weight : serial > other.serial;
        }
    };

    void work();

    std::mutex mutex_;
    std::condition_variable wake_;         // workers: a job or the end
    std::condition_variable idle_;         // wait(): the last job ended
    std::priority_queue<Item> queue_;      // guarded by mutex_
    std::uint64_t serial_ = 0;             // guarded by mutex_
    int running_ = 0;                      // guarded by mutex_
    bool closing_ = false;                 // guarded by mutex_
    std::exception_ptr failure_;           // guarded by mutex_

    std::vector<std::thread> workers_;     // constant after construction
};

} // namespace Patcher
