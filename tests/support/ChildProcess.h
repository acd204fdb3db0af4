#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// A program of the build run as a child process, its standard output and error
// captured in the background. Tests use it for exit codes, signals and kills.
class ChildProcess {
public:
    struct Options {
        std::string workingDir;                  // empty: inherit
        std::map<std::string, std::string> env;  // added to the inherited environment
    };

    ChildProcess(const std::string& program, const std::vector<std::string>& args, const Options& options = {});
    ~ChildProcess(); // kills a child still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Exit code, or 128 + signal for a child killed by a signal. Kills the child
    // and fails the test (returns -1) when it outlives timeoutMs.
    int wait(int timeoutMs = 30000);
    void signal(int sig);
    bool running();
    int pid() const { return pid_; }

    // Blocks until the captured standard output holds text (or the timeout).
    bool waitForOutput(const std::string& text, int timeoutMs = 30000);
    std::string out() const;
    std::string err() const;

private:
    struct Capture;
    int pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    std::unique_ptr<Capture> capture_;
};

// Runs a program to its end: {exit code, stdout, stderr}.
struct RunResult {
    int code;
    std::string out;
    std::string err;
};
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const ChildProcess::Options& options = {}, int timeoutMs = 30000);

} // namespace testsupport
