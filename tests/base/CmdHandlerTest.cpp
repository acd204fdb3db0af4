#include "base/CmdHandler.h"
#include "base/Errors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

using namespace Patcher;

TEST(StopStateTest, PauseBlocksUntilResumeOrAStopThatRaisesInterruptedNamingTheOperation) {
    for (bool stopInstead : {false, true}) {
        StopState state;
        state.setMessage("op");
        state.pause();
        std::atomic<int> returned{0};
        std::string interrupted; // message and code; read after the join
        std::thread poller([&] {
            try {
                state.check(); // blocks
                returned = 1;
                state.check();
            } catch (const Interrupted& e) {
                interrupted = e.message() + " " + std::to_string(e.code());
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(0, returned.load()) << "check() must block while paused";
        if (stopInstead)
            state.stop();
        else
            state.resume();
        poller.join();
        EXPECT_EQ(stopInstead ? "op 1" : "", interrupted);
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
