#pragma once

#include "base/RootStorage.h"
#include "distr/Digest.h"
#include "distr/FileOps.h"

#include <algorithm>
#include <cstdint>
#include <climits>
#include <functional>
#include <map>
#include <memory>
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
#pragma pack(push, 1) // a million of them: 42 bytes, not 48
    struct Record {
        Record() = default;
        Record(Hash sha1, std::int64_t size, std::int64_t modified, std::int64_t nanos)
            : size(size), modified(modified), sha1(std::move(sha1)), nanos(narrowNanos(nanos)) {}
        std::int64_t size = 0;
        std::int64_t modified = 0;
        Hash sha1;
        bool present = false; // in the table by path index
        std::int32_t nanos = -1; // negative: not recorded
        bool operator==(const Record& o) const {
            return sha1 == o.sha1 && size == o.size && modified == o.modified && nanos == o.nanos;
        }
        // A fraction of a second fits. A wider stored value must still match no
        // file: taken as not recorded, the whole seconds alone would vouch for it.
        static std::int32_t narrowNanos(std::int64_t nanos) {
            return nanos < 0 ? -1 : static_cast<std::int32_t>(std::min<std::int64_t>(nanos, INT32_MAX));
        }
    };
#pragma pack(pop)
    static_assert(sizeof(Record) == 42, "a million records are held");
    // A cache of a million files keeps them in 42 bytes a file: a table by the
    // path's index in the root storage, which holds the text once for the cache
    // and the control files alike. A path whose spelling differs in case from
    // the one first interned keeps its own text in a map.
    class Entries {
    public:
        explicit Entries(RootStorage& roots) : roots_(roots) {}
        Record* find(std::string_view path) const; // null when absent
        void insert(std::string_view path, Record record); // path absent
        void erase(std::string_view path);                 // path present
        void clear();
        std::size_t size() const { return count_ + others_.size(); }
        bool empty() const { return size() == 0; }
        // Calls visit(path, record) for every file in path order; visit may
        // erase the file it is given, and nothing else.
        void forEach(const std::function<void(std::string_view, Record&)>& visit);

    private:
        RootStorage& roots_;
        // Slots in chunks that never move: growing copies nothing, wastes no room.
        class Table {
        public:
            std::size_t size() const { return chunks_.size() * kChunk; }
            Record& operator[](std::size_t at) const { return chunks_[at / kChunk][at % kChunk]; }
            void resize(std::size_t size) {
                while (this->size() < size)
                    chunks_.push_back(std::make_unique<Record[]>(kChunk));
            }
            void clear() { std::vector<std::unique_ptr<Record[]>>().swap(chunks_); }

        private:
            static constexpr std::size_t kChunk = 4096;
            std::vector<std::unique_ptr<Record[]>> chunks_;
        };
        Table byIndex_;
        std::size_t count_ = 0;               // present in byIndex_
        mutable std::map<std::string, Record, std::less<>> others_;
    };
    static CacheEntry entryOf(std::string_view path, const Record& record);
    void putLocked(std::string_view path, Record record);
    void clearLocked();
    bool saveNow();

    const std::string root_;      // absolute, trailing separator
    const std::string cacheFile_; // root_ + cache file
    Poco::Logger& logger_;
    const FileOpPolicy policy_; // the "Cache" logger, quiet

    std::unique_ptr<RootStorage> ownRoots_; // when the process has none
    mutable std::recursive_mutex mutex_;
    Entries entries_;                           // guarded by mutex_
    std::int64_t total_ = 0;                    // guarded by mutex_
    bool dirty_ = false;                        // guarded by mutex_
    SaveHook saveHook_;                         // guarded by mutex_
};

} // namespace Patcher
