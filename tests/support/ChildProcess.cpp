#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testsupport {

struct ChildProcess::Capture {
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::string out, err;
    std::thread outReader, errReader;

    void read(int fd, std::string Capture::*target) {
        char buffer[4096];
        for (;;) {
            ssize_t n = ::read(fd, buffer, sizeof(buffer));
            if (n <= 0)
                break;
            std::lock_guard<std::mutex> lock(mutex);
            (this->*target).append(buffer, static_cast<std::size_t>(n));
            changed.notify_all();
        }
        ::close(fd);
    }
    void join() {
        if (outReader.joinable())
            outReader.join();
        if (errReader.joinable())
            errReader.join();
    }
};

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const Options& options)
    : capture_(new Capture) {
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");

    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        auto eq = entry.find('=');
        if (eq != std::string::npos && options.env.count(entry.substr(0, eq)))
            continue;
        envText.push_back(entry);
    }
    for (const auto& kv : options.env)
        envText.push_back(kv.first + "=" + kv.second);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : envText)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        // Signals blocked or ignored by the test runner must not leak into the child.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGPIPE})
            ::signal(sig, SIG_DFL);
        if (!options.workingDir.empty() && ::chdir(options.workingDir.c_str()) != 0)
            ::_exit(127);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    Capture* c = capture_.get();
    c->outReader = std::thread([c, fd = outPipe[0]] { c->read(fd, &Capture::out); });
    c->errReader = std::thread([c, fd = errPipe[0]] { c->read(fd, &Capture::err); });
}

ChildProcess::~ChildProcess() {
    if (!reaped_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
    }
    capture_->join();
}

int ChildProcess::wait(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!reaped_) {
        pid_t r = ::waitpid(pid_, &status_, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status_, 0);
            reaped_ = true;
            capture_->join();
            ADD_FAILURE() << "child did not end within " << timeoutMs << " ms; stdout:\n"
                          << out() << "\nstderr:\n" << err();
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    capture_->join();
    if (WIFEXITED(status_))
        return WEXITSTATUS(status_);
    if (WIFSIGNALED(status_))
        return 128 + WTERMSIG(status_);
    return -1;
}

void ChildProcess::signal(int sig) {
    if (!reaped_)
        ::kill(pid_, sig);
}

bool ChildProcess::running() {
    if (reaped_)
        return false;
    pid_t r = ::waitpid(pid_, &status_, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        return false;
    }
    return true;
}

bool ChildProcess::waitForOutput(const std::string& text, int timeoutMs) {
    std::unique_lock<std::mutex> lock(capture_->mutex);
    return capture_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                      [&] { return capture_->out.find(text) != std::string::npos; });
}

std::string ChildProcess::out() const {
    std::lock_guard<std::mutex> lock(capture_->mutex);
    return capture_->out;
}

std::string ChildProcess::err() const {
    std::lock_guard<std::mutex> lock(capture_->mutex);
    return capture_->err;
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const ChildProcess::Options& options, int timeoutMs) {
    ChildProcess child(program, args, options);
    int code = child.wait(timeoutMs);
    return RunResult{code, child.out(), child.err()};
}

} // namespace testsupport
