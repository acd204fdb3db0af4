#include "tools/publish/PublicationLayout.h"

#include "base/RootStorage.h"

#include <cstdio>

namespace Patcher {

std::string PublicationLayout::versionDir(const std::string& root, const std::string& version) {
    std::string dir = root;
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    return dir + version + "/";
}

std::string PublicationLayout::deltaDir(const std::string& fromVersion) {
    return kDeltaDirPrefix + fromVersion + "/";
}

std::string PublicationLayout::packageName(int stage, int number) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "stage%d-%04d.pak", stage, number);
    return buf;
}

std::string PublicationLayout::deltaPackageName(int number) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "delta-%04d.pak", number);
    return buf;
}

bool PublicationLayout::isReservedName(const std::string& name) {
    const std::string lower = asciiLower(name);
    auto endsWith = [&](const std::string& tail) {
        return lower.size() >= tail.size() && lower.compare(lower.size() - tail.size(), tail.size(), tail) == 0;
    };
    // Package names are "stage<S>-<N>.pak" and "delta-<N>.pak": any ".pak" is kept clear.
    return lower == kVersionInfoName || lower == std::string(kVersionInfoName) + ".sig" || lower == "deltas" || endsWith(".7z") || endsWith(".pak");
}

} // namespace Patcher
