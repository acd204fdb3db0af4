// The launcher link end to end: the application shell with a reporting command
// handler (ipc_app) connected to patcher-launcher, both as child processes.
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

using namespace testsupport;

namespace {

// patcher-launcher as a child process; it names its port on standard error.
struct Launcher {
    explicit Launcher(std::vector<std::string> args) {
        args.insert(args.end(), {"--show-length", "--timeout", "30"});
        child = std::make_unique<ChildProcess>(buildDir() + "tools/launcher/patcher-launcher", args);
        for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
             !port && std::chrono::steady_clock::now() < deadline;) {
            const std::string err = child->err();
            const auto at = err.find("listening on port ");
            if (at != std::string::npos && err.find('\n', at) != std::string::npos)
                port = std::stoi(err.substr(at + 18));
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_NE(0, port) << child->err();
    }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::istringstream in(child->out());
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }

    std::unique_ptr<ChildProcess> child;
    int port = 0;
};

bool has(const std::string& line, const std::string& part) { return line.find(part) != std::string::npos; }

// ipc_app installed in a directory of its own (the weights directory goes beside it).
class IpcAppTest : public ::testing::Test {
protected:
    IpcAppTest() {
        Poco::File(dir.file("bin")).createDirectories();
        Poco::File(buildDir() + "tests/progress/ipc_app").copyTo(app);
        writeFile(app + ".properties", readFile(sourceDir() + "app/patcher.properties"));
    }

    ChildProcess::Options mode(const std::string& m) { return {"", {{"PATCHER_TEST_MODE", m}}}; }
    std::vector<std::string> args(int port) {
        return {"--game-id", "77", "--server-port", std::to_string(port), "--progress", "brief",
                "--progress-update-freq", "60000", "--log-dir", dir.file("logs"), "--log-file", "run"};
    }

    TempDir dir;
    std::string app = dir.file("bin/ipc_app");
};

} // namespace

TEST_F(IpcAppTest, AFailedRunSendsOneErrorReportThenTheExitReport) {
    Launcher launcher({});
    RunResult r = runProgram(app, args(launcher.port), mode("fail"));
    EXPECT_EQ(70, r.code);
    EXPECT_TRUE(has(r.out, "UpdateError: SHA1 check error: SHA1 verification failed for the file: pack01, Code: 4"))
        << r.out;
    EXPECT_EQ(0, launcher.child->wait());
    auto lines = launcher.lines();
    ASSERT_GE(lines.size(), 3u);
    std::string error = "{\"name\": \"error\", \"type\": \"Patcher::SHA1CheckError\", \"desc\": \"SHA1 check error: "
                        "SHA1 verification failed for the file: pack01\", \"code\": 4}";
    EXPECT_EQ(std::to_string(error.size()) + " " + error, lines[lines.size() - 2]);
    EXPECT_EQ("28 {\"name\": \"exit\", \"code\": 70}", lines.back());
    EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(), [](auto& l) { return has(l, "\"name\": \"error\""); }));

    // A text too long for one frame makes send() throw: the exit report still goes.
    Launcher second({});
    r = runProgram(app, args(second.port), mode("huge"));
    EXPECT_EQ(70, r.code);
    EXPECT_TRUE(has(r.out, "Failed to send message to IPC.")) << r.out.substr(0, 2000);
    EXPECT_EQ(0, second.child->wait());
    ASSERT_FALSE(second.lines().empty());
    EXPECT_EQ("28 {\"name\": \"exit\", \"code\": 70}", second.lines().back());
}

// A launcher that stops reading: once the link is full, the run is stopped
// after the send timeout instead of hanging in a progress report.
TEST_F(IpcAppTest, ALauncherThatNeverReadsStopsTheRunAfterTheSendTimeout) {
    writeFile(dir.file("bin/ipc_app.user.properties"), "app.ipc-send-timeout = 500\n");
    Launcher launcher({"--never-read", "--receive-buffer", "2048"});
    ChildProcess run(app, args(launcher.port), mode("flood"));
    EXPECT_EQ(70, run.wait(20000)) << run.out();
    EXPECT_TRUE(has(run.out(), "ERROR: Timeout: the launcher read nothing for 500 ms")) << run.out();
    EXPECT_TRUE(has(run.out(), "INTERRUPTED: ReportingHandler::flood")) << run.out();
}
