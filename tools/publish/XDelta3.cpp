#include "tools/publish/XDelta3.h"

#include "platform/Spawn.h"

#include <algorithm>

namespace Patcher {

XDelta3::XDelta3(std::string program) : program_(std::move(program)) {}

std::int64_t XDelta3::sourceWindow(std::int64_t oldSize) {
    return std::clamp(oldSize, kMinWindow, kMaxWindow);
}

int XDelta3::run(const std::vector<std::string>& args, std::string& error) const {
    const int code = platform::spawnAndWait(program_, args, error);
    while (!error.empty() && (error.back() == '\n' || error.back() == '\r'))
        error.pop_back();
    return code;
}

bool XDelta3::encode(const std::string& oldFile, const std::string& newFile, const std::string& delta,
                     std::int64_t oldSize, std::string& error) const {
    const int code = run({"-e", "-f", "-D", "-A", "-S", "none", "-B", std::to_string(sourceWindow(oldSize)), "-s",
                          oldFile, newFile, delta},
                         error);
    if (code != 0 && error.empty())
        error = "exit code " + std::to_string(code);
    return code == 0;
}

bool XDelta3::decode(const std::string& oldFile, const std::string& delta, const std::string& newFile,
                     std::string& error) const {
    const int code = run({"-f", "-d", "-s", oldFile, delta, newFile}, error);
    if (code != 0 && error.empty())
        error = "exit code " + std::to_string(code);
    return code == 0;
}

} // namespace Patcher
