#pragma once

#include "distr/Digest.h"
#include "distr/FileOps.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <optional>
#include <set>
#include <vector>
#include <string>
#include <string_view>

namespace Poco {
class Logger;
}

namespace Patcher {

// What the cache knows about one file the updater verified or wrote.
struct CacheEntry {
    std::string path; // relative to the cache root, as the caller gave it
    std::string sha1;
    std::int64_t size = 0;     // as recorded by the caller (0 for metadata files)
    std::int64_t modified = 0; // epoch seconds; 0 when the caller did not know it
    // The fraction of that second in nanoseconds; -1 when not recorded (older
    // cache files), and then only the whole seconds are compared.
    std::int64_t modifiedNanos = -1;

    bool operator==(const CacheEntry& other) const {
        return path == other.path && sha1 == other.sha1 && size == other.size && modified == other.modified &&
               modifiedNanos == other.modifiedNanos;
    }
};

class CacheObserver {
public:
    virtual ~CacheObserver() = default;
    virtual void onEntryRemoved(const CacheEntry& entry) = 0;
};

// ".kvo.cache.txt": path, SHA-1, size and modification time of every file the
// updater verified or wrote, so that unchanged files need not be hashed again.
// Thread-safe; one re-entrant mutex. Saved when destroyed.
class FileCache {
public:
    static const char* const kDefaultFile; // ".kvo.meta.dir/.kvo.cache.txt"

    // Loads root + cacheFile. A broken file is kept as ".corrupt.T", logged, and
    // the cache starts empty; it never stops the run.
    explicit FileCache(const std::string& root, const std::string& cacheFile = kDefaultFile);
    ~FileCache();
    FileCache(const FileCache&) = delete;
    FileCache& operator=(const FileCache&) = delete;

    std::optional<CacheEntry> get(const std::string& path) const;
    // An entry for path with exactly this sha1; the file itself is not examined.
    bool isValid(const std::string& path, const Digest& sha1) const;
    void put(const std::string& path, const std::string& sha1, std::int64_t size, std::int64_t modified,
             std::int64_t modifiedNanos = -1);
    // Hashes root + path, then put.
    void putFile(const std::string& path, std::int64_t size, std::int64_t modified);
    void remove(const std::string& path);
    // Drops every entry whose file is missing or has another modification
    // time (to the nanosecond where both are known), then saves.
    void refresh();
    // Writes the cache when it changed. False when nothing was written (an empty
    // cache deletes the file instead) or the write failed (the file is then
    // deleted too, so a stale cache is never read).
    bool save();
    bool saveLocked();

    std::size_t count() const;
    std::int64_t totalSize() const;
    bool isDirty() const;
    const std::string& root() const { return root_; }
    const std::string& cacheFilePath() const { return cacheFile_; }

    // Uninstall: deletes every file the cache knows (the entries go with them),
    // collecting their parent directories (relative to the root, non-empty) in
    // directories, and telling observer (may be null) of each.
    void removeAllFiles(std::set<std::string>& directories, CacheObserver* observer);

    // Test seam: called at each step of a save with its name ("tmp-open",
    // "tmp-half", "tmp-written", "copy-written", "moved").
    using SaveHook = std::function<void(const char* step)>;
    void setSaveHook(SaveHook hook);

private:
    void load();
    void recoverFromCorruption(const std::string& error);
    using Hash = Digest;
    struct Record {
        Record() = default;
        Record(Hash sha1, std::int64_t size, std::int64_t modified, std::int64_t nanos)
            : size(size), modified(modified), nanos(nanos), sha1(std::move(sha1)) {}
        std::int64_t size = 0;
        std::int64_t modified = 0;
        std::int64_t nanos = -1;
        Hash sha1;
        bool removed = false; // a mark in the sorted vector until it is swept
        bool operator==(const Record& o) const {
            return sha1 == o.sha1 && size == o.size && modified == o.modified && nanos == o.nanos;
        }
    };
    // By path. A cache of a million files keeps them sorted in 64 bytes a file
    // (a deque: growing never copies it), the paths in an arena; files put out
    // of order wait in a map merged in place once it has grown by an eighth,
    // and removed ones are marked and swept at the same rate.
    class Entries {
    public:
        struct Slot {
            std::string_view path;
            Record record;
        };
        explicit Entries(std::pmr::memory_resource* nodes) : pending_(nodes) {}
        Record* find(std::string_view path) const; // null when absent or removed
        void insert(std::string_view path, Record record); // path absent
        void erase(std::string_view path);                 // path present
        void clear();
        std::size_t size() const { return sorted_.size() - removed_ + pending_.size(); }
        bool empty() const { return size() == 0; }
        // Every file in path order, after the merge and the sweep.
        const std::deque<Slot>& all();

    private:
        std::deque<Slot>::iterator lowerBound(std::string_view path) const;
        void merge();
        mutable std::deque<Slot> sorted_; // mutable only for the lookups' iterators
        std::size_t removed_ = 0; // marked in sorted_
        mutable std::pmr::map<std::string_view, Record, std::less<>> pending_; // paths not in sorted_
        std::pmr::monotonic_buffer_resource paths_;                    // the keys' bytes
    };
    static CacheEntry entryOf(std::string_view path, const Record& record);
    void putLocked(std::string_view path, Record record);
    void clearLocked();
    bool saveNow();

    const std::string root_;      // absolute, trailing separator
    const std::string cacheFile_; // root_ + cache file
    Poco::Logger& logger_;
    const FileOpPolicy policy_; // the "Cache" logger, quiet

    mutable std::recursive_mutex mutex_;
    std::pmr::unsynchronized_pool_resource nodes_; // guarded by mutex_
    Entries entries_{&nodes_};                     // guarded by mutex_
    std::int64_t total_ = 0;                    // guarded by mutex_
    bool dirty_ = false;                        // guarded by mutex_
    SaveHook saveHook_;                         // guarded by mutex_
};

} // namespace Patcher
