#include "platform/Terminal.h"

#include <cerrno>

#include <sys/ioctl.h>
#include <unistd.h>

namespace platform {

std::unique_ptr<Terminal> Terminal::standardOutput() { return std::make_unique<Terminal>(STDOUT_FILENO); }

Terminal::Terminal(int fd) : fd_(fd), redirected_(::isatty(fd) == 0) {}

int Terminal::width() const {
    struct winsize ws {};
    if (!redirected_ && ::ioctl(fd_, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return 80;
}

void Terminal::write(const std::string& bytes) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd_, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

void Terminal::moveUpToLineStart(int rows) {
    if (redirected_)
        return;
    std::string seq = "\r";
    if (rows > 0)
        seq += "\x1b[" + std::to_string(rows) + "A";
    write(seq);
}

} // namespace platform
