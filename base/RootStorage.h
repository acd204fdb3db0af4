#pragma once

#include <Poco/Mutex.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
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
    // The same without claiming the spelling: a later index() of the text in
    // another case is the one text() shows, and firstView() keeps this one.
    // For records that only look paths up (the file cache).
    int indexProvisional(std::string_view text);
    // (-1, false) when absent.
    std::pair<int, bool> find(std::string_view text) const;
    // The index of a text first interned under exactly this spelling; (-1,
    // false) when absent or first seen in another case.
    std::pair<int, bool> findExact(std::string_view text) const;
    // Throws Poco::RangeException for an index never handed out.
    std::string text(int index) const;
    // The spelling first interned, provisional or not: valid as long as the storage.
    std::string_view firstView(int index) const;
    std::size_t size() const;

private:
    struct Slot { // 8 bytes: the table has two slots or more per path
        std::uint32_t hash = 0;
        std::int32_t index = -1; // -1: empty
    };

    // Room for size bytes in storage that never moves.
    char* reserve(std::size_t size);
    int intern(std::string_view text, bool provisional, bool& created);
    const char* makeRecord(std::string_view text, std::string_view key, bool provisional);
    const char* firstRecord(std::size_t index) const;
    // exact: only when the first-seen text is text itself.
    std::pair<int, bool> lookup(std::string_view text, bool exact) const;
    static std::string_view textOf(const char* record);
    static std::string_view keyOf(const char* record);
    // The slot holding key, or the empty slot where it belongs.
    std::size_t probe(std::string_view key, std::uint32_t hash) const;
    void grow();

    // Control files intern every path they hold, so this is on the hot path of
    // loading a distribution: an open-addressed table probed in place, and new
    // texts go into large blocks instead of a heap allocation each.
    mutable Poco::FastMutex mutex_;
    std::vector<Slot> slots_;                         // power-of-two size, at most half full; guarded by mutex_
    // By index, into the blocks: the length (4 bytes), flags (1 byte: a key
    // follows, provisional), the text shown, then its lower case when that differs.
    std::vector<const char*> records_;                // guarded by mutex_
    std::unordered_map<int, const char*> firsts_;     // provisional spellings claimed in another case; guarded by mutex_
    std::vector<std::pair<char*, std::size_t>> blocks_; // backing of every view (large memory); guarded by mutex_
    std::size_t blockSize_ = 0;                       // of the last block; guarded by mutex_
    std::size_t blockUsed_ = 0;                       // of the last block; guarded by mutex_
};

std::string asciiLower(std::string text);

} // namespace Patcher
