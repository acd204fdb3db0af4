#include "app/CmdHandler.h"
#include "app/Errors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace Patcher;

TEST(StopStateTest, StopRaisesInterruptedWithTheCurrentOperation) {
    StopState state;
    state.setMessage("Patcher::DistrManager::applySolution");
    EXPECT_NO_THROW(state.check());
    state.stop();
    try {
        state.check();
        FAIL() << "check() after stop()";
    } catch (const Interrupted& e) {
        EXPECT_EQ("Patcher::DistrManager::applySolution", e.message());
        EXPECT_EQ(1, e.code());
    }
}

TEST(StopStateTest, PauseBlocksUntilResumeOrStop) {
    for (bool stopInstead : {false, true}) {
        StopState state;
        state.setMessage("op");
        state.pause();
        std::atomic<int> returned{0};
        std::atomic<bool> interrupted{false};
        std::thread poller([&] {
            try {
                state.check(); // blocks
                returned = 1;
                state.check();
            } catch (const Interrupted&) {
                interrupted = true;
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(0, returned.load()) << "check() must block while paused";
        if (stopInstead)
            state.stop();
        else
            state.resume();
        poller.join();
        EXPECT_EQ(stopInstead, interrupted.load());
        if (!stopInstead) {
            EXPECT_EQ(1, returned.load());
        }
    }
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
