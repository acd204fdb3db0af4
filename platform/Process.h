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

#include <cstddef>

namespace platform {

// Writes all size bytes to the write end of a pipe, giving up once timeoutMs
// pass without the reader taking them (false). The descriptor is made
// non-blocking. Throws Poco::WriteFileException when the write fails (the
// reader has gone).
bool writeWithin(int fd, const void* data, std::size_t size, int timeoutMs);

} // namespace platform

namespace platform {

// Bytes written to a connected TCP socket that the peer has not acknowledged
// yet; -1 when the system cannot tell.
long long unsentBytes(int fd);

} // namespace platform
