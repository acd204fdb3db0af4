#include "engine/Wraps.h"

#include "base/CmdHandler.h"
#include "base/Errors.h"
#include "base/RootStorage.h"
#include "base/Singleton.h"
#include "distr/Extract.h"
#include "distr/SevenZip.h"
#include "engine/DistrManager.h"
#include "engine/TaskDiskObserver.h"
#include "platform/FileMode.h"
#include "platform/FileSystem.h"
#include "platform/Spawn.h"

#include <Poco/File.h>
#include <Poco/Format.h>
#include <Poco/Logger.h>
#include <Poco/Path.h>

#include <algorithm>
#include <map>
#include <set>
#include <stdexcept>
#include <vector>

namespace Patcher {
namespace {

std::int64_t finalSize(const ControlEntry& entry) { return entry.status == 1 ? entry.size : entry.storedSize; }

bool fileExists(const std::string& path) {
    try {
        return Poco::File(path).exists();
    } catch (const Poco::Exception&) {
        return false;
    }
}

std::string rootText(int index) { return Singleton<RootStorage>::instance().text(index); }

// Damaged data rather than a failing disk: a hash mismatch, a stream that does
// not decode, a range that ends early.
template <class Body>
bool survivesCorruption(Body&& body, std::string& reason) {
    try {
        body();
        return true;
    } catch (const Interrupted&) {
        throw;
    } catch (const SHA1CheckError& e) {
        reason = e.displayText();
    } catch (const OversizedEntry& e) {
        reason = e.displayText();
    } catch (const InternalError& e) {
        reason = e.displayText();
    } catch (const InvalidDistr& e) { // damaged bytes may decode to anything
        reason = e.displayText();
    } catch (const std::runtime_error& e) {
        reason = e.what();
    }
    return false;
}

} // namespace

std::string sha1OfText(const std::string& text) {
    Sha1Buf digest;
    digest.update(text.data(), text.size());
    return digest.hex();
}

// ---- DistrManager: producing and placing files

std::string DistrManager::workPath(const ControlEntry& entry) const {
    return tempDir_ + entry.sha1 + "_" + sha1OfText(entry.pathText());
}

LocalFilePtr DistrManager::extractFromLocalFile(const std::string& source, const std::string& targetPath,
                                                const ControlEntry& entry, std::int64_t offset) {
    stopState_->setMessage("Patcher::DistrManager::extractFromLocalFile");
    const std::string pathText = entry.pathText();
    std::string produced;
    {
        TaskUpdater updater(liveTask(TaskType::Extract), *stopState_);
        updater.onItem(pathText, finalSize(entry));
        TaskDiskObserver observer(updater, TaskDiskObserver::Count::Writes);
        produced = extractEntry(source, offset, entry, targetPath, *codec_, &observer);
    }
    auto result = std::make_shared<LocalFile>(produced, true);
    std::string sha1;
    {
        TaskUpdater updater(liveTask(TaskType::SHA1), *stopState_);
        updater.onItem(pathText, finalSize(entry));
        TaskDiskObserver observer(updater, TaskDiskObserver::Count::Reads);
        sha1 = sha1OfFile(produced, &observer);
    }
    if (sha1 != entry.sha1)
        throw SHA1CheckError("SHA1 verification failed for the file: " + pathText, kSHA1CheckErrorCode);
    return result;
}

void DistrManager::placeEntry(LocalFile& file, const ControlEntry& entry) {
    const std::string pathText = entry.pathText();
    const std::string target = destinationDir_ + pathText;
    file.placeAt(target);
    // The format carries no permission bits: a program is known by its first bytes.
    platform::setPlacedModeOf(target);
    std::int64_t seconds = 0, nanos = -1;
    if (!platform::modificationTime(target, seconds, nanos))
        throw Poco::FileNotFoundException(target);
    cache_->put(pathText, entry.sha1, entry.storedSize, seconds, nanos);
}

void DistrManager::extractFromLocalFile(PackContent& pack) {
    logger_.information("Extracting: " + pack.localPath);
    std::string reason;
    const bool intact = survivesCorruption(
        [&] {
            for (const ControlEntry* entry : pack.missingEntries) {
                stopState_->check();
                if (cache_->isValid(entry->pathText(), entry->sha1))
                    continue;
                LocalFilePtr result = extractFromLocalFile(pack.localPath, tempDir_ + entry->sha1, *entry, entry->offset);
                placeEntry(*result, *entry);
            }
        },
        reason);
    // Done with: the list of a large package is not kept to the end of the run.
    std::vector<const ControlEntry*>().swap(pack.missingEntries);
    if (!intact) {
        // Kept, a damaged package would be chosen again by every later run.
        logger_.warning("Package " + pack.localPath + " is damaged (" + reason +
                        "); its remaining files are fetched one by one");
        if (pendingPacks().contains(pack.localPath))
            pendingPacks().remove(pack.localPath);
    }
    deleteFile(pack.localPath, &secondPolicy_);
}

int DistrManager::decodeXD3(const std::string& oldPath, const std::string& deltaPath, const std::string& newPath) {
    std::string errors;
    const int code = platform::spawnAndWait("xdelta3", {"-f", "-d", "-s", oldPath, deltaPath, newPath}, errors);
    while (!errors.empty() && (errors.back() == '\n' || errors.back() == '\r'))
        errors.pop_back();
    if (code != 0 && !errors.empty())
        logger_.warning("xdelta3: " + errors);
    return code;
}

// ---- The stage operations

void DistrManager::applyDelta(int stage) {
    stopState_->setMessage("Patcher::DistrManager::applyDelta");
    const std::string suffix = " for stage: " + std::to_string(stage);
    logger_.information("Applying delta" + suffix);
    unsigned pushed = 0;
    for (const auto& item : deltaEntries_.entries()) {
        if (item.second->stage != stage)
            continue;
        auto wrap = std::make_shared<DeltaEntryWrap>(*this, item.second);
        if (wrap->isNeeded()) {
            ++pushed;
            pipeline_->push(wrap);
        }
    }
    if (pushed > 0)
        logger_.information(Poco::format("Outdated items recoverable by delta: %u from %u", pushed,
                                         static_cast<unsigned>(deltaEntries_.count())));
    finishBatch();
    logger_.information("Delta processing completed" + suffix);
}

void DistrManager::applySolution(int stage) {
    stopState_->setMessage("Patcher::DistrManager::applySolution");
    const std::string suffix = " for stage: " + std::to_string(stage);
    logger_.information("Applying package" + suffix);
    std::vector<PackContentPtr> chosen;
    for (const auto& item : packages_)
        if (item.second->wholeDownload && item.second->stage == stage)
            chosen.push_back(item.second);
    std::sort(chosen.begin(), chosen.end(), [](const PackContentPtr& a, const PackContentPtr& b) {
        return a->stage != b->stage ? a->stage < b->stage : a->storedTotal > b->storedTotal;
    });
    if (!chosen.empty()) {
        logger_.notice("Adding " + std::to_string(chosen.size()) + " packages to be downloaded");
        for (const PackContentPtr& pack : chosen)
            pipeline_->push(std::make_shared<PackContentWrap>(*this, pack));
        logger_.notice("Waiting for packages to be downloaded");
        pipeline_->finish();
        logger_.notice("Checking packages download process exceptions");
        pipeline_->exceptions().rethrow();
    }
    logger_.information("Package processing completed" + suffix);
}

void DistrManager::applyPatch(int stage) {
    stopState_->setMessage("Patcher::DistrManager::applyPatch");
    const std::string suffix = " for stage: " + std::to_string(stage);
    logger_.information("Applying single entries" + suffix);
    // Grouped by root through one pass per root rather than a copy of the list.
    std::set<int> roots;
    unsigned inStage = 0;
    for (const auto& item : files_.entries()) {
        const ControlEntryPtr& entry = item.second;
        if (entry->stage != stage)
            continue;
        if (entry->packageRoot == -1) {
            logger_.error("rootIndex is -1");
            throw InternalError("rootIndex is -1. INVESTIGATE!!!", kInternalErrorCode);
        }
        ++inStage;
        roots.insert(entry->packageRoot);
    }
    unsigned pushed = 0;
    auto refetch = std::make_shared<EntryRefetch>();
    for (const int root : roots) {
        for (const auto& item : files_.entries()) {
            const ControlEntryPtr& entry = item.second;
            if (entry->stage != stage || entry->packageRoot != root)
                continue;
            auto wrap = std::make_shared<EntryWrap>(*this, entry, refetch);
            if (wrap->isNeeded()) {
                ++pushed;
                pipeline_->push(wrap);
            }
        }
    }
    logger_.information(Poco::format("Single entries to be processed: %u from %u", pushed, inStage));
    finishBatch();
    // Fetched anew once; damaged again, the data itself is wrong and the run fails.
    std::vector<ControlEntryPtr> again;
    {
        std::lock_guard<std::mutex> lock(refetch->mutex);
        again.swap(refetch->entries);
    }
    if (!again.empty()) {
        for (const ControlEntryPtr& entry : again)
            pipeline_->push(std::make_shared<EntryWrap>(*this, entry));
        finishBatch();
    }
    logger_.information("Single entry processing completed" + suffix);
}

// ---- Wraps

CommonWrap::CommonWrap(DistrManager& engine, const ControlEntry& entry)
    : workPath_(engine.workPath(entry)), pathText_(entry.pathText()), engine_(engine),
      remote_(engine.isUrl(rootText(entry.packageRoot))) {}

void CommonWrap::fetchPiece(const ControlEntry& entry) {
    piece_ = std::make_shared<LocalFile>(workPath_ + ".down", true);
    engine_.downloadFile(rootText(entry.packageRoot), entry, piece_->path());
}

EntryWrap::EntryWrap(DistrManager& engine, ControlEntryPtr entry, std::shared_ptr<EntryRefetch> refetch)
    : CommonWrap(engine, *entry), entry_(std::move(entry)), refetch_(std::move(refetch)) {}

bool EntryWrap::isNeeded() { return !engine_.cache().isValid(pathText_, entry_->sha1); }

void EntryWrap::download() {
    if (isNeeded())
        fetchPiece(*entry_);
}

void EntryWrap::handle() {
    if (!piece_)
        return;
    LocalFilePtr result;
    std::string reason;
    const auto extract = [&] { result = engine_.extractFromLocalFile(piece_->path(), workPath_, *entry_, 0); };
    if (!refetch_) {
        try {
            extract();
        } catch (const Interrupted&) {
            throw;
        } catch (...) {
            // The same wrong data twice: the copy at the source is what is wrong.
            engine_.logger().error("Piece of " + pathText_ + " from " + rootText(entry_->packageRoot) +
                                   " is damaged again");
            throw;
        }
    } else if (!survivesCorruption(extract, reason)) {
        engine_.logger().warning("Piece of " + pathText_ + " from " + rootText(entry_->packageRoot) +
                                 " is damaged (" + reason + "); it is fetched again");
        piece_.reset();
        std::lock_guard<std::mutex> lock(refetch_->mutex);
        refetch_->entries.push_back(entry_);
        return;
    }
    engine_.placeEntry(*result, *entry_);
    piece_.reset();
}

DeltaEntryWrap::DeltaEntryWrap(DistrManager& engine, ControlEntryPtr delta)
    : CommonWrap(engine, *delta), delta_(std::move(delta)) {}

bool DeltaEntryWrap::isNeeded() {
    record_ = engine_.cache().get(pathText_);
    return record_ && record_->sha1 == delta_->name();
}

void DeltaEntryWrap::download() {
    if (isNeeded())
        fetchPiece(*delta_);
}

void DeltaEntryWrap::handle() {
    if (!piece_ || !record_)
        return;
    const ControlEntryPtr target = engine_.files().find(delta_->path);
    if (!target)
        throw InvalidDistr("Missing new entry information for an item: " + pathText_, kInvalidDistrCode);
    Poco::Logger& root = Poco::Logger::root();
    const std::string oldPath = engine_.destinationDir() + record_->path;
    LocalFile restored(workPath_ + ".reconstructed", true);
    std::string reason;
    const bool ok = survivesCorruption(
        [&] {
            LocalFilePtr delta = engine_.extractFromLocalFile(piece_->path(), workPath_, *delta_, 0);
            TaskUpdater deltaProgress(engine_.liveTask(TaskType::Delta), engine_.stopState());
            deltaProgress.onItem(pathText_, delta_->storedSize + record_->size);
            const int result = engine_.decodeXD3(oldPath, delta->path(), restored.path());
            if (result != 0) {
                const std::string message = "decodeXD3 returns: " + std::to_string(result) + ", old:   " + oldPath +
                                            ", delta: " + delta->path() + ", new:   " + restored.path();
                root.warning("Delta SHA1 expected " + sha1OfFile(delta->path()) + " was " + delta_->sha1);
                const std::string restoredSha1 = fileExists(restored.path()) ? sha1OfFile(restored.path()) : "";
                root.warning("Restored file SHA1: " + restoredSha1);
                if (restoredSha1 != target->sha1) {
                    root.warning("Restored file SHA1 differs from expected one. Expected: " + target->sha1);
                    throw InternalError(message, kInternalErrorCode);
                }
                root.warning(message);
            }
            deltaProgress.onBytes(delta_->storedSize + record_->size);
            // Only a verified result replaces the installed file.
            std::string sha1;
            {
                TaskUpdater updater(engine_.liveTask(TaskType::SHA1), engine_.stopState());
                updater.onItem(pathText_, finalSize(*target));
                TaskDiskObserver observer(updater, TaskDiskObserver::Count::Reads);
                sha1 = sha1OfFile(restored.path(), &observer);
            }
            if (sha1 != target->sha1)
                throw InternalError("Failed to restore file with delta: " + pathText_, kInternalErrorCode);
        },
        reason);
    piece_.reset();
    if (!ok) {
        // The file is fetched whole by the single entries of this stage.
        root.warning("Delta failed for " + pathText_ + ", the file will be fetched whole: " + reason);
        engine_.cache().remove(record_->path);
        deleteFile(oldPath);
        return;
    }
    engine_.placeEntry(restored, *target);
}

PackContentWrap::PackContentWrap(DistrManager& engine, std::shared_ptr<PackContent> pack)
    : engine_(engine), pack_(std::move(pack)) {}

void PackContentWrap::download() {
    PendingPacks& pending = engine_.pendingPacks();
    if (pending.contains(pack_->localPath))
        return;
    createFolder(Poco::Path(pack_->localPath).parent().toString());
    engine_.downloadFile(pack_->location, pack_->localPath);
    // The package is whole as its source has it: an entry beyond its end is the
    // publication's fault, which fetching the entry alone would not mend.
    const std::int64_t size = static_cast<std::int64_t>(Poco::File(pack_->localPath).getSize());
    for (const ControlEntry* entry : pack_->missingEntries) {
        try {
            checkEntryInside(*entry, size, pack_->location);
        } catch (const InvalidDistr&) {
            deleteFile(pack_->localPath);
            throw;
        }
    }
    pending.insert(pack_->localPath);
}

std::int64_t PackContentWrap::aheadBytes() const { return pack_->storedTotal; }

void PackContentWrap::handle() {
    engine_.extractFromLocalFile(*pack_);
    PendingPacks& pending = engine_.pendingPacks();
    if (pending.contains(pack_->localPath))
        pending.remove(pack_->localPath);
}

} // namespace Patcher
