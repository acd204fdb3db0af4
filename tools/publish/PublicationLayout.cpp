#include "tools/publish/PublicationLayout.h"

#include "engine/RootStorage.h"

#include <cstdio>
#include <regex>

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
    static const std::regex packages("(stage[0-9]+|delta)-[0-9]+\\.pak", std::regex::icase);
    const std::string lower = asciiLower(name);
    const bool compressed = lower.size() > 3 && lower.compare(lower.size() - 3, 3, ".7z") == 0;
    return lower == kVersionInfoName || lower == "deltas" || compressed || std::regex_match(lower, packages);
}

} // namespace Patcher
