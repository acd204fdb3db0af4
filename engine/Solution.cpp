#include "engine/DistrManager.h"

#include "base/Errors.h"
#include "base/RootStorage.h"
#include "base/Singleton.h"
#include "platform/FileSystem.h"
#include "progress/TotalProgress.h"

#include <Poco/File.h>
#include <Poco/Format.h>
#include <Poco/Logger.h>

#include <algorithm>
#include <map>
#include <vector>
#include <stdexcept>

namespace Patcher {
namespace {

bool fileExists(const std::string& path) {
    try {
        Poco::File file(path);
        return file.exists() && file.isFile();
    } catch (const Poco::Exception&) {
        return false;
    }
}

std::int64_t finalSize(const ControlEntry& entry) { return entry.status == 1 ? entry.size : entry.storedSize; }

std::int64_t sizeOnDisk(const std::string& path) {
    try {
        Poco::File file(path);
        return file.exists() && file.isFile() ? static_cast<std::int64_t>(file.getSize()) : 0;
    } catch (const Poco::Exception&) {
        return 0;
    }
}

// Sizes come from the publication: a hostile one must not wrap the sums.
void add(std::int64_t& sum, std::int64_t bytes) {
    sum = bytes > INT64_MAX - sum ? INT64_MAX : sum + bytes;
}

std::int64_t mebibytes(std::int64_t bytes, bool up) {
    const std::int64_t mib = std::int64_t(1) << 20;
    return bytes / mib + (up && bytes % mib != 0 ? 1 : 0);
}

} // namespace

void DistrManager::findSolution() {
    logger_.notice("Finding Solution");
    for (const auto& item : files_.entries()) {
        const ControlEntryPtr& entry = item.second;
        const std::string key = entry->packageKey();
        auto found = packages_.find(key);
        if (found == packages_.end())
            throw InternalError("Package is missing: " + key, kInternalErrorCode);
        if (cache_->get(entry->pathText()))
            continue;
        PackContent& pack = *found->second;
        pack.missingCount += 1;
        pack.missingBytes += entry->storedSize;
        pack.missingEntries.push_back(entry.get());
        if (pack.stage != 0 && pack.stage != entry->stage)
            throw std::logic_error("Pack content consists of items from different stages: " +
                                   Singleton<RootStorage>::instance().text(entry->packageRoot) + entry->package);
        pack.stage = entry->stage;
    }
    for (auto& item : packages_) {
        PackContent& pack = *item.second;
        std::sort(pack.missingEntries.begin(), pack.missingEntries.end(),
                  [](const ControlEntry* a, const ControlEntry* b) { return a->offset < b->offset; });
        // Compared exactly: 90.1 percent is more than 90, though it truncates to it.
        const bool overPercent = pack.storedTotal == 0
                                     ? 0 > settings_.packDownloadByPercent
                                     : pack.missingBytes * 100 > std::int64_t(settings_.packDownloadByPercent) * pack.storedTotal;
        if (overPercent) {
            pack.wholeDownload = true;
            if (logger_.information())
                logger_.information("Whole package " + item.first + " will be downloaded.");
        } else if (pack.missingCount > settings_.packDownloadByMissing) {
            pack.wholeDownload = true;
            logger_.information("Whole package " + item.first + " will be downloaded. Large number of items.");
        } else if (fileExists(pack.localPath)) {
            pack.wholeDownload = true;
        }
    }
}

DiskNeed DistrManager::diskNeed() const {
    DiskNeed need;
    std::int64_t largestReplaced = 0;
    std::vector<bool> produced(Singleton<RootStorage>::instance().size()); // by path index
    auto produce = [&](const ControlEntry& entry) {
        if (entry.path < 0 || produced[static_cast<std::size_t>(entry.path)])
            return;
        produced[static_cast<std::size_t>(entry.path)] = true;
        const std::string pathText = entry.pathText();
        const std::int64_t old = cache_->get(pathText) ? sizeOnDisk(destinationDir_ + pathText) : 0;
        add(need.destination, std::max<std::int64_t>(finalSize(entry) - old, 0));
        largestReplaced = std::max(largestReplaced, old);
        need.largestProduced = std::max(need.largestProduced, finalSize(entry));
    };
    struct Batch {
        std::int64_t sum = 0;
        std::int64_t largest = 0; // item
        void item(std::int64_t bytes) {
            add(sum, bytes);
            largest = std::max(largest, bytes);
        }
    };
    // By (stage, 0 deltas / 1 packages / 2 single entries).
    std::map<std::pair<int, int>, Batch> batches;

    for (const auto& item : deltaEntries_.entries()) {
        const ControlEntry& d = *item.second;
        const auto record = cache_->get(d.pathText());
        const ControlEntryPtr target = files_.find(d.path);
        if (!record || record->sha1 != d.name() || !target)
            continue;
        std::int64_t bytes = d.storedSize; // the piece
        add(bytes, finalSize(d));          // the delta taken out of it
        batches[{d.stage, 0}].item(bytes);
        produce(*target);
    }
    for (const auto& item : packages_) {
        const PackContent& pack = *item.second;
        if (!pack.wholeDownload)
            continue;
        if (!pendingPacks_ || !pendingPacks_->contains(pack.localPath))
            batches[{pack.stage, 1}].item(std::max<std::int64_t>(pack.storedTotal - sizeOnDisk(pack.localPath), 0));
        for (const ControlEntry* entry : pack.missingEntries)
            produce(*entry);
    }
    for (const auto& item : files_.entries()) {
        const ControlEntry& entry = *item.second;
        if ((entry.path >= 0 && produced[static_cast<std::size_t>(entry.path)]) ||
            cache_->isValid(entry.pathText(), entry.sha1))
            continue;
        batches[{entry.stage, 2}].item(entry.storedSize);
        produce(entry);
    }
    add(need.destination, largestReplaced);
    for (const auto& item : batches) {
        const Batch& batch = item.second;
        std::int64_t bound = settings_.aheadLimit;
        add(bound, batch.largest);
        add(bound, batch.largest);
        need.temporary = std::max(need.temporary, std::min(batch.sum, bound));
    }
    return need;
}

void DistrManager::checkDiskSpace() const {
    const DiskNeed need = diskNeed();
    if (need.destination == 0 && need.temporary == 0)
        return;
    const platform::DiskSpace destination = platform::diskSpace(destinationDir_);
    const platform::DiskSpace temporary = platform::diskSpace(tempDir_);
    auto check = [this](const platform::DiskSpace& space, std::int64_t bytes) {
        logger_.information(Poco::format("Disk space on %s: %Ld bytes needed, %Ld bytes free", space.mountPoint,
                                         static_cast<Poco::Int64>(bytes), static_cast<Poco::Int64>(space.freeBytes)));
        if (bytes > space.freeBytes)
            throw UpdaterError(Poco::format("Not enough disk space on %s: need %Ld MiB, free %Ld MiB",
                                            space.mountPoint, static_cast<Poco::Int64>(mebibytes(bytes, true)),
                                            static_cast<Poco::Int64>(mebibytes(space.freeBytes, false))),
                               platform::kNoSpaceError);
    };
    if (destination.device == temporary.device) {
        std::int64_t total = need.destination;
        add(total, need.temporary);
        check(destination, total);
    } else {
        check(destination, need.destination);
        std::int64_t total = need.temporary;
        add(total, need.largestProduced);
        check(temporary, total);
    }
}

void DistrManager::computeEstimations() {
    auto stageOf = [this](const ControlEntry& entry) -> StageBytes& {
        const std::size_t stage = static_cast<std::size_t>(entry.stage);
        if (stage >= stageBytes_.size())
            stageBytes_.resize(stage + 1);
        return stageBytes_[stage];
    };

    std::int64_t deltaTotal = 0;
    for (const auto& item : deltaEntries_.entries()) {
        const ControlEntry& d = *item.second;
        const auto record = cache_->get(d.pathText());
        if (record && record->sha1 == d.name()) {
            stageOf(d).fetchBytes += d.storedSize;
            deltaTotal += d.storedSize + record->size;
        }
    }
    if (auto t = task(TaskType::Delta))
        t->start(deltaTotal, 0, deltaEntries_.directory());

    std::int64_t shaTotal = 0;
    std::int64_t shaDone = 0;
    for (const auto& item : files_.entries()) {
        const ControlEntry& e = *item.second;
        shaTotal += finalSize(e);
        if (cache_->isValid(e.pathText(), e.sha1))
            shaDone += finalSize(e);
    }
    if (auto t = task(TaskType::SHA1))
        t->start(shaTotal, shaDone, destinationDir_);

    std::int64_t fetchedByDelta = 0;
    for (const StageBytes& s : stageBytes_)
        fetchedByDelta += s.fetchBytes;
    std::int64_t overall = 0;
    std::int64_t present = 0;
    std::int64_t extraction = 0;
    for (const auto& item : files_.entries()) {
        const ControlEntry& e = *item.second;
        StageBytes& stage = stageOf(e);
        stage.allBytes += e.storedSize;
        overall += e.size;
        const auto record = cache_->get(e.pathText());
        if (!record || (record->sha1 != e.sha1 && !deltaEntries_.find(e.path))) {
            stage.fetchBytes += e.storedSize;
            extraction += finalSize(e);
        } else if (record->sha1 != e.sha1) {
            stage.presentBytes += e.storedSize;
            present += e.size;
        } else {
            stage.presentBytes += e.storedSize;
            present += e.size;
            auto pack = packages_.find(e.packageKey());
            if (pack != packages_.end() && pack->second->wholeDownload)
                stage.fetchBytes += e.storedSize;
        }
    }
    std::int64_t fetchTotal = 0;
    for (const StageBytes& s : stageBytes_)
        fetchTotal += s.fetchBytes;
    std::int64_t alreadyDownloaded = 0;
    for (const auto& item : packages_)
        if (item.second->wholeDownload && pendingPacks().contains(item.second->localPath))
            alreadyDownloaded += item.second->storedTotal;
    if (auto t = task(TaskType::Download))
        t->start(fetchTotal, std::min(alreadyDownloaded, fetchTotal), source_);
    if (auto t = task(TaskType::Extract))
        t->start(extraction + fetchedByDelta, 0, "from different sources");

    if (progress_) {
        std::vector<StageRecord> stages;
        for (std::size_t i = 1; i < stageBytes_.size(); ++i) {
            StageRecord r;
            r.stageSize = stageBytes_[i].allBytes;
            r.updateSize = stageBytes_[i].fetchBytes;
            stages.push_back(r);
        }
        progress_->setEstimation(present, overall, stages);
    }
}

} // namespace Patcher
