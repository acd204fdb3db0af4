#include "base/CmdHandler.h"
#include "base/Errors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

using namespace Patcher;

// A pause that follows a stop must not put a waiting check() back to sleep,
// nor a resume undo the stop.
TEST(StopStateRaceTest, StopThenPauseWakesAWaitingCheckEveryTime) {
    for (int i = 0; i < 1000; ++i) {
        StopState state;
        state.setMessage("op");
        state.pause();
        std::atomic<bool> started{false};
        std::future<bool> raised = std::async(std::launch::async, [&] {
            started = true;
            try {
                state.check();
                return false;
            } catch (const Interrupted& e) {
                return e.message() == "op" && e.code() == kInterruptedCode;
            }
        });
        while (!started)
            std::this_thread::yield();
        // Vary where the stop meets the poller: at the entry of check(), or
        // in its wait.
        for (volatile int spin = 0; spin < i % 97 * 8; spin = spin + 1) {
        }
        if (i % 2)
            std::this_thread::yield();
        state.stop();
        state.pause();
        if (raised.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            state.resume(); // release the poller so the test can end
            FAIL() << "check() hung after a stop, round " << i;
        }
        ASSERT_TRUE(raised.get()) << "check() must raise the stop once stopped, round " << i;
        state.resume(); // a stop is final
        ASSERT_THROW(state.check(), Interrupted) << "round " << i;
    }
}

// check() returns only after the resume: the poller sees the resume flag set
// when its check() comes back. (A stop while paused is StopStateRaceTest's.)
TEST(StopStateTest, PauseBlocksCheckUntilResume) {
    StopState state;
    state.pause();
    std::atomic<bool> started{false}, resumed{false};
    std::future<bool> resumedWhenReturned = std::async(std::launch::async, [&] {
        started = true;
        state.check();
        return resumed.load();
    });
    while (!started)
        std::this_thread::yield();
    resumed = true;
    state.resume();
    EXPECT_TRUE(resumedWhenReturned.get()) << "check() returned while paused";
    EXPECT_NO_THROW(state.check());
}

namespace {
struct CountingHandler : CmdHandler {
    void run() override {}
    void onStop() override { ++stops; }
    int stops = 0;
};
} // namespace

TEST(CmdHandlerTest, ConsoleControlStopsTheLiveHandlerForTypesZeroToTwo) {
    EXPECT_FALSE(CmdHandler::onConsoleControl(0)) << "no handler alive";
    {
        CountingHandler handler;
        EXPECT_EQ(&handler, CmdHandler::current());
        EXPECT_FALSE(CmdHandler::onConsoleControl(5)); // logoff
        EXPECT_FALSE(CmdHandler::onConsoleControl(6)); // shutdown
        EXPECT_FALSE(handler.stopState().isStopped());
        EXPECT_TRUE(CmdHandler::onConsoleControl(2));
        EXPECT_EQ(1, handler.stops);
        EXPECT_TRUE(handler.stopState().isStopped());
    }
    EXPECT_EQ(nullptr, CmdHandler::current());
}
