#include "platform/Spawn.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <thread>

#include <pthread.h>

using platform::spawnAndWait;

TEST(SpawnTest, ExitCodesSignalsAndErrorOutput) {
    std::string err;
    EXPECT_EQ(0, spawnAndWait("true", {}, err));
    EXPECT_EQ(3, spawnAndWait("sh", {"-c", "echo out; echo oops >&2; exit 3"}, err));
    EXPECT_EQ("oops\n", err) << "standard output goes to the null device";
    EXPECT_EQ(128 + SIGKILL, spawnAndWait("sh", {"-c", "kill -KILL $$"}, err));
    EXPECT_EQ(-1, spawnAndWait("/nonexistent/program", {}, err));
    EXPECT_NE(std::string::npos, err.find("cannot start /nonexistent/program")) << err;
}

// Worker threads block signals and the updater ignores SIGPIPE; the programs it
// starts must not inherit either.
TEST(SpawnTest, ChildStartsWithDefaultSignals) {
    int code = -1;
    std::string err;
    std::thread worker([&] {
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGTERM);
        sigaddset(&blocked, SIGQUIT);
        pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
        struct sigaction ignore {}, old {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, &old);
        // dd reports its own state; a shell would clear its mask at start.
        code = spawnAndWait("dd", {"if=/proc/self/status", "of=/dev/stderr", "status=none"}, err);
        sigaction(SIGPIPE, &old, nullptr);
    });
    worker.join();
    ASSERT_EQ(0, code) << err;
    auto mask = [&err](const std::string& name) {
        const auto at = err.find(name + ":\t");
        return at == std::string::npos ? ~0ull : std::stoull(err.substr(at + name.size() + 2, 16), nullptr, 16);
    };
    EXPECT_EQ(0ull, mask("SigBlk")) << err;
    EXPECT_EQ(0ull, mask("SigIgn") & (1ull << (SIGPIPE - 1))) << err;
}
