#include "base/CmdHandler.h"
#include "base/Errors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

using namespace Patcher;

// A pause that follows a stop must not put a waiting check() back to sleep.
TEST(StopStateRaceTest, StopThenPauseWakesAWaitingCheckEveryTime) {
    int hung = 0;
    int returnedWithoutRaising = 0;
    for (int i = 0; i < 1000 && hung == 0; ++i) {
        StopState state;
        state.setMessage("op");
        state.pause();
        std::atomic<bool> started{false};
        std::promise<bool> raised;
        std::future<bool> result = raised.get_future();
        std::thread poller([&] {
            started = true;
            try {
                state.check();
                raised.set_value(false);
            } catch (const Interrupted&) {
                raised.set_value(true);
            }
        });
        while (!started)
            std::this_thread::yield();
        if (i % 2)
            std::this_thread::yield(); // vary whether the poller is already waiting
        state.stop();
        state.pause();
        if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ++hung;
            state.resume(); // release the poller so the test can end
        } else if (!result.get()) {
            ++returnedWithoutRaising;
        }
        poller.join();
    }
    EXPECT_EQ(0, hung);
    EXPECT_EQ(0, returnedWithoutRaising) << "check() must raise once stopped";
}

TEST(StopStateRaceTest, AStopIsFinalPauseAndResumeDoNothingAfterIt) {
    StopState state;
    state.setMessage("Patcher::DistrManager::applyDelta");
    state.stop();
    state.pause();
    EXPECT_FALSE(state.isPaused());
    try {
        state.check(); // must raise at once, not wait for a resume
        FAIL() << "check() returned after a stop";
    } catch (const Interrupted& e) {
        EXPECT_EQ("Patcher::DistrManager::applyDelta", e.message());
        EXPECT_EQ(kInterruptedCode, e.code());
    }
    state.resume();
    EXPECT_TRUE(state.isStopped());
    EXPECT_THROW(state.check(), Interrupted);
}
