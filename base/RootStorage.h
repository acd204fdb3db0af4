#pragma once

#include <Poco/Mutex.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Patcher {

// Interns path and location texts as dense indexes (0, 1, ...). Texts that differ
// only in ASCII case share one index; the first-seen text is kept for display.
// One process-wide instance (Singleton<RootStorage>); every call is thread-safe.
class RootStorage {
public:
    RootStorage() = default;
    ~RootStorage();
    RootStorage(const RootStorage&) = delete;
    RootStorage& operator=(const RootStorage&) = delete;

    // announce: log "mapped {i} -> text" (information, root logger) on creation.
    int index(std::string_view text, bool announce = false);
    // (-1, false) when absent.
    std::pair<int, bool> find(std::string_view text) const;
    // Throws Poco::RangeException for an index never handed out.
    std::string text(int index) const;
    std::size_t size() const;

private:
    struct Slot { // 8 bytes: the table has two slots or more per path
        std::uint32_t hash = 0;
        std::int32_t index = -1; // -1: empty
    };

    // Copies bytes into storage that never moves, so views of it stay valid.
    std::string_view keep(std::string_view bytes);
    // The slot holding key, or the empty slot where it belongs.
    std::size_t probe(std::string_view key, std::uint32_t hash) const;
    void grow();

    // Control files intern every path they hold, so this is on the hot path of
    // loading a distribution: an open-addressed table probed in place, and new
    // texts go into large blocks instead of a heap allocation each.
    mutable Poco::FastMutex mutex_;
    std::vector<Slot> slots_;                         // power-of-two size, at most half full; guarded by mutex_
    std::vector<std::string_view> keys_;              // ASCII lower case by index; guarded by mutex_
    std::vector<std::string_view> texts_;             // first-seen text by index; guarded by mutex_
    std::vector<std::pair<char*, std::size_t>> blocks_; // backing of every view (large memory); guarded by mutex_
    std::size_t blockSize_ = 0;                       // of the last block; guarded by mutex_
    std::size_t blockUsed_ = 0;                       // of the last block; guarded by mutex_
};

std::string asciiLower(std::string text);

} // namespace Patcher
