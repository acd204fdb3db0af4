#include "engine/DistrManager.h"

#include "base/CmdHandler.h"
#include "base/Errors.h"
#include "base/Singleton.h"
#include "base/TaskWeights.h"
#include "distr/Commands.h"
#include "distr/SevenZip.h"
#include "engine/LcsUpdater.h"
#include "engine/UpdateParallelizer.h"
#include "progress/TotalProgress.h"
#include "ravel/UpdateDownloader.h"

#include <Poco/File.h>
#include <Poco/Logger.h>
#include <Poco/Path.h>
#include <Poco/Util/AbstractConfiguration.h>

#include <algorithm>

namespace Patcher {
namespace {

FileOpPolicy enginePolicy(Poco::Logger& logger, bool quiet) {
    FileOpPolicy policy = FileOpPolicy::defaultPolicy();
    policy.logger = &logger;
    policy.quiet = quiet;
    return policy;
}

} // namespace

DistrManagerSettings DistrManagerSettings::fromConfig(const Poco::Util::AbstractConfiguration& config) {
    DistrManagerSettings s;
    s.packDownloadByMissing = config.getInt("logic.pack-download-by-missing", 500);
    s.packDownloadByPercent = config.getInt("logic.pack-download-by-percent", 90);
    s.maxSimultaneousConnection = config.getInt("app.max-simultaneous-connection", 1);
    s.minSegmentSize = std::max(config.getInt("app.min-segment-size", kMinSegmentSize), kMinSegmentSize);
    s.allowHttps = config.getBool("app.allow-https", true);
    s.trustedKeys = config.getString("app.trusted-keys", "");
    s.keyDir = config.getString("application.dir", "");
    s.allowDowngrade = config.getBool("app.allow-downgrade", false);
    // Seconds, fractions allowed, so that tests can make them small.
    auto millis = [&config](const char* key, std::int64_t fallback) {
        return static_cast<std::int64_t>(config.getDouble(key, static_cast<double>(fallback) / 1000.0) * 1000.0);
    };
    ravel::RetryPolicy& retry = s.download.retry;
    retry.firstDelayMs = millis("app.retry-delay", retry.firstDelayMs);
    retry.maxDelayMs = millis("app.retry-delay-max", retry.maxDelayMs);
    retry.retryAfterMaxMs = millis("app.retry-after-max", retry.retryAfterMaxMs);
    retry.retryTimeMs = millis("app.retry-time", retry.retryTimeMs);
    s.download.lowSpeed.rate = config.getInt64("app.low-speed-rate", s.download.lowSpeed.rate);
    s.download.lowSpeed.window =
        Poco::Timespan(millis("app.low-speed-window", s.download.lowSpeed.window.totalMilliseconds()) * 1000);
    return s;
}

DistrManager::DistrManager(const std::string& source, const std::string& destination, TotalProgress* progress)
    : logger_(Poco::Logger::get("DistrMngr")),
      firstPolicy_(enginePolicy(logger_, false)),
      secondPolicy_(enginePolicy(logger_, true)),
      progress_(progress),
      ownStopState_(std::make_unique<StopState>()),
      stopState_(ownStopState_.get()),
      codec_(std::make_unique<SevenZip>()) {
    destinationDir_ = Poco::Path(destination).makeDirectory().toString();
    if (Poco::Path(destinationDir_).isRelative())
        destinationDir_ = Poco::Path(destinationDir_).makeAbsolute().toString();
    source_ = normalizeLocation(source);
    metaDirName_ = std::string(kMetaDirName) + Poco::Path::separator();
    metaDir_ = destinationDir_ + metaDirName_;
    tempDir_ = Poco::Path(destinationDir_).pushDirectory(kTempDirName).toString();

    if (!Poco::File(metaDir_).exists()) {
        createFolder(metaDir_, &firstPolicy_);
        if (logger_.trace())
            logger_.trace("Folder '" + metaDir_ + "' is create.");
    }
    setHidden(metaDir_);
    cache_ = std::make_unique<FileCache>(destinationDir_, std::string(kMetaDirName) + "/" + kCacheFileName);
}

DistrManager::~DistrManager() {
    try {
        pipeline_.reset();
        stages_.reset();
        downloader_.reset();
        pendingPacks_.reset();
        if (succeeded_ && !tempDir_.empty() && !stopState_->isStopped())
            tryDeleteFolder(tempDir_, &FileOpPolicy::defaultPolicy());
        if (progress_)
            progress_->finish();
        for (auto& task : tasks_)
            task.reset();
        cache_.reset();
    } catch (const Poco::Exception& e) {
        logger_.error("Failed to release the engine: " + e.displayText());
    } catch (const std::exception& e) {
        logger_.error(std::string("Failed to release the engine: ") + e.what());
    }
}

PendingPacks& DistrManager::pendingPacks() {
    if (!pendingPacks_)
        pendingPacks_ = std::make_unique<PendingPacks>(tempDir_);
    return *pendingPacks_;
}

unsigned DistrManager::firstStage() const { return stages_ ? stages_->firstStage() : 1; }

unsigned DistrManager::lastStage() const { return stages_ ? stages_->lastStage() : 1; }

bool DistrManager::isUrl(const std::string& location) const { return location.compare(0, 4, "http") == 0; }

std::shared_ptr<Task> DistrManager::makeTask(TaskType type) {
    TaskWeights* weights = Singleton<TaskWeights>::exists() ? &Singleton<TaskWeights>::instance() : nullptr;
    auto task = std::make_shared<Task>(type, weights, 1000);
    if (progress_)
        progress_->registerTask(*task);
    return task;
}

std::shared_ptr<Task> DistrManager::liveTask(TaskType type) const {
    std::shared_ptr<Task> t = tasks_[static_cast<int>(type)];
    if (t && (t->status() == TaskStatus::Skipped || t->status() == TaskStatus::Done))
        return nullptr;
    return t;
}

void DistrManager::createTemporaryFolder() {
    logger_.notice("DistrManager:createTemporaryFolder" + tempDir_);
    Poco::File(tempDir_).createDirectories();
    setHidden(tempDir_);
    pendingPacks();
}

void DistrManager::resetDownloader() {
    logger_.notice("Resetting UpdateDownloader");
    downloader_.reset();
    downloader_ = std::make_unique<UpdateDownloader>(stopState_, settings_.maxSimultaneousConnection, settings_.download);
    downloader_->setMinSegmentSize(settings_.minSegmentSize);
}

void DistrManager::update(StopState& stopState) {
    stopState_ = &stopState;
    createTemporaryFolder();
    resetDownloader();
    pipeline_ = std::make_unique<UpdateParallelizer>(stopState, settings_.aheadLimit);
    analyzeDistribution();
    refreshCacheContent();
    // Planned before the pre-update commands run, so that a plan that does not
    // fit fails before anything in the destination changes.
    findSolution();
    checkDiskSpace();
    runCommand(CommandKind::PreUpdate, destinationDir_, &versionInfo_, keepNames_, logger_);
    performUpdate();
    if (isOutdated())
        throw InternalError("Distribution should be in an up-to-dated state.", kInternalErrorCode);
    writeInstalledVersion(metaDir_, versionInfo_.latestVersion());
    cache_->putFile(metaDirName_ + kInstalledFileName, 0, 0);
    runCommand(CommandKind::PostUpdate, destinationDir_, &versionInfo_, keepNames_, logger_);
    cleanupMetadata();
    cache_->save();
    succeeded_ = true;
}

void DistrManager::performUpdate() {
    logger_.notice("Performing Update");
    if (!isOutdated()) {
        logger_.notice("Distribution is not outdated, so update not needed");
        // A run cut after its files were placed has left its removals undone.
        removeDeletedItems();
        return;
    }
    logger_.notice("Creating Update Tasks");
    createTasks();
    logger_.notice("Computing Estimations");
    computeEstimations();
    logger_.notice("Running Update Stages");
    const unsigned first = firstStage();
    const unsigned last = lastStage();
    for (unsigned stage = first; stage <= last && first <= last; ++stage) {
        currentStage_ = stage;
        if (progress_)
            progress_->setStage(stage);
        applyDelta(static_cast<int>(stage));
        applySolution(static_cast<int>(stage));
        applyPatch(static_cast<int>(stage));
        if (stage == last)
            break;
    }
    removeDeletedItems();
    removeCaseTwins();
    completeTasks();
}

void DistrManager::completeTasks() {
    for (auto& task : tasks_)
        completeTask(task);
}

void DistrManager::completeTask(const std::shared_ptr<Task>& task) {
    // The work is through: what the estimate expected and the work did not
    // count (compressed against plain sizes, a fallback, a batch not yet
    // reported) is done as well, so the displays end at 100 percent.
    if (!task || task->status() == TaskStatus::Skipped || task->status() == TaskStatus::Done)
        return;
    try {
        task->activate();
        task->update(std::max<std::int64_t>(task->total() - task->done(), 1), true);
    } catch (const InternalError&) {
    }
}

void DistrManager::createTasks() {
    for (TaskType type : {TaskType::Delta, TaskType::Extract, TaskType::SHA1, TaskType::Download})
        tasks_[static_cast<int>(type)] = makeTask(type);
}

void DistrManager::finishBatch() {
    pipeline_->finish();
    pipeline_->exceptions().rethrow();
}

void DistrManager::refreshCache() {
    logger_.information("Refreshing cache...");
    cache_->refresh();
    fullRefresh_ = true;
}

} // namespace Patcher
