#include "distr/FileCache.h"

#include "base/Singleton.h"
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
      policy_(cachePolicy(logger_)),
      ownRoots_(Singleton<RootStorage>::exists() ? nullptr : std::make_unique<RootStorage>()),
      entries_(ownRoots_ ? *ownRoots_ : Singleton<RootStorage>::instance()) {
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

FileCache::Record* FileCache::Entries::find(std::string_view path) const {
    const auto found = roots_.findExact(path);
    if (found.second) {
        const auto at = static_cast<std::size_t>(found.first);
        return at < byIndex_.size() && byIndex_[at].present ? &byIndex_[at] : nullptr;
    }
    auto other = others_.find(path);
    return other == others_.end() ? nullptr : &other->second;
}

void FileCache::Entries::insert(std::string_view path, Record record) {
    const int index = roots_.indexProvisional(path);
    if (roots_.firstView(index) != path) {
        record.present = false;
        others_.emplace(std::string(path), std::move(record));
        return;
    }
    const auto at = static_cast<std::size_t>(index);
    if (at >= byIndex_.size())
        byIndex_.resize(at + 1);
    record.present = true;
    byIndex_[at] = std::move(record);
    ++count_;
}

void FileCache::Entries::erase(std::string_view path) {
    const auto found = roots_.findExact(path);
    if (found.second) {
        Record& record = byIndex_[static_cast<std::size_t>(found.first)];
        record = Record();
        --count_;
        return;
    }
    others_.erase(others_.find(path));
}

void FileCache::Entries::forEach(const std::function<void(std::string_view, Record&)>& visit) {
    // Paths are mostly interned in path order (a control file's, the cache
    // file's own): those are taken as they come, the few others sorted apart.
    std::vector<std::uint32_t> inOrder;
    std::vector<std::pair<std::string_view, std::uint32_t>> late;
    inOrder.reserve(count_);
    std::string_view last;
    for (std::size_t at = 0; at < byIndex_.size(); ++at) {
        if (!byIndex_[at].present)
            continue;
        const std::string_view path = roots_.firstView(static_cast<int>(at));
        if (inOrder.empty() || path >= last) {
            inOrder.push_back(static_cast<std::uint32_t>(at));
            last = path;
        } else {
            late.emplace_back(path, static_cast<std::uint32_t>(at));
        }
    }
    std::sort(late.begin(), late.end());
    auto a = inOrder.begin();
    auto b = late.begin();
    auto c = others_.begin();
    std::string_view pathA, pathB;
    if (a != inOrder.end())
        pathA = roots_.firstView(static_cast<int>(*a));
    for (;;) {
        // The least of the three heads.
        int pick = -1;
        std::string_view least;
        if (a != inOrder.end())
            pick = 0, least = pathA;
        if (b != late.end() && (pick < 0 || b->first < least))
            pick = 1, least = b->first;
        if (c != others_.end() && (pick < 0 || std::string_view(c->first) < least))
            pick = 2, least = c->first;
        if (pick < 0)
            break;
        if (pick == 0) {
            Record& record = byIndex_[*a];
            if (++a != inOrder.end())
                pathA = roots_.firstView(static_cast<int>(*a));
            visit(least, record);
        } else if (pick == 1) {
            Record& record = byIndex_[b->second];
            ++b;
            visit(least, record);
        } else {
            auto current = c++; // visit may erase it
            visit(least, current->second);
        }
    }
}

void FileCache::Entries::clear() {
    byIndex_.clear();
    count_ = 0;
    others_.clear();
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
        record.present = present->present;
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
    entries_.forEach([this](std::string_view path, const Record& record) {
        // An edit within the second of the recording leaves the whole seconds
        // as they were; only the fraction tells.
        std::int64_t modified = 0, nanos = 0;
        if (platform::modificationTime(root_ + std::string(path), modified, nanos) && modified == record.modified &&
            (record.nanos < 0 || nanos == record.nanos))
            return;
        logger_.information("Entry removed from cache: " + std::string(path));
        total_ -= record.size;
        entries_.erase(path);
        dirty_ = true;
    });
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
            entries_.forEach([&](std::string_view path, const Record& e) {
                buffer += path;
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
            });
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
    directories.clear();
    entries_.forEach([&](std::string_view pathView, const Record& record) {
        const std::string path(pathView);
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
        if (observer)
            observer->onEntryRemoved(entryOf(path, record));
        total_ -= record.size;
        entries_.erase(path);
        dirty_ = true;
    });
}

void FileCache::setSaveHook(SaveHook hook) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    saveHook_ = std::move(hook);
}

} // namespace Patcher
