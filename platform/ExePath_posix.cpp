#include "platform/ExePath.h"

#include <climits>

#include <unistd.h>

namespace platform {

std::string executablePath() {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer));
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof(buffer))
        return std::string();
    return std::string(buffer, static_cast<std::size_t>(n));
}

} // namespace platform
