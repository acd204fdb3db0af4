#include "platform/Process.h"

#include <Poco/Process.h>

namespace platform {

int runScript(const std::string& script, const std::string& argument, const std::string& workDir) {
    Poco::Process::Args args{script, argument};
    Poco::ProcessHandle handle = Poco::Process::launch("/bin/sh", args, workDir);
    return handle.wait();
}

} // namespace platform

#include <Poco/Exception.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace platform {

void ignoreBrokenPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace platform

namespace platform {

bool writeWithin(int fd, const void* data, std::size_t size, int timeoutMs) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1 && !(flags & O_NONBLOCK))
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const char* next = static_cast<const char*>(data);
    std::size_t left = size;
    while (left > 0) {
        const ssize_t n = ::write(fd, next, left);
        if (n > 0) {
            next += n;
            left -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            throw Poco::WriteFileException(std::string("Failed to write to a pipe: ") + std::strerror(errno), errno);
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (wait.count() <= 0)
            return false;
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(wait.count()));
        if (ready < 0 && errno != EINTR)
            throw Poco::WriteFileException(std::string("Failed to wait for a pipe: ") + std::strerror(errno), errno);
        if (ready > 0 && (p.revents & (POLLERR | POLLHUP)) && !(p.revents & POLLOUT))
            throw Poco::WriteFileException("Failed to write to a pipe: the reader has gone", EPIPE);
    }
    return true;
}

long long unsentBytes(int fd) {
    int queued = 0;
    return ::ioctl(fd, SIOCOUTQ, &queued) == 0 ? queued : -1;
}

} // namespace platform
