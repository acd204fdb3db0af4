#include "tools/publish/WorkPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

using namespace Patcher;

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
