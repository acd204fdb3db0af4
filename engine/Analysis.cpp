#include "engine/DistrManager.h"

#include "base/Errors.h"
#include "base/RootStorage.h"
#include "base/Singleton.h"
#include "distr/SevenZip.h"
#include "engine/LcsUpdater.h"
#include "progress/TotalProgress.h"

#include <Poco/DateTime.h>
#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeParser.h>
#include <Poco/File.h>
#include <Poco/Format.h>
#include <Poco/Logger.h>
#include <Poco/Path.h>
#include <Poco/String.h>
#include <Poco/Timestamp.h>

namespace Patcher {
namespace {

constexpr std::int64_t kLongestSignatureFile = 4096;

// Marks description and control fetches for the HTTPS-first rule, also when
// the fetch fails.
class MetadataFetch {
public:
    explicit MetadataFetch(bool& flag) : flag_(flag) { flag_ = true; }
    ~MetadataFetch() { flag_ = false; }
    MetadataFetch(const MetadataFetch&) = delete;
    MetadataFetch& operator=(const MetadataFetch&) = delete;

private:
    bool& flag_;
};

std::int64_t modifiedSeconds(const std::string& path) {
    return Poco::File(path).getLastModified().epochTime();
}

// A million entries take about 150 MB; a file that decodes to more is not a
// description but an attack on the disk and on the memory of the loader.
constexpr std::uint64_t kMaxPackedFileSize = std::uint64_t(256) << 20;

// Every later sum of sizes is a part of what these bound, so none of them can
// wrap, however a publication states its sizes.
constexpr std::int64_t kMaxDistributionBytes = std::int64_t(1) << 53; // 8 PiB

void countBytes(std::int64_t& sum, std::int64_t bytes) {
    if (bytes > kMaxDistributionBytes - sum)
        throw InvalidDistr("The sizes of the distribution add up to more than 8 PiB", kInvalidDistrCode);
    sum += bytes;
}

bool parseDate(const std::string& text, Poco::Timestamp& when) {
    Poco::DateTime date;
    int zone = 0;
    if (!Poco::DateTimeParser::tryParse(Poco::DateTimeFormat::ISO8601_FORMAT, text, date, zone) &&
        !Poco::DateTimeParser::tryParse(text, date, zone))
        return false;
    date.makeUTC(zone);
    when = date.timestamp();
    return true;
}

// When a publication was made: its creation, then its latest rebuild, since a
// rebuild of the same version keeps the creation date and an unfixed build
// must not come back in its place.
bool parsePublished(const PatcherInfo& info, std::pair<Poco::Timestamp, Poco::Timestamp>& when) {
    if (!parseDate(info.dateCreated, when.first))
        return false;
    if (!parseDate(info.dateModified, when.second))
        when.second = when.first;
    return true;
}

} // namespace

std::string DistrManager::normalizeLocation(const std::string& location) {
    if (location.size() > 4 && location.compare(0, 4, "http") == 0)
        return asDirectoryLocation(location);
    Poco::Path path(location);
    path.makeDirectory();
    if (path.isRelative())
        path.makeAbsolute();
    return path.toString();
}

void DistrManager::loadTrustedKeys() {
    if (Poco::trim(settings_.trustedKeys).empty()) {
        logger_.notice("Publications are not verified: no trusted key is configured (app.trusted-keys)");
        return;
    }
    try {
        trustedKeys_ = TrustedKeys::parse(settings_.trustedKeys, settings_.keyDir);
    } catch (const Poco::Exception& e) {
        throw InternalError("Invalid app.trusted-keys: " + e.displayText(), kInternalErrorCode);
    }
    logger_.information(Poco::format("Publications are verified against %z trusted key(s)", trustedKeys_.size()));
}

void DistrManager::fetchDescription(const std::string& remote, const std::string& localPath) {
    {
        MetadataFetch fetch(metadataDownload_);
        downloadFile(remote, localPath, VersionInfo::kMaxFileSize);
    }
    if (trustedKeys_.empty())
        return;
    const std::string failed = "Signature verification failed for: " + remote;
    LocalFile signature(tempDir_ + "version-info.txt.sig", true);
    try {
        MetadataFetch fetch(metadataDownload_);
        // A signature is under a hundred bytes: a large answer is not fetched.
        downloadFile(remote + ".sig", signature.path(), kLongestSignatureFile);
    } catch (const Interrupted&) {
        throw;
    } catch (const InvalidDistr& e) {
        logger_.warning(e.displayText());
        throw InvalidDistr(failed + " (malformed)", kInvalidDistrCode);
    } catch (const Poco::Exception& e) {
        logger_.warning(e.displayText());
        throw InvalidDistr(failed + " (missing)", kInvalidDistrCode);
    }
    switch (trustedKeys_.verify(readWholeFile(localPath), readWholeFile(signature.path()))) {
    case TrustedKeys::Verdict::Trusted:
        return;
    case TrustedKeys::Verdict::Malformed:
        throw InvalidDistr(failed + " (malformed)", kInvalidDistrCode);
    case TrustedKeys::Verdict::Untrusted:
        break;
    }
    throw InvalidDistr(failed + " (not signed by a trusted key)", kInvalidDistrCode);
}

// An old signed publication stays valid forever: replaying one would bring back
// whatever fault its successor fixed.
void DistrManager::refuseOlderPublication(const VersionInfo& offered, const std::string& remote) const {
    if (trustedKeys_.empty() || settings_.allowDowngrade || !hasInstalledVersion_)
        return;
    const std::string copy = metaDir_ + versionInfoName(installedVersion_);
    std::pair<Poco::Timestamp, Poco::Timestamp> installedDate, offeredDate;
    try {
        VersionInfo installed;
        if (!Poco::File(copy).exists())
            return;
        installed.load(copy);
        if (!parsePublished(installed.patcher(), installedDate))
            return;
    } catch (const Poco::Exception& e) {
        logger_.warning("The installed version's description cannot be read: " + e.displayText());
        return;
    }
    if (parsePublished(offered.patcher(), offeredDate) && !(offeredDate < installedDate))
        return;
    const std::string& created = offered.patcher().dateCreated;
    const std::string& modified = offered.patcher().dateModified;
    std::string made = created.empty() ? "at an unknown date" : created;
    if (!modified.empty() && modified != created)
        made += ", rebuilt " + modified;
    throw InvalidDistr("Refusing an older publication: " + remote + " (version " + offered.latestVersion() +
                           ", created " + made +
                           ", is older than the installed version " + installedVersion_ +
                           "; app.allow-downgrade = true accepts it)",
                       kInvalidDistrCode);
}

DistrManager::CheckedDescription DistrManager::fetchCheckedVersionInfo(const std::string& location,
                                                                      const std::string& tempName, bool source) {
    const std::string remote = location + "version-info.txt";
    CheckedDescription checked;
    checked.file = std::make_unique<LocalFile>(tempDir_ + tempName, true);
    fetchDescription(remote, checked.file->path());
    VersionInfo scratch;
    scratch.load(checked.file->path());
    if (scratch.distrs().empty())
        throw InvalidDistr("No distribution is described in: " + remote, kInvalidDistrCode);
    if (source)
        refuseOlderPublication(scratch, remote);
    checked.storedName = versionInfoName(scratch.latestVersion());
    return checked;
}

std::string DistrManager::storeVersionInfo(CheckedDescription& description) {
    keepNames_.add(description.storedName);
    description.file->placeAt(metaDir_ + description.storedName);
    cache_->putFile(metadataCachePath(description.storedName), 0, 0);
    return metaDir_ + description.storedName;
}

std::string DistrManager::fetchVersionInfo(const std::string& location, bool source) {
    CheckedDescription checked = fetchCheckedVersionInfo(location, "version-info.txt", source);
    return storeVersionInfo(checked);
}

const VersionInfo& DistrManager::describedAt(const std::string& files) {
    auto found = describedAt_.find(files);
    if (found == describedAt_.end()) {
        LocalFile temporary(tempDir_ + "files.version-info.txt", true);
        fetchDescription(files + "version-info.txt", temporary.path());
        VersionInfo described;
        described.load(temporary.path());
        found = describedAt_.emplace(files, std::move(described)).first;
    }
    return found->second;
}

void DistrManager::loadControlFile(ControlFile& target, const VersionInfo& info, ControlFileType kind,
                                   const std::string& version) {
    loadMetadataFile(target, metadataName(kind, version, info, keepNames_), kind);
}

void DistrManager::loadDistrFiles(ControlFile& target, const DistrPtr& distr) {
    // By the record itself: an environment carries the version of the main
    // distribution, so a lookup by version would find the main one.
    VersionInfo single;
    single.addDistr(distr);
    MetadataFile file = metadataName(ControlFileType::Files, distr->version, single, keepNames_);
    if (distr->type == DistrType::Env && !distr->env.empty()) {
        file.name = ".kvo.files." + distr->version + "." + distr->env + ".control.txt";
        keepNames_.add(file.name);
    }
    loadMetadataFile(target, file, ControlFileType::Files);
}

// Fetches remoteDirectory + remoteName (an LZMA stream, or empty), checks the
// decoded file against expectedHash and stores it in the metadata directory as
// name, recorded in the cache. Nothing is stored when the check fails.
void DistrManager::fetchPacked(const std::string& remoteDirectory, const std::string& remoteName,
                               const std::string& name, const std::string& expectedHash) {
    const std::string stored = metaDir_ + name;
    auto packed = std::make_unique<LocalFile>(tempDir_ + name, true);
    {
        MetadataFetch fetch(metadataDownload_);
        downloadFile(remoteDirectory + remoteName, packed->path(), static_cast<std::int64_t>(kMaxPackedFileSize));
    }
    try {
        placePacked(*packed, stored, remoteName, expectedHash);
    } catch (const SHA1CheckError& e) {
        // Resumed from an earlier run, the file may hold bytes its record
        // claims but the disk lost: fetched anew once before the run fails.
        logger_.warning(remoteName + " is damaged (" + e.displayText() + "); it is fetched again");
        packed.reset(); // deletes the file
        packed = std::make_unique<LocalFile>(tempDir_ + name, true);
        MetadataFetch fetch(metadataDownload_);
        downloadFile(remoteDirectory + remoteName, packed->path(), static_cast<std::int64_t>(kMaxPackedFileSize));
        placePacked(*packed, stored, remoteName, expectedHash);
    }
    cache_->put(metadataCachePath(name), expectedHash, 0, modifiedSeconds(stored));
}

void DistrManager::placePacked(LocalFile& packed, const std::string& stored, const std::string& remoteName,
                               const std::string& expectedHash) {
    std::unique_ptr<LocalFile> unpacked;
    LocalFile* result = &packed;
    const std::uint64_t packedSize = Poco::File(packed.path()).getSize();
    const std::string tooLarge = remoteName + " is larger than " + std::to_string(kMaxPackedFileSize >> 20) +
                                 " MiB: not a file of a distribution";
    if (packedSize > kMaxPackedFileSize)
        throw InvalidDistr(tooLarge, kInvalidDistrCode);
    if (packedSize > 0) {
        unpacked = std::make_unique<LocalFile>(packed.path() + ".unzipped", true);
        struct Limit {
            Compression& codec;
            const std::uint64_t previous = codec.outputLimit();
            ~Limit() { codec.setOutputLimit(previous); }
        } limit{*codec_};
        codec_->setOutputLimit(kMaxPackedFileSize);
        try {
            codec_->decompressFile(packed.path(), unpacked->path());
        } catch (const DecodedSizeExceeded&) {
            throw InvalidDistr(tooLarge, kInvalidDistrCode);
        } catch (const Poco::FileException&) {
            throw; // the disk, not the data
        } catch (const std::exception&) {
            // A stream that does not decode is not the file the description hashed.
            throw SHA1CheckError("SHA1 verification failed for the file: " + remoteName, kSHA1CheckErrorCode);
        }
        result = unpacked.get();
    }
    if (sha1OfFile(result->path()) != expectedHash)
        throw SHA1CheckError("SHA1 verification failed for the file: " + remoteName, kSHA1CheckErrorCode);
    result->placeAt(stored);
}

void DistrManager::loadMetadataFile(ControlFile& target, const MetadataFile& file, ControlFileType kind) {
    const std::string stored = metaDir_ + file.name;
    const std::string cachePath = metadataCachePath(file.name);
    if (!file.expectedHash.empty() && cache_->isValid(cachePath, file.expectedHash) && Poco::File(stored).exists()) {
        if (kind != ControlFileType::Cmd)
            target.load(stored);
        return;
    }
    if (file.expectedHash.empty())
        return;
    fetchPacked(file.remoteDirectory, file.remoteName + ".7z", file.name, file.expectedHash);
    if (kind != ControlFileType::Cmd)
        target.load(stored);
}

void DistrManager::analyzeDistribution() {
    loadTrustedKeys();
    hasInstalledVersion_ = readInstalledVersion(metaDir_, installedVersion_);
    // Nothing is stored before every description the run relies on passed its
    // checks: a refused one must leave the destination as it was.
    CheckedDescription first = fetchCheckedVersionInfo(source_, "version-info.txt", true);
    CheckedDescription redirected;
    versionInfo_.load(first.file->path());

    DistrPtr envDistr;
    if (versionInfo_.isLastEnv()) {
        envDistr = versionInfo_.distrs().back();
        logger_.information("Detected environment is: " + envDistr->env);
        const std::size_t cut = envDistr->env.size() + 1;
        if (envDistr->env.empty() || source_.size() <= cut)
            throw InvalidDistr("Environment redirect cannot be followed from: " + source_, kInvalidDistrCode);
        source_ = normalizeLocation(source_.substr(0, source_.size() - cut));
        redirected = fetchCheckedVersionInfo(source_, "root.version-info.txt", true);
        versionInfo_.load(redirected.file->path());
    }
    const CheckedDescription& current = redirected.file ? redirected : first;
    logger_.information("Version info location: " + metaDir_ + current.storedName);
    logger_.information("Distribution version:  " + versionInfo_.latestVersion());
    if (envDistr)
        versionInfo_.addDistr(envDistr);
    versionInfo_.rebaseFiles(source_);
    if (hasInstalledVersion_ && versionInfo_.latestVersion() != installedVersion_)
        for (const DistrPtr& distr : versionInfo_.distrs())
            if (distr->files != source_)
                describedAt(distr->files);
    storeVersionInfo(first);
    if (redirected.file)
        storeVersionInfo(redirected);

    RootStorage& roots = Singleton<RootStorage>::instance();
    std::int64_t storedSum = 0, sizeSum = 0;
    for (const DistrPtr& distr : versionInfo_.distrs()) {
        ControlFile scratch;
        loadDistrFiles(scratch, distr);
        logger_.information("Distribution files: " + distr->files);
        const int root = roots.index(distr->files, true);
        // The first list becomes the merged one as it is: a million entries
        // then live in one map, not in two.
        const bool first = files_.count() == 0;
        for (const auto& item : scratch.entries()) {
            const ControlEntryPtr& entry = item.second;
            countBytes(storedSum, entry->storedSize);
            countBytes(sizeSum, entry->size);
            entry->packageRoot = root;
            if (!first)
                files_.add(entry, true);
            const std::string key = entry->packageKey();
            auto found = packages_.find(key);
            if (found == packages_.end()) {
                auto pack = std::make_shared<PackContent>();
                pack->localPath = Poco::Path(tempDir_).append(Poco::Path(key, Poco::Path::PATH_UNIX)).toString();
                pack->location = roots.text(root) + entry->package;
                found = packages_.emplace(key, pack).first;
            }
            found->second->storedTotal += entry->storedSize;
            found->second->count += 1;
            if (distr == envDistr)
                envFiles_.emplace(entry->path, entry->sha1);
        }
        if (first)
            files_ = std::move(scratch);
    }

    if (hasInstalledVersion_) {
        logger_.information("Current installed version: " + installedVersion_);
        buildDeltaEntries();
    } else {
        logger_.information("No previous version is detected");
    }
    logger_.information(deltaEntries_.count() == 0 ? "Delta files: No delta" : "Delta files are available");

    const DistrPtr latest = versionInfo_.latestDistr();
    if (!latest->commandHash.empty()) {
        ControlFile unused;
        loadControlFile(unused, versionInfo_, ControlFileType::Cmd, latest->version);
    }

    const std::string adapter = prepareAdapter();
    stages_ = std::make_shared<LcsUpdater>(progress_, adapter);
    stages_->assignStageRange(files_);
    if (adapter.empty())
        logger_.information("Single staged distribution.");
    else
        logger_.information("Multi-staged distribution. Stages: " + std::to_string(stages_->lastStage()));
    stageBytes_.assign(stages_->lastStage() + 1, StageBytes());
}

std::string DistrManager::prepareAdapter() {
    const DistrPtr latest = versionInfo_.latestDistr();
    if (!latest || latest->adapterHash.empty())
        return std::string();
    const std::string name = adapterName(destinationDir_);
    keepNames_.add(name);
    const std::string stored = metaDir_ + name;
    const std::string cachePath = metadataCachePath(name);
    if (cache_->isValid(cachePath, latest->adapterHash) && Poco::File(stored).exists())
        return stored;
    fetchPacked(latest->files, "adapter.exe.7z", name, latest->adapterHash);
    return stored;
}

std::vector<std::string> DistrManager::collectFromVersions() {
    try {
        const std::string newVersion = versionInfo_.latestVersion();
        // The version names the last folders of the source, not a digit of its host.
        const std::size_t at = source_.rfind(newVersion);
        if (newVersion.empty() || at == std::string::npos)
            throw InternalError("Failed to find new version string in a root: " + newVersion + " in " + source_,
                                kInternalErrorCode);
        std::string location = source_;
        location.replace(at, newVersion.size(), installedVersion_);
        VersionInfo installed;
        installed.load(fetchVersionInfo(location));
        std::vector<std::string> versions;
        for (const DistrPtr& distr : installed.distrs())
            versions.push_back(distr->version);
        return versions;
    } catch (const Interrupted&) {
        throw;
    } catch (const Poco::Exception& e) {
        logger_.warning(e.displayText());
    } catch (const std::exception& e) {
        logger_.warning(e.what());
    }
    return {installedVersion_};
}

void DistrManager::buildDeltaEntries() {
    if (versionInfo_.latestVersion() == installedVersion_) {
        logger_.information("Installed version is identical with the new version");
        return;
    }
    logger_.information("Building list of delta entries...");
    const std::vector<std::string> fromVersions = collectFromVersions();
    RootStorage& roots = Singleton<RootStorage>::instance();
    std::int64_t storedSum = 0, sizeSum = 0;
    for (const DistrPtr& distr : versionInfo_.distrs()) {
        // Only looked up, never stored: an environment's description (same
        // version) would take the place of the distribution's own copy.
        VersionInfo described = distr->files == source_ ? versionInfo_ : describedAt(distr->files);
        described.rebaseFiles(distr->files);
        for (const std::string& version : fromVersions) {
            const DeltaPtr delta = described.findDelta(version);
            if (!delta)
                continue;
            ControlFile scratch;
            MetadataFile file = metadataName(ControlFileType::Delta, version, described, keepNames_);
            if (distr->type == DistrType::Env && !distr->env.empty()) {
                // An environment's delta would otherwise share the main one's name.
                file.name = ".kvo.delta." + version + "_" + described.latestVersion() + "." + distr->env + ".control.txt";
                keepNames_.add(file.name);
            }
            loadMetadataFile(scratch, file, ControlFileType::Delta);
            if (logger_.information())
                logger_.information(Poco::format("Delta '%s' from '%s' is analyzed", version, delta->files));
            const int deltaRoot = roots.index(delta->files, true);
            for (const auto& item : scratch.entries()) {
                const ControlEntryPtr& d = item.second;
                const ControlEntryPtr target = files_.find(d->path);
                // A delta that produces a file the distribution does not list
                // contradicts the description: refused before anything changes.
                if (!target)
                    throw InvalidDistr("Missing new entry information for an item: " + d->pathText(),
                                       kInvalidDistrCode);
                if (d->name() == target->sha1)
                    continue;
                countBytes(storedSum, d->storedSize);
                countBytes(sizeSum, d->size);
                d->packageRoot = deltaRoot;
                d->stage = target->stage;
                deltaEntries_.add(d, true);
            }
        }
    }
    logger_.information("Build of delta entries is completed");
}

bool DistrManager::isOutdated() const {
    for (const auto& item : files_.entries()) {
        const ControlEntryPtr& entry = item.second;
        if (!cache_->isValid(entry->pathText(), entry->sha1)) {
            logger_.information("Distribution is out-dated");
            return true;
        }
    }
    logger_.information("Distribution is up-to date");
    return false;
}

void DistrManager::cleanupMetadata() {
    Patcher::cleanupMetadata(metaDir_, keepNames_, *cache_, &firstPolicy_);
}

} // namespace Patcher
