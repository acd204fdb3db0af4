// The launcher link end to end: the application shell with a reporting command
// handler (ipc_app) connected to patcher-launcher, both as child processes.
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

#include <Poco/File.h>
#include <Poco/Pipe.h>
#include <Poco/PipeStream.h>
#include <Poco/Process.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

using namespace testsupport;

namespace {

// patcher-launcher with its standard streams in the test's hands.
class Launcher {
public:
    explicit Launcher(std::vector<std::string> args) {
        args.push_back("--show-length");
        args.push_back("--timeout");
        args.push_back("30");
        handle_ = std::make_unique<Poco::ProcessHandle>(
            Poco::Process::launch(buildDir() + "tools/launcher/patcher-launcher", args, &in_, &out_, &err_));
        Poco::PipeInputStream err(err_);
        std::string line;
        std::getline(err, line); // "listening on port N"
        port_ = std::stoi(line.substr(line.rfind(' ') + 1));
        reader_ = std::thread([this] {
            Poco::PipeInputStream out(out_);
            std::string l;
            while (std::getline(out, l)) {
                std::lock_guard<std::mutex> lock(mutex_);
                lines_.push_back(l);
                changed_.notify_all();
            }
        });
    }
    ~Launcher() {
        if (handle_ && Poco::Process::isRunning(*handle_))
            Poco::Process::kill(*handle_);
        if (reader_.joinable())
            reader_.join();
    }

    int port() const { return port_; }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    // Waits up to ten seconds for the received lines to satisfy cond.
    bool waitFor(const std::function<bool(const std::vector<std::string>&)>& cond) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return cond(lines_); });
    }
    void kill() { Poco::Process::kill(*handle_); }
    int wait() {
        int code = handle_->wait();
        reader_.join();
        return code;
    }

private:
    Poco::Pipe in_, out_, err_;
    std::unique_ptr<Poco::ProcessHandle> handle_;
    int port_ = 0;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
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

    ChildProcess::Options mode(const std::string& m) {
        ChildProcess::Options o;
        o.env["PATCHER_TEST_MODE"] = m;
        return o;
    }
    std::vector<std::string> args(int port) {
        return {"--game-id", "77", "--server-port", std::to_string(port), "--progress", "brief",
                "--progress-update-freq", "60000", "--log-dir", dir.file("logs"), "--log-file", "run",
                "--name", "live"};
    }

    TempDir dir;
    std::string app = dir.file("bin/ipc_app");
};

} // namespace

TEST_F(IpcAppTest, AFailedRunSendsOneErrorReportThenTheExitReport) {
    Launcher launcher({});
    RunResult r = runProgram(app, args(launcher.port()), mode("fail"));
    EXPECT_EQ(70, r.code);
    EXPECT_TRUE(has(r.out, "UpdateError: SHA1 check error: SHA1 verification failed for the file: pack01, Code: 4"))
        << r.out;
    EXPECT_EQ(0, launcher.wait());
    auto lines = launcher.lines();
    ASSERT_GE(lines.size(), 3u);
    std::string error = "{\"name\": \"error\", \"type\": \"Patcher::SHA1CheckError\", \"desc\": \"SHA1 check error: "
                        "SHA1 verification failed for the file: pack01\", \"code\": 4}";
    EXPECT_EQ(std::to_string(error.size()) + " " + error, lines[lines.size() - 2]);
    EXPECT_EQ("28 {\"name\": \"exit\", \"code\": 70}", lines.back());
    std::size_t errors = 0;
    for (const std::string& l : lines)
        errors += has(l, "\"name\": \"error\"") ? 1 : 0;
    EXPECT_EQ(1u, errors);

    // A text too long for one frame makes send() throw: the exit report still goes.
    Launcher second({});
    r = runProgram(app, args(second.port()), mode("huge"));
    EXPECT_EQ(70, r.code);
    EXPECT_TRUE(has(r.out, "Failed to send message to IPC.")) << r.out.substr(0, 2000);
    EXPECT_EQ(0, second.wait());
    ASSERT_FALSE(second.lines().empty());
    EXPECT_EQ("28 {\"name\": \"exit\", \"code\": 70}", second.lines().back());
}

// The launcher gone while nothing is being sent: only the receiving loop sees
// it, and a run nobody can stop any more must end.
TEST_F(IpcAppTest, ALauncherThatGoesAwayEndsTheRunInterrupted) {
    Launcher launcher({});
    ChildProcess run(app, args(launcher.port()), mode("quiet"));
    // Progress comes before the handler is in its wait: a stop then would name
    // another operation.
    ASSERT_TRUE(run.waitForOutput("Waiting for a stop", 10000)) << run.out();
    launcher.kill();
    EXPECT_EQ(70, run.wait());
    EXPECT_TRUE(has(run.out(), "INTERRUPTED: ReportingHandler::quiet")) << run.out();
}

// A launcher that stops reading: once the link is full, the run is stopped
// after the send timeout instead of hanging in a progress report.
TEST_F(IpcAppTest, ALauncherThatNeverReadsStopsTheRunAfterTheSendTimeout) {
    writeFile(dir.file("bin/ipc_app.user.properties"), "app.ipc-send-timeout = 500\n");
    Launcher launcher({"--never-read", "--receive-buffer", "2048"});
    ChildProcess run(app, args(launcher.port()), mode("flood"));
    EXPECT_EQ(70, run.wait(20000)) << run.out();
    EXPECT_TRUE(has(run.out(), "ERROR: Timeout: the launcher read nothing for 500 ms")) << run.out();
    EXPECT_TRUE(has(run.out(), "INTERRUPTED: ReportingHandler::flood")) << run.out();
}
