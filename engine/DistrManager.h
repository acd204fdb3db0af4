#pragma once

#include "base/Task.h"
#include "distr/ControlFile.h"
#include "distr/FileCache.h"
#include "distr/FileOps.h"
#include "distr/LocalFile.h"
#include "distr/Metadata.h"
#include "distr/Signature.h"
#include "distr/VersionInfo.h"
#include "ravel/ImplDetail.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace Poco {
class Logger;
namespace Util {
class AbstractConfiguration;
}
} // namespace Poco

namespace Patcher {

class Compression;
class LcsUpdater;
class StopState;
class TotalProgress;
class UpdateDownloader;
class UpdateParallelizer;

struct DistrManagerSettings {
    int packDownloadByPercent = 90;
    int packDownloadByMissing = 500;
    int maxSimultaneousConnection = 1;
    int minSegmentSize = 4096;
    bool allowHttps = true;
    // Public keys (PEM or file paths, ","-separated; paths relative to keyDir):
    // when set, every description must carry a signature by one of them.
    std::string trustedKeys;
    std::string keyDir;
    bool allowDowngrade = false; // accept a signed publication older than the installed one
    DlServiceOptions download; // retry pauses and bound, the low-speed rule
    // Bytes of pieces the downloader may hold ahead of the handler.
    std::int64_t aheadLimit = std::int64_t(512) << 20;

    static constexpr int kMinSegmentSize = 4096;
    // The keys in the order the driver reads them; a segment size below 4096 is
    // raised to it.
    static DistrManagerSettings fromConfig(const Poco::Util::AbstractConfiguration& config);
};

// One package of the distribution and what solution finding decided for it.
class PackContent {
public:
    std::string localPath; // the whole package in the temporary folder
    std::string location;  // remote URL or local path of the package
    std::vector<const ControlEntry*> missingEntries; // by offset, held by the file list; emptied once extracted
    std::int64_t storedTotal = 0;
    std::int64_t missingBytes = 0;
    int count = 0;
    int missingCount = 0;
    int stage = 0;
    bool wholeDownload = false;
};

using PackContentPtr = std::shared_ptr<PackContent>;

// What an update's plan adds to the disk at most, in bytes.
struct DiskNeed {
    // Files produced less the ones they replace, plus the largest replaced one,
    // which lies beside its successor until the move.
    std::int64_t destination = 0;
    // The largest batch of downloads and intermediate files in the temporary
    // folder. Handled items leave it, so a batch holds at most the look-ahead,
    // the item that may overshoot it and the intermediates of the one handled.
    std::int64_t temporary = 0;
    // The largest file produced: it lies in the temporary folder until its
    // move, which copies it when the destination is on another disk.
    std::int64_t largestProduced = 0;
};

struct StageBytes {
    std::int64_t fetchBytes = 0;
    std::int64_t presentBytes = 0;
    std::int64_t allBytes = 0;
};

// The update engine: one run of update, uninstall or full update of a
// destination from a source (URL or local directory).
class DistrManager : public CacheObserver {
public:
    // Creates the hidden metadata directory and opens the file cache.
    DistrManager(const std::string& source, const std::string& destination, TotalProgress* progress);
    // Keeps the temporary folder unless the update succeeded (a stopped or
    // failed run leaves its downloads for the next one); tells the progress
    // model to finish; saves the cache.
    ~DistrManager() override;
    DistrManager(const DistrManager&) = delete;
    DistrManager& operator=(const DistrManager&) = delete;

    void setSettings(const DistrManagerSettings& settings) { settings_ = settings; }
    const DistrManagerSettings& settings() const { return settings_; }

    // The entry operations.
    void update(StopState& stopState);
    void uninstall(StopState& stopState);
    void refreshCache();

    // The steps of an update, in their order.
    void createTemporaryFolder();
    void resetDownloader();
    void analyzeDistribution();
    void refreshCacheContent();
    void findSolution();
    // After findSolution: throws UpdaterError (code: no space) "Not enough disk
    // space on <mount point>: need N MiB, free M MiB" when the plan does not fit.
    void checkDiskSpace() const;
    DiskNeed diskNeed() const;
    void performUpdate();
    void createTasks();
    void computeEstimations();
    void applyDelta(int stage);
    void applySolution(int stage);
    void applyPatch(int stage);
    void removeDeletedItems();
    void removeDeletedItem(const ControlEntry& entry);
    void removeCaseTwins();
    // A correct file that is a program without any execute bit gets them.
    void keepProgramRunnable(const std::string& path);
    void completeTasks();
    void completeTask(const std::shared_ptr<Task>& task);
    bool isOutdated() const;
    void cleanupMetadata();

    // Analysis pieces.
    static std::string normalizeLocation(const std::string& location);
    // source: the description is the one to install, refused when it is older
    // than the installed version's (signatures required, no app.allow-downgrade).
    std::string fetchVersionInfo(const std::string& location, bool source = false);
    void loadControlFile(ControlFile& target, const VersionInfo& info, ControlFileType kind,
                         const std::string& version);
    void loadDistrFiles(ControlFile& target, const DistrPtr& distr);
    void loadMetadataFile(ControlFile& target, const MetadataFile& file, ControlFileType kind);
    std::vector<std::string> collectFromVersions();
    void buildDeltaEntries();
    std::string prepareAdapter();

    // Fetching: a whole file, and an entry's range of its package. A file
    // larger than maxSize (when not negative) is refused as InvalidDistr
    // before its bytes are fetched.
    void downloadFile(const std::string& remote, const std::string& localPath, std::int64_t maxSize = -1);
    void downloadFile(const std::string& location, const ControlEntry& entry, const std::string& localPath);

    // Produces an entry's file from storedSize bytes of source at offset and
    // verifies its SHA-1 (SHA1CheckError otherwise).
    LocalFilePtr extractFromLocalFile(const std::string& source, const std::string& targetPath,
                                      const ControlEntry& entry, std::int64_t offset);
    // Extracts and places the missing entries of a downloaded whole package.
    void extractFromLocalFile(PackContent& pack);
    int decodeXD3(const std::string& oldPath, const std::string& deltaPath, const std::string& newPath);

    // Places a verified temporary file at its entry's path and records it.
    void placeEntry(LocalFile& file, const ControlEntry& entry);

    void onEntryRemoved(const CacheEntry& entry) override;

    // State the wraps and tests read.
    Poco::Logger& logger() const { return logger_; }
    StopState& stopState() const { return *stopState_; }
    FileCache& cache() { return *cache_; }
    const FileCache& cache() const { return *cache_; }
    PendingPacks& pendingPacks();
    const std::string& destinationDir() const { return destinationDir_; }
    const std::string& tempDir() const { return tempDir_; }
    const std::string& metaDir() const { return metaDir_; }
    const std::string& source() const { return source_; }
    const VersionInfo& versionInfo() const { return versionInfo_; }
    const ControlFile& files() const { return files_; }
    const ControlFile& deltaEntries() const { return deltaEntries_; }
    const std::map<std::string, PackContentPtr>& packages() const { return packages_; }
    const std::vector<StageBytes>& stageBytes() const { return stageBytes_; }
    const MetadataNames& keepNames() const { return keepNames_; }
    const std::set<std::pair<int, std::string>>& envFiles() const { return envFiles_; }
    std::shared_ptr<Task> task(TaskType type) const { return tasks_[static_cast<int>(type)]; }
    Compression& codec() { return *codec_; }
    UpdateParallelizer& pipeline() { return *pipeline_; }
    unsigned firstStage() const;
    unsigned lastStage() const;

    // The path of a working file of an entry in the temporary folder.
    std::string workPath(const ControlEntry& entry) const;
    // A task that can take progress now, or null (a task the estimations
    // skipped refuses updates).
    std::shared_ptr<Task> liveTask(TaskType type) const;
    bool isUrl(const std::string& location) const;

private:
    std::shared_ptr<Task> makeTask(TaskType type);
    void finishBatch();
    // A description fetched and checked, waiting in the temporary folder until
    // every other description the run relies on passed its checks as well.
    struct CheckedDescription {
        std::unique_ptr<LocalFile> file;
        std::string storedName;
    };
    CheckedDescription fetchCheckedVersionInfo(const std::string& location, const std::string& tempName,
                                               bool source);
    std::string storeVersionInfo(CheckedDescription& description);
    // The description at a files location other than the source, fetched once.
    const VersionInfo& describedAt(const std::string& files);
    void loadTrustedKeys();
    void fetchDescription(const std::string& remote, const std::string& localPath);
    void refuseOlderPublication(const VersionInfo& offered, const std::string& remote) const;
    void fetchPacked(const std::string& remoteDirectory, const std::string& remoteName, const std::string& name,
                     const std::string& expectedHash);
    // Unpacks packed when not empty, checks it against expectedHash and places it at stored.
    void placePacked(LocalFile& packed, const std::string& stored, const std::string& remoteName,
                     const std::string& expectedHash);

    Poco::Logger& logger_;
    VersionInfo versionInfo_;
    std::string destinationDir_;
    std::string source_;
    std::string metaDirName_;
    std::string tempDir_;
    std::string metaDir_;
    ControlFile files_;
    ControlFile deltaEntries_;
    ControlFile deleted_;
    std::unique_ptr<UpdateDownloader> downloader_;
    FileOpPolicy firstPolicy_;  // logs every step
    FileOpPolicy secondPolicy_; // quiet on success
    TotalProgress* progress_; // not owned; may be null
    std::map<std::string, PackContentPtr> packages_;
    std::unique_ptr<StopState> ownStopState_; // until an entry operation gives one
    StopState* stopState_;
    std::unique_ptr<FileCache> cache_;
    std::array<std::shared_ptr<Task>, kTaskTypeCount> tasks_;
    std::vector<StageBytes> stageBytes_;
    DistrManagerSettings settings_;
    TrustedKeys trustedKeys_; // from settings_, read when the analysis starts
    std::map<std::string, VersionInfo> describedAt_; // files location -> its description
    unsigned currentStage_ = 0;
    MetadataNames keepNames_;
    std::unique_ptr<Compression> codec_;
    std::unique_ptr<UpdateParallelizer> pipeline_;
    std::shared_ptr<LcsUpdater> stages_;
    std::unique_ptr<PendingPacks> pendingPacks_;
    std::set<std::pair<int, std::string>> envFiles_; // (path index, sha1)
    std::string installedVersion_;
    bool hasInstalledVersion_ = false;
    bool metadataDownload_ = false;
    bool succeeded_ = false;
    bool fullRefresh_ = false; // a full update: files kept as correct are checked for a lost execute bit
};

} // namespace Patcher
