#pragma once

#include <Poco/Mutex.h>

#include <unordered_map>
#include <string>
#include <utility>
#include <vector>

namespace Patcher {

// Interns path and location texts as dense indexes (0, 1, ...). Texts that differ
// only in ASCII case share one index; the first-seen text is kept for display.
// One process-wide instance (Singleton<RootStorage>); every call is thread-safe.
class RootStorage {
public:
    // announce: log "mapped {i} -> text" (information, root logger) on creation.
    int index(const std::string& text, bool announce = false);
    // (-1, false) when absent.
    std::pair<int, bool> find(const std::string& text) const;
    // Throws Poco::RangeException for an index never handed out.
    std::string text(int index) const;
    std::size_t size() const;

private:
    // Control files intern every path they hold, so this is on the hot path of
    // loading a distribution: one hash lookup and no shared entries.
    mutable Poco::FastMutex mutex_;
    std::unordered_map<std::string, int> byKey_; // ASCII lower case -> index; guarded by mutex_
    std::vector<std::string> texts_;             // first-seen text by index; guarded by mutex_
};

std::string asciiLower(std::string text);

} // namespace Patcher
