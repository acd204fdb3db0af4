#include "engine/DistrManager.h"

#include "base/CmdHandler.h"
#include "base/Errors.h"
#include "base/RootStorage.h"
#include "base/Singleton.h"
#include "distr/Commands.h"
#include "engine/ItemsProgressLogger.h"
#include "engine/TaskDiskObserver.h"
#include "platform/FileMode.h"
#include "platform/FileSystem.h"

#include <Poco/File.h>
#include <Poco/Logger.h>
#include <Poco/Path.h>
#include <Poco/Thread.h>

#include <boost/filesystem.hpp>

#include <ctime>

namespace Patcher {

ItemsProgressLogger::ItemsProgressLogger(Poco::Logger& logger, std::string prefix, unsigned total,
                                         std::int64_t interval, Clock clock)
    : logger_(logger), prefix_(std::move(prefix)), total_(total), interval_(interval),
      clock_(clock ? clock : [] { return static_cast<std::int64_t>(std::time(nullptr)); }), lastTime_(clock_()) {}

void ItemsProgressLogger::step() {
    const std::int64_t now = clock_();
    ++done_;
    const int percent = total_ == 0 ? 100 : static_cast<int>(done_ * 100.0 / total_);
    if (done_ == total_ || now - lastTime_ >= interval_) {
        std::int64_t rate = done_ - lastDone_;
        if (now - lastTime_ != 0)
            rate /= now - lastTime_;
        logger_.information(prefix_ + std::to_string(percent) + "% completed, speed: " + std::to_string(rate) +
                            " items/second");
        lastTime_ = now;
        lastDone_ = done_;
    }
}

void DistrManager::keepProgramRunnable(const std::string& path) {
    try {
        platform::ensureProgramMode(path);
    } catch (const Poco::Exception& e) {
        // The content is right; a mode we cannot set is the player's to mend.
        logger_.warning(e.displayText());
    }
}

void DistrManager::refreshCacheContent() {
    logger_.information("Refreshing cache content...");
    auto check = makeTask(TaskType::Check);
    std::int64_t total = 0;
    for (const auto& item : files_.entries())
        total += item.second->storedSize;
    check->start(total, 0, destinationDir_);
    {
        TaskUpdater updater(check->status() == TaskStatus::Skipped ? nullptr : check, *stopState_);
        ItemsProgressLogger progress(logger_, std::string(), static_cast<unsigned>(files_.count()), 15);
        for (const auto& item : files_.entries()) {
            const ControlEntry& entry = *item.second;
            progress.step();
            const std::string pathText = entry.pathText();
            const auto record = cache_->get(pathText);
            if (record && record->sha1 == entry.sha1) {
                // A full update also restores a program's lost execute bit.
                if (fullRefresh_)
                    keepProgramRunnable(destinationDir_ + pathText);
                continue;
            }
            updater.onItem(pathText, entry.storedSize);
            const std::string path = destinationDir_ + pathText;
            std::int64_t modified = 0, nanos = -1;
            Poco::File file(path);
            if (!file.exists() || !file.isFile() || !platform::modificationTime(path, modified, nanos)) {
                updater.onBytes(entry.storedSize);
                continue;
            }
            std::string sha1;
            if (record && record->modified == modified &&
                (record->modifiedNanos < 0 || record->modifiedNanos == nanos)) {
                sha1 = record->sha1;
            } else {
                TaskDiskObserver observer(updater, TaskDiskObserver::Count::Reads);
                sha1 = sha1OfFile(path, &observer);
            }
            if (sha1 == entry.sha1) {
                cache_->put(pathText, sha1, static_cast<std::int64_t>(file.getSize()), modified, nanos);
                keepProgramRunnable(path);
            }
        }
    }
    completeTask(check);
    cache_->save();
}

void DistrManager::removeDeletedItems() {
    const DistrPtr latest = versionInfo_.latestDistr();
    if (!latest)
        return;
    loadControlFile(deleted_, versionInfo_, ControlFileType::Deleted, latest->version);
    for (const auto& item : deleted_.removals()) {
        stopState_->check();
        removeDeletedItem(*item.second);
    }
}

void DistrManager::removeDeletedItem(const ControlEntry& entry) {
    if (entry.status != 2)
        throw InternalError("Expecting deleted item describing object.", kInternalErrorCode);
    if (envFiles_.count({entry.path, entry.sha1}))
        return;
    // Paths compare without regard to case: a file the distribution still lists
    // (perhaps spelt anew) is never a removal.
    if (files_.find(entry.path))
        return;
    const std::string pathText = entry.pathText();
    const std::string path = destinationDir_ + pathText;
    const auto record = cache_->get(pathText);
    if (record && record->sha1 != entry.sha1)
        return; // replaced by other content
    Poco::File file(path);
    if (!file.exists() || !file.isFile()) {
        if (record)
            cache_->remove(pathText);
        return;
    }
    // Only the content the list names is removed: the file is hashed, as a
    // player's change within the second of its recording leaves no other trace.
    if (sha1OfFile(path) != entry.sha1) {
        logger_.information("Kept a changed file the distribution no longer has: " + pathText);
        return;
    }
    if (tryDeleteFile(path, &secondPolicy_) && record)
        cache_->remove(pathText);
}

void DistrManager::removeCaseTwins() {
    // Paths of the distribution compare without regard to case, the disk here
    // does not: a file still spelt the way an older version spelt it is a stale
    // twin of the listed one once that one is in place.
    RootStorage& roots = Singleton<RootStorage>::instance();
    // The listing keeps only the twins: a destination of a million files is
    // not held in memory to find a handful.
    auto isTwin = [&](const DirListing::Entry& e) {
        if (e.isDirectory || e.relative.compare(0, 5, ".kvo.") == 0)
            return false;
        const auto found = roots.find(e.relative);
        if (!found.second)
            return false;
        const ControlEntryPtr entry = files_.find(found.first);
        if (!entry)
            return false;
        const std::string listed = entry->pathText();
        if (listed == e.relative || !cache_->isValid(listed, entry->sha1))
            return false;
        boost::system::error_code ec;
        return !boost::filesystem::equivalent(e.path, destinationDir_ + listed, ec) && !ec;
    };
    std::set<std::string> parents;
    for (const auto& e : DirListing(destinationDir_, true, isTwin).entries()) {
        logger_.information("Removing the old spelling of " + files_.find(roots.find(e.relative).first)->pathText() +
                            ": " + e.relative);
        if (tryDeleteFile(e.path, &secondPolicy_)) {
            cache_->remove(e.relative);
            parents.insert(Poco::Path(e.path).parent().toString());
        }
    }
    // Directories the old spelling used, when nothing else is left in them.
    for (auto it = parents.rbegin(); it != parents.rend(); ++it) {
        Poco::Path dir(*it);
        while (dir.toString().size() > destinationDir_.size()) {
            boost::system::error_code ec;
            if (!boost::filesystem::is_empty(dir.toString(), ec) || ec)
                break;
            boost::filesystem::remove(dir.toString(), ec);
            dir.popDirectory();
        }
    }
}

void DistrManager::onEntryRemoved(const CacheEntry& entry) {
    if (auto t = tasks_[static_cast<int>(TaskType::Uninstall)]) {
        t->setCurrentItem(entry.path, entry.size);
        if (t->status() != TaskStatus::Skipped && t->status() != TaskStatus::Done) {
            try {
                t->update(entry.size, false);
            } catch (const InternalError&) {
            }
        }
    }
}

void DistrManager::uninstall(StopState& stopState) {
    stopState_ = &stopState;
    runCommand(CommandKind::Cleanup, destinationDir_, nullptr, keepNames_, logger_);
    auto task = makeTask(TaskType::Uninstall);
    tasks_[static_cast<int>(TaskType::Uninstall)] = task;
    task->start(cache_->totalSize(), 0, destinationDir_);
    task->activate();
    std::set<std::string> directories;
    cache_->removeAllFiles(directories, this);
    completeTask(task);
    // A folder that holds only folders is the installation's too.
    for (const std::string& dir : std::set<std::string>(directories)) {
        for (auto slash = dir.find('/'); slash != std::string::npos && slash + 1 < dir.size();
             slash = dir.find('/', slash + 1))
            directories.insert(dir.substr(0, slash + 1));
    }
    pendingPacks_.reset();
    tryDeleteFolder(tempDir_, &firstPolicy_);
    tryDeleteFolder(metaDir_, &firstPolicy_);

    auto remaining = [this] {
        std::vector<std::string> left;
        for (const auto& e : DirListing(destinationDir_, true).entries())
            if (!e.isDirectory)
                left.push_back(e.path);
        return left;
    };
    std::vector<std::string> left = remaining();
    if (!left.empty()) {
        Poco::Thread::sleep(500);
        logger_.notice("Rechecking for remaining files");
        left = remaining();
    }
    if (left.empty()) {
        tryDeleteFolder(destinationDir_, &firstPolicy_);
    } else {
        logger_.warning("Unidentified files are: ");
        for (const std::string& file : left) {
            logger_.warning("File: " + file);
            Poco::Path dir = Poco::Path(file).parent();
            const std::string root = Poco::Path(destinationDir_).toString();
            while (dir.toString().size() > root.size()) {
                std::string relative = dir.toString().substr(root.size());
                directories.erase(relative);
                if (!relative.empty() && relative.back() == '/')
                    directories.erase(relative.substr(0, relative.size() - 1));
                dir.popDirectory();
            }
        }
        for (const std::string& dir : directories)
            tryDeleteFolder(destinationDir_ + dir, &firstPolicy_);
        logger_.notice("Several files are not deleted");
    }
    logger_.information("Distribution uninstalled successfully.");
}

} // namespace Patcher
