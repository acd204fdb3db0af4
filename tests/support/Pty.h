#pragma once

#include <gtest/gtest.h>

#include <string>

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace testsupport {

// A pseudo-terminal of the given width with output post-processing off, so the
// bytes read back from the master are exactly the bytes written to the slave.
class Pty {
public:
    explicit Pty(int columns = 80) {
        struct winsize ws {};
        ws.ws_col = static_cast<unsigned short>(columns);
        ws.ws_row = 24;
        EXPECT_EQ(0, ::openpty(&master_, &slave_, nullptr, nullptr, &ws));
        struct termios tio {};
        ::tcgetattr(slave_, &tio);
        tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        ::tcsetattr(slave_, TCSANOW, &tio);
        ::fcntl(master_, F_SETFL, O_NONBLOCK);
    }
    ~Pty() {
        ::close(master_);
        ::close(slave_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int slave() const { return slave_; }
    // Everything written so far and not yet read.
    std::string drain() {
        std::string all;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(master_, buffer, sizeof(buffer))) > 0)
            all.append(buffer, static_cast<std::size_t>(n));
        return all;
    }

private:
    int master_ = -1;
    int slave_ = -1;
};

} // namespace testsupport
