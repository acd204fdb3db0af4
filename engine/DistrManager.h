#pragma once

#include "base/Task.h"
#include "distr/ControlFile.h"
#include "distr/FileCache.h"
#include "distr/FileOps.h"
#include "distr/LocalFile.h"
#include "distr/Metadata.h"
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
    DlServiceOptions download; // retry pauses and bound, the low-speed rule

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
    std::vector<ControlEntryPtr> missingEntries;
    std::int64_t storedTotal = 0;
    std::int64_t missingBytes = 0;
    int count = 0;
    int missingCount = 0;
    int stage = 0;
    bool wholeDownload = false;
};

using PackContentPtr = std::shared_ptr<PackContent>;

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
    std::string fetchVersionInfo(const std::string& location);
    void loadControlFile(ControlFile& target, const VersionInfo& info, ControlFileType kind,
                         const std::string& version);
    void loadDistrFiles(ControlFile& target, const DistrPtr& distr);
    void loadMetadataFile(ControlFile& target, const MetadataFile& file, ControlFileType kind);
    std::vector<std::string> collectFromVersions();
    void buildDeltaEntries();
    std::string prepareAdapter();

    // Fetching: a whole file, and an entry's range of its package.
    void downloadFile(const std::string& remote, const std::string& localPath);
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

private:
    std::shared_ptr<Task> makeTask(TaskType type);
    void finishBatch();
    bool isUrl(const std::string& location) const;
    void placeVersionInfo(LocalFile& file, const std::string& storedName);
    void fetchPacked(const std::string& remoteDirectory, const std::string& remoteName, const std::string& name,
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
