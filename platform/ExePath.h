#pragma once

#include <string>

namespace platform {

// Absolute path of the running executable; empty when the system cannot tell.
std::string executablePath();

} // namespace platform
