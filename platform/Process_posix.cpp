#include "platform/Process.h"

#include <Poco/Process.h>

namespace platform {

int runScript(const std::string& script, const std::string& argument, const std::string& workDir) {
    Poco::Process::Args args{script, argument};
    Poco::ProcessHandle handle = Poco::Process::launch("/bin/sh", args, workDir);
    return handle.wait();
}

} // namespace platform

#include <csignal>

namespace platform {

void ignoreBrokenPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace platform
