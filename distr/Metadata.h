#pragma once

#include "distr/FileOps.h"

#include <mutex>
#include <set>
#include <string>

namespace Patcher {

class FileCache;
class VersionInfo;

// Directory names inside the destination.
extern const char* const kMetaDirName; // ".kvo.meta.dir"
extern const char* const kTempDirName; // ".kvo.tmp.dir"
// File names inside them.
extern const char* const kCacheFileName;     // ".kvo.cache.txt"
extern const char* const kInstalledFileName; // ".kvo.installed.control.txt"
extern const char* const kPendingPacksName;  // ".kvo.pending.packs.txt"

// The control files a distribution describes.
enum class ControlFileType { Files = 0, Delta = 1, Deleted = 2, Cmd = 3 };

// Names of the metadata files in use during a run: the cleanup keeps them.
class MetadataNames {
public:
    MetadataNames(); // the installed version record, the cache, ".kvo.deleted."
    void add(const std::string& name) { names_.insert(name); }
    bool contains(const std::string& name) const { return names_.count(name) != 0; }
    const std::set<std::string>& names() const { return names_; }

private:
    std::set<std::string> names_;
};

// Where a control file of a kind lives locally and remotely, and its hash.
struct MetadataFile {
    std::string name;            // in the metadata directory
    std::string remoteDirectory; // files location of the Distr or Delta
    std::string remoteName;      // "control.txt", "delete.txt" or "cmds.bat" (".7z" is added to fetch)
    std::string expectedHash;    // SHA-1 after decompression; empty: the file does not exist
};

// The metadata file of a kind for version v (files, delta from v to latest,
// deleted, cmd), taken from the loaded version info; its name joins keep.
// A type outside the four throws InvalidDistr (5) "Unknown control file
// type."; a version the description does not list throws InvalidDistr (5).
MetadataFile metadataName(ControlFileType type, const std::string& version, const VersionInfo& info,
                          MetadataNames& keep);

// ".kvo.version." + v + ".control.txt"
std::string versionInfoName(const std::string& version);
// ".kvo.cmd." + v + ".control.txt"
std::string commandsName(const std::string& version);
// The stage adapter's local name: "adapter-" + the destination's last directory
// name, spaces as "-", ASCII lower case, + ".exe".
std::string adapterName(const std::string& destination);
// How the file cache records a metadata file: ".kvo.meta.dir/" + name.
std::string metadataCachePath(const std::string& name);

// The installed version: false when the record is absent, empty or blank, or
// cannot be read ("No previous version is detected.", notice, root logger).
bool readInstalledVersion(const std::string& metaDir, std::string& version);
// Never throws: a failure logs "Failed to write installed version info." (error).
void writeInstalledVersion(const std::string& metaDir, const std::string& version);

// Deletes every file of metaDir that is not in keep and is not the cache or one
// of its side files, and forgets it in the cache.
void cleanupMetadata(const std::string& metaDir, const MetadataNames& keep, FileCache& cache,
                     const FileOpPolicy* policy = nullptr);

// Downloaded whole packages not applied yet, kept across runs in the temporary
// directory's ".kvo.pending.packs.txt". The list is rewritten at every change,
// so that a run killed outright does not fetch its packages again. Thread-safe.
class PendingPacks {
public:
    // Reads the list, keeping the paths that still exist, and rewrites it with
    // those (deletes it when none is left).
    explicit PendingPacks(const std::string& tempDir);
    ~PendingPacks();
    PendingPacks(const PendingPacks&) = delete;
    PendingPacks& operator=(const PendingPacks&) = delete;

    // False (and an error line) when already present / absent.
    bool insert(const std::string& path);
    bool remove(const std::string& path);
    bool contains(const std::string& path) const;
    void clear();
    std::set<std::string> paths() const;

private:
    void persist(); // caller holds mutex_

    const std::string listFile_;

    mutable std::mutex mutex_;
    std::set<std::string> paths_; // guarded by mutex_
};

} // namespace Patcher
