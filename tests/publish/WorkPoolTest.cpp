#include "tools/publish/WorkPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>

using namespace Patcher;

TEST(WorkPool, RunsTheHeaviestWaitingJobFirstAndTiesInOrder) {
    WorkPool pool(1);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> blocking;
    std::mutex mutex;
    std::vector<std::string> order;
    pool.submit(0, [&] {
        blocking.set_value();
        released.wait();
    });
    blocking.get_future().wait(); // the single worker is busy: the rest queue up
    for (auto [weight, name] : std::vector<std::pair<int, std::string>>{{5, "a"}, {50, "b"}, {5, "c"}, {7, "d"}})
        pool.submit(weight, [&, name = name] {
            std::lock_guard<std::mutex> lock(mutex);
            order.push_back(name);
        });
    release.set_value();
    pool.wait();
    EXPECT_EQ(order, (std::vector<std::string>{"b", "d", "a", "c"}));
}

TEST(WorkPool, JobsMaySubmitJobsAndWaitCoversThemAll) {
    WorkPool pool(2);
    std::atomic<int> ran{0};
    for (int i = 0; i < 20; ++i)
        pool.submit(i, [&] {
            ++ran;
            for (int k = 0; k < 3; ++k)
                pool.submit(1, [&] { ++ran; });
        });
    pool.wait();
    EXPECT_EQ(ran, 80);
    pool.wait(); // nothing left: returns at once
}

TEST(WorkPool, TheFirstFailureCancelsWaitingJobsAndIsRethrownOnce) {
    WorkPool pool(1);
    std::atomic<int> ran{0};
    pool.submit(10, [] { throw std::runtime_error("broken"); });
    for (int i = 0; i < 5; ++i)
        pool.submit(1, [&] { ++ran; });
    try {
        pool.wait();
        FAIL() << "no failure";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "broken");
    }
    EXPECT_EQ(ran, 0);
    pool.submit(1, [&] { ++ran; }); // usable again
    pool.wait();
    EXPECT_EQ(ran, 1);
}
