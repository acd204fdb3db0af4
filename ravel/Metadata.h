#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ravel {

// A stored byte range of a destination file.
struct Range {
    std::int64_t start = 0;
    std::int64_t length = 0;
    bool operator==(const Range& other) const { return start == other.start && length == other.length; }
};

// Which ranges of a destination file hold downloaded bytes, kept in the record
// file path + ".downloading#" so that a later run resumes the download.
// Thread-safe; addRange and save run on the write cache's thread, the
// destructor on whichever thread drops the last reference.
class Metadata {
public:
    static constexpr const char* kSuffix = ".downloading#";
    // Seconds between saves. A run killed outright keeps only what the last
    // save recorded: the whole second this costs is less than a second's
    // download on any link.
    static constexpr std::int64_t kSaveInterval = 1;
    using Clock = std::function<std::int64_t()>;   // seconds since the epoch

    // Loads the record when it exists. A record that does not parse, holds a
    // count below 1, a negative number, or a range reaching past size yields no
    // ranges: the download starts over.
    Metadata(const std::string& path, std::int64_t size, bool removeWhenComplete, Clock clock = {});
    ~Metadata(); // saves once more; failures go to stderr
    Metadata(const Metadata&) = delete;
    Metadata& operator=(const Metadata&) = delete;

    // Records bytes [start, start + length) as stored, merging with ranges it
    // overlaps or touches; saves when the last save is kSaveInterval old.
    void addRange(std::int64_t start, std::int64_t length);
    // Writes the record (to a temporary name, renamed over the old one), or
    // deletes it when no range is stored, or once the ranges cover size and
    // removeWhenComplete is set.
    // Throws Poco::FileException when the record cannot be written.
    void save();
    // Forgets every range (the destination no longer matches the record).
    void clear();
    // Writes the record also once it is complete, for a download that failed
    // with every byte stored: the next run then finds nothing to fetch.
    void keepRecord();

    std::vector<Range> ranges() const;
    std::int64_t stored() const; // sum of the range lengths
    bool isComplete() const;     // stored() >= size
    const std::string& path() const { return path_; }
    const std::string& metaPath() const { return metaPath_; }
    std::int64_t size() const { return size_; }

private:
    void load();
    void merge(std::int64_t start, std::int64_t length); // caller holds mutex_

    const std::string path_;
    const std::string metaPath_;
    const std::int64_t size_;
    const Clock clock_;

    mutable std::recursive_mutex mutex_;
    bool removeWhenComplete_;   // guarded by mutex_
    std::vector<Range> ranges_; // guarded by mutex_; disjoint and not touching
    std::int64_t lastSaved_;    // guarded by mutex_
};

} // namespace ravel
