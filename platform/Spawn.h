#pragma once

#include <string>
#include <vector>

namespace platform {

// Runs a program (found through PATH) with args and waits for it. Standard input
// and output are the null device; standard error is captured into errorOutput.
// The child is started without copying the caller's address space, so starting
// it stays cheap however much memory the caller has touched (a fork would make
// every page of a busy encoder copy-on-write). Returns the exit code, 128 + the
// signal for a child killed by one, or -1 when it cannot be started (errorOutput
// then says why).
int spawnAndWait(const std::string& program, const std::vector<std::string>& args, std::string& errorOutput);

} // namespace platform
