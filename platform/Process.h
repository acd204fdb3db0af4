#pragma once

#include <string>

namespace platform {

// Runs a command script with one argument in workDir and waits for it; returns
// its exit code. POSIX: "/bin/sh script argument". Throws Poco::SystemException
// when the interpreter cannot be started.
int runScript(const std::string& script, const std::string& argument, const std::string& workDir);

} // namespace platform

namespace platform {

// Writing to a pipe whose reader has gone must fail with EPIPE, not end the
// process: turns SIGPIPE off for the process (idempotent).
void ignoreBrokenPipes();

} // namespace platform
