#include "engine/DistrManager.h"

#include "base/Errors.h"
#include "base/RootStorage.h"
#include "base/Singleton.h"
#include "progress/TotalProgress.h"

#include <Poco/File.h>
#include <Poco/Logger.h>

#include <algorithm>
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
        pack.missingEntries.push_back(entry);
        if (pack.stage != 0 && pack.stage != entry->stage)
            throw std::logic_error("Pack content consists of items from different stages: " +
                                   Singleton<RootStorage>::instance().text(entry->packageRoot) + entry->package);
        pack.stage = entry->stage;
    }
    for (auto& item : packages_) {
        PackContent& pack = *item.second;
        std::sort(pack.missingEntries.begin(), pack.missingEntries.end(),
                  [](const ControlEntryPtr& a, const ControlEntryPtr& b) { return a->offset < b->offset; });
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
        if (record && record->sha1 == d.name) {
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
