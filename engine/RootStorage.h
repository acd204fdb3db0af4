#pragma once

#include <Poco/Mutex.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Patcher {

// Interns path and location texts as dense indexes (0, 1, ...). Texts that differ
// only in ASCII case share one index; the first-seen text is kept for display.
// One process-wide instance (Singleton<RootStorage>); every call is thread-safe.
class RootStorage {
public:
    struct RootEntry {
        std::string key;  // ASCII lower case
        std::string text; // as first seen
        int index;
    };

    // announce: log "mapped {i} -> text" (information, root logger) on creation.
    int index(const std::string& text, bool announce = false);
    // (-1, false) when absent.
    std::pair<int, bool> find(const std::string& text) const;
    // Throws Poco::RangeException for an index never handed out.
    std::string text(int index) const;
    std::size_t size() const;

private:
    mutable Poco::FastMutex mutex_;
    std::map<std::string, std::shared_ptr<RootEntry>> byKey_; // guarded by mutex_
    std::vector<std::shared_ptr<RootEntry>> byIndex_;         // guarded by mutex_
};

std::string asciiLower(std::string text);

} // namespace Patcher
