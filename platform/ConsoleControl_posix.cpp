#include "platform/ConsoleControl.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace platform {
namespace {

std::atomic<ConsoleControlHandler> gHandler{nullptr};
int gPipe[2] = {-1, -1};

// Only async-signal-safe work here: hand the signal number to the dispatch thread.
extern "C" void onSignal(int sig) {
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(sig);
    ssize_t n = ::write(gPipe[1], &byte, 1);
    (void)n;
    errno = saved;
}

int typeOf(int sig) {
    switch (sig) {
    case SIGINT: return kCtrlC;
    case SIGQUIT: return kCtrlBreak;
    default: return kCtrlClose; // SIGHUP, SIGTERM
    }
}

void dispatch() {
    for (;;) {
        unsigned char byte = 0;
        ssize_t n = ::read(gPipe[0], &byte, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        int sig = byte;
        ConsoleControlHandler handler = gHandler;
        if (!handler || !handler(typeOf(sig))) {
            ::signal(sig, SIG_DFL);
            ::kill(::getpid(), sig);
        }
    }
}

void installOnce() {
    if (::pipe(gPipe) != 0)
        return;
    ::fcntl(gPipe[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(gPipe[1], F_SETFD, FD_CLOEXEC);
    ::fcntl(gPipe[1], F_SETFL, O_NONBLOCK);
    std::thread(dispatch).detach();
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM})
        ::sigaction(sig, &sa, nullptr);
}

} // namespace

void setConsoleControlHandler(ConsoleControlHandler handler) {
    static std::once_flag once;
    gHandler = handler;
    std::call_once(once, installOnce);
}

} // namespace platform
