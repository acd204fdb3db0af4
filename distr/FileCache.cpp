#include "distr/FileCache.h"

#include "distr/ControlFile.h"
#include "distr/LineReader.h"
#include "distr/LocalFile.h"
#include "distr/Numbers.h"
#include "platform/FileSystem.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Logger.h>
#include <Poco/Path.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <vector>

namespace Patcher {
namespace {

constexpr std::size_t kWriteChunk = 1 << 20;

FileOpPolicy cachePolicy(Poco::Logger& logger) {
    FileOpPolicy policy(&logger);
    return policy;
}

std::string absoluteRoot(const std::string& root) {
    Poco::Path path(root);
    path.makeDirectory();
    return path.makeAbsolute().toString();
}

bool exists(const std::string& path) {
    try {
        return Poco::File(path).exists();
    } catch (const Poco::Exception&) {
        return false;
    }
}

std::string parentOf(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

} // namespace

const char* const FileCache::kDefaultFile = ".kvo.meta.dir/.kvo.cache.txt";

FileCache::FileCache(const std::string& root, const std::string& cacheFile)
    : root_(absoluteRoot(root)),
      cacheFile_(root_ + cacheFile),
      logger_(Poco::Logger::get("Cache")),
      policy_(cachePolicy(logger_)) {
    load();
}

FileCache::~FileCache() {
    try {
        save();
    } catch (...) {
    }
}

void FileCache::load() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!exists(cacheFile_))
        return;
    try {
        clearLocked();
        LineReader reader(cacheFile_);
        const char* line;
        const char* eol;
        while (reader.next(line, eol)) {
            // A fifth field, the fraction of the second, is newer than the
            // format: a line without it is still whole.
            const char* fields[5];
            const char* stops[5];
            int count = 0;
            const char* f = line;
            for (;;) {
                const char* bar = f;
                while (bar < eol && *bar != '|')
                    ++bar;
                if (count < 5) {
                    fields[count] = f;
                    stops[count] = bar;
                }
                ++count;
                if (bar == eol)
                    break;
                f = bar + 1;
            }
            std::string path = trimmed(std::string(fields[0], stops[0]));
            if (count == 1 && path.empty())
                continue; // a blank line
            if (count < 4)
                throw Poco::DataFormatException("Cache file is corrupted.");
            Record record{Hash(trimmed(std::string(fields[1], stops[1]))), parseDecimal(fields[2], stops[2]),
                          parseDecimal(fields[3], stops[3]), count > 4 ? parseDecimal(fields[4], stops[4]) : -1};
            putLocked(path, std::move(record));
        }
        dirty_ = false;
    } catch (const Poco::Exception& e) {
        recoverFromCorruption(e.displayText());
    } catch (const std::exception& e) {
        recoverFromCorruption(e.what());
    }
}

void FileCache::recoverFromCorruption(const std::string& error) {
    logger_.error(error);
    clearLocked();
    dirty_ = true;
    const std::string stamp = std::to_string(static_cast<long long>(std::time(nullptr)));
    try {
        copyWholeFile(cacheFile_, cacheFile_ + ".corrupt." + stamp);
        const std::string backup = cacheFile_ + ".tmp.copy";
        if (exists(backup))
            copyWholeFile(backup, backup + "." + stamp);
    } catch (const Poco::Exception& e) {
        logger_.error(e.displayText());
    }
    tryDeleteFile(cacheFile_);
}

std::deque<FileCache::Entries::Slot>::iterator FileCache::Entries::lowerBound(std::string_view path) const {
    return std::lower_bound(sorted_.begin(), sorted_.end(), path,
                            [](const Slot& slot, std::string_view key) { return slot.path < key; });
}

FileCache::Record* FileCache::Entries::find(std::string_view path) const {
    auto it = lowerBound(path);
    if (it != sorted_.end() && it->path == path)
        return it->record.removed ? nullptr : &it->record;
    auto pending = pending_.find(path);
    return pending == pending_.end() ? nullptr : &pending->second;
}

void FileCache::Entries::insert(std::string_view path, Record record) {
    auto it = lowerBound(path);
    if (it != sorted_.end() && it->path == path) { // a removed one comes back
        it->record = std::move(record);
        --removed_;
        return;
    }
    char* key = static_cast<char*>(paths_.allocate(path.size(), 1));
    std::memcpy(key, path.data(), path.size());
    const std::string_view kept(key, path.size());
    // The file is written in path order: loading it appends at the end.
    if (it == sorted_.end() && pending_.empty()) {
        sorted_.push_back(Slot{kept, std::move(record)});
        return;
    }
    pending_.emplace(kept, std::move(record));
    if (pending_.size() >= std::max<std::size_t>(4096, sorted_.size() / 8))
        merge();
}

void FileCache::Entries::erase(std::string_view path) {
    auto it = lowerBound(path);
    if (it != sorted_.end() && it->path == path) {
        it->record.removed = true;
        if (++removed_ >= std::max<std::size_t>(4096, sorted_.size() / 8))
            merge();
        return;
    }
    pending_.erase(pending_.find(path));
}

void FileCache::Entries::merge() {
    if (removed_ > 0) {
        sorted_.erase(std::remove_if(sorted_.begin(), sorted_.end(), [](const Slot& s) { return s.record.removed; }),
                      sorted_.end());
        removed_ = 0;
    }
    if (pending_.empty())
        return;
    // In place from the back: nothing is held twice.
    std::size_t from = sorted_.size();
    sorted_.resize(from + pending_.size());
    std::size_t to = sorted_.size();
    for (auto p = pending_.rbegin(); p != pending_.rend();) {
        if (from > 0 && p->first < sorted_[from - 1].path)
            sorted_[--to] = std::move(sorted_[--from]);
        else
            sorted_[--to] = Slot{p->first, std::move(p->second)}, ++p;
    }
    pending_.clear();
}

const std::deque<FileCache::Entries::Slot>& FileCache::Entries::all() {
    merge();
    return sorted_;
}

void FileCache::Entries::clear() {
    std::deque<Slot>().swap(sorted_);
    pending_.clear();
    removed_ = 0;
    paths_.release();
}

CacheEntry FileCache::entryOf(std::string_view path, const Record& record) {
    return CacheEntry{std::string(path), record.sha1.text(), record.size, record.modified, record.nanos};
}

std::optional<CacheEntry> FileCache::get(const std::string& path) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const Record* record = entries_.find(path);
    if (!record)
        return std::nullopt;
    return entryOf(path, *record);
}

bool FileCache::isValid(const std::string& path, const Digest& sha1) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const Record* record = entries_.find(path);
    return record && record->sha1 == sha1;
}

void FileCache::clearLocked() {
    entries_.clear();
    total_ = 0;
}

void FileCache::putLocked(std::string_view path, Record record) {
    if (Record* present = entries_.find(path)) {
        if (*present == record)
            return;
        total_ -= present->size;
        total_ += record.size;
        *present = std::move(record);
    } else {
        total_ += record.size;
        entries_.insert(path, std::move(record));
    }
    dirty_ = true;
}

void FileCache::put(const std::string& path, const std::string& sha1, std::int64_t size, std::int64_t modified,
                    std::int64_t modifiedNanos) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    putLocked(path, Record{Hash(sha1), size, modified, modifiedNanos});
}

void FileCache::putFile(const std::string& path, std::int64_t size, std::int64_t modified) {
    const std::string sha1 = sha1OfFile(root_ + path);
    put(path, sha1, size, modified);
}

void FileCache::remove(const std::string& path) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (const Record* record = entries_.find(path)) {
        total_ -= record->size;
        entries_.erase(path);
    }
    dirty_ = true;
}

void FileCache::refresh() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::vector<std::string_view> gone;
    for (const Entries::Slot& slot : entries_.all()) {
        // An edit within the second of the recording leaves the whole seconds
        // as they were; only the fraction tells.
        std::int64_t modified = 0, nanos = 0;
        if (platform::modificationTime(root_ + std::string(slot.path), modified, nanos) &&
            modified == slot.record.modified && (slot.record.nanos < 0 || nanos == slot.record.nanos))
            continue;
        logger_.information("Entry removed from cache: " + std::string(slot.path));
        gone.push_back(slot.path);
    }
    for (std::string_view path : gone) {
        total_ -= entries_.find(path)->size;
        entries_.erase(path);
        dirty_ = true;
    }
    saveLocked();
}

bool FileCache::save() {
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        if (!dirty_)
            return true;
    }
    return saveLocked();
}

bool FileCache::saveLocked() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return saveNow();
}

bool FileCache::saveNow() {
    if (!dirty_)
        return true;
    if (entries_.empty()) {
        deleteFile(cacheFile_, &policy_);
        logger_.information("Cache file is deleted");
        dirty_ = false;
        return false;
    }
    const std::string tmp = cacheFile_ + ".tmp";
    auto step = [this](const char* name) {
        if (saveHook_)
            saveHook_(name);
    };
    try {
        logger_.information("Cache file is being updated...");
        // The files a record vouches for reach the disk before the record does:
        // after a power loss the cache would otherwise keep a file whose data
        // never arrived as verified, and no later update would repair it.
        platform::flushFileSystem(root_);
        {
            std::ofstream out;
            out.exceptions(std::ios::failbit | std::ios::badbit);
            out.open(tmp, std::ios::binary | std::ios::trunc);
            step("tmp-open");
            std::string buffer;
            std::size_t written = 0;
            for (const Entries::Slot& slot : entries_.all()) {
                const Record& e = slot.record;
                buffer += slot.path;
                buffer += '|';
                e.sha1.appendTo(buffer);
                buffer += '|';
                buffer += std::to_string(e.size);
                buffer += '|';
                buffer += std::to_string(e.modified);
                if (e.nanos >= 0) {
                    buffer += '|';
                    buffer += std::to_string(e.nanos);
                }
                buffer += "\r\n";
                // Written in pieces: a million lines are not held twice in memory.
                const bool half = ++written == entries_.size() / 2 + 1;
                if (half || buffer.size() >= kWriteChunk) {
                    out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
                    buffer.clear();
                }
                if (half) {
                    out.flush();
                    step("tmp-half");
                }
            }
            out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            out.close();
        }
        // The new content must be on the disk before it replaces the old one:
        // a crash then leaves the old cache or the new one, never a torn one.
        platform::flushToDisk(tmp);
        step("tmp-written");
        try {
            copyWholeFile(tmp, tmp + ".copy");
        } catch (const Poco::Exception& e) {
            logger_.warning("Unable to keep a copy of file: " + e.displayText());
        } catch (const std::exception& e) {
            logger_.warning(std::string("Unable to keep a copy of file: ") + e.what());
        } catch (...) {
            logger_.warning("Unknown exception. Unable to keep a copy of file");
        }
        step("copy-written");
        moveFile(tmp, cacheFile_, &policy_);
        step("moved");
        try {
            platform::flushToDisk(parentOf(cacheFile_));
        } catch (const Poco::Exception&) {
        }
        dirty_ = false;
        logger_.information("Cache file is updated");
        return true;
    } catch (const Poco::Exception& e) {
        logger_.error("Cache file update is failed. " + e.displayText());
    } catch (const std::exception& e) {
        logger_.error(std::string("Cache file update is failed. std::exception: ") + e.what());
    } catch (...) {
        logger_.error("Unknown exception while updating cache file");
    }
    tryDeleteFile(cacheFile_, &policy_);
    return false;
}

std::size_t FileCache::count() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return entries_.size();
}

std::int64_t FileCache::totalSize() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return total_;
}

bool FileCache::isDirty() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return dirty_;
}

void FileCache::removeAllFiles(std::set<std::string>& directories, CacheObserver* observer) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::vector<std::string> paths;
    paths.reserve(entries_.size());
    for (const Entries::Slot& slot : entries_.all())
        paths.emplace_back(slot.path);
    directories.clear();
    for (const std::string& path : paths) {
        // A damaged cache line must not make the uninstall delete a file, or
        // collect a directory for recursive removal, outside the root.
        if (isContainedPath(path)) {
            const std::string parent = parentOf(path);
            // The root itself is not a directory of the installation's own.
            if (!parent.empty())
                directories.insert(parent);
            deleteFile(root_ + path, &policy_);
        } else {
            logger_.warning("Cache entry outside the destination is not deleted: " + path);
        }
        const Record* record = entries_.find(path);
        if (observer)
            observer->onEntryRemoved(entryOf(path, *record));
        total_ -= record->size;
        entries_.erase(path);
        dirty_ = true;
    }
}

void FileCache::setSaveHook(SaveHook hook) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    saveHook_ = std::move(hook);
}

} // namespace Patcher
