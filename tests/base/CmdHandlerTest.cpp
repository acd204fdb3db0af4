#include "base/CmdHandler.h"
#include "base/Errors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace Patcher;

// check() returns only after the resume: the poller sees the resume flag set
// when its check() comes back. (A stop while paused is StopStateRaceTest's.)
TEST(StopStateTest, PauseBlocksCheckUntilResume) {
    StopState state;
    state.pause();
    std::atomic<bool> started{false};
    std::atomic<bool> resumed{false};
    bool resumedWhenReturned = false;
    std::thread poller([&] {
        started = true;
        state.check();
        resumedWhenReturned = resumed;
    });
    while (!started)
        std::this_thread::yield();
    resumed = true;
    state.resume();
    poller.join();
    EXPECT_TRUE(resumedWhenReturned) << "check() returned while paused";
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
