#include "distr/Metadata.h"

#include "base/Errors.h"
#include "distr/FileCache.h"
#include "distr/Numbers.h"
#include "distr/VersionInfo.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Logger.h>
#include <Poco/Path.h>

#include <cctype>
#include <fstream>

namespace Patcher {
namespace {

const char* const kControlSuffix = "control.txt";

std::string withSlash(std::string dir) {
    if (!dir.empty() && dir.back() != '/')
        dir += '/';
    return dir;
}

DistrPtr distrOf(const VersionInfo& info, const std::string& version) {
    DistrPtr distr = info.findDistr(version);
    if (!distr)
        throw InvalidDistr("No distribution record for version: " + version, kInvalidDistrCode);
    return distr;
}

bool isFile(const std::string& path) {
    try {
        Poco::File file(path);
        return file.exists() && file.isFile();
    } catch (const Poco::Exception&) {
        return false;
    }
}

} // namespace

const char* const kMetaDirName = ".kvo.meta.dir";
const char* const kTempDirName = ".kvo.tmp.dir";
const char* const kCacheFileName = ".kvo.cache.txt";
const char* const kInstalledFileName = ".kvo.installed.control.txt";
const char* const kPendingPacksName = ".kvo.pending.packs.txt";

MetadataNames::MetadataNames() : names_{kInstalledFileName, kCacheFileName, ".kvo.deleted."} {}

std::string versionInfoName(const std::string& version) {
    return ".kvo.version." + version + "." + kControlSuffix;
}

std::string commandsName(const std::string& version) {
    return ".kvo.cmd." + version + "." + kControlSuffix;
}

MetadataFile metadataName(ControlFileType type, const std::string& version, const VersionInfo& info,
                          MetadataNames& keep) {
    MetadataFile file;
    switch (type) {
    case ControlFileType::Files: {
        const DistrPtr distr = distrOf(info, version);
        file = {".kvo.files." + version + "." + kControlSuffix, distr->files, "control.txt", distr->controlHash};
        break;
    }
    case ControlFileType::Delta: {
        const DeltaPtr delta = info.findDelta(version);
        if (!delta)
            throw InvalidDistr("No delta record for version: " + version, kInvalidDistrCode);
        file = {".kvo.delta." + version + "_" + info.latestVersion() + "." + kControlSuffix, delta->files,
                "control.txt", delta->controlHash};
        break;
    }
    case ControlFileType::Deleted: {
        const DistrPtr distr = distrOf(info, version);
        file = {std::string(".kvo.deleted.") + kControlSuffix, distr->files, "delete.txt",
                distr->deletedControlHash};
        break;
    }
    case ControlFileType::Cmd: {
        const DistrPtr distr = distrOf(info, version);
        file = {commandsName(version), distr->files, "cmds.bat", distr->commandHash};
        break;
    }
    default:
        throw InvalidDistr("Unknown control file type.", kInvalidDistrCode);
    }
    keep.add(file.name);
    return file;
}

std::string adapterName(const std::string& destination) {
    Poco::Path path(destination);
    path.makeDirectory();
    std::string last = path.depth() > 0 ? path[path.depth() - 1] : std::string();
    for (char& c : last) {
        if (c == ' ')
            c = '-';
        else
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return "adapter-" + last + ".exe";
}

std::string metadataCachePath(const std::string& name) {
    return std::string(kMetaDirName) + "/" + name;
}

bool readInstalledVersion(const std::string& metaDir, std::string& version) {
    try {
        const std::string path = withSlash(metaDir) + kInstalledFileName;
        if (!isFile(path))
            return false;
        std::ifstream in(path, std::ios::binary);
        if (!in)
            throw Poco::OpenFileException("Cannot open file", path);
        std::string line;
        std::getline(in, line);
        if (in.bad())
            throw Poco::ReadFileException("Cannot read file", path);
        line = trimmed(line);
        if (line.empty())
            return false;
        version = line;
        return true;
    } catch (...) {
        Poco::Logger::root().notice("No previous version is detected.");
        return false;
    }
}

void writeInstalledVersion(const std::string& metaDir, const std::string& version) {
    try {
        writeWholeFile(withSlash(metaDir) + kInstalledFileName, version);
    } catch (...) {
        Poco::Logger::root().error("Failed to write installed version info.");
    }
}

void cleanupMetadata(const std::string& metaDir, const MetadataNames& keep, FileCache& cache,
                     const FileOpPolicy* policy) {
    Poco::Logger& root = Poco::Logger::root();
    root.information("Cleaning up obsolete metadata files");
    std::vector<DirListing::Entry> obsolete;
    for (const auto& entry : DirListing(metaDir).entries())
        if (entry.name.find(kCacheFileName) == std::string::npos && !keep.contains(entry.name)) {
            obsolete.push_back(entry);
            cache.remove(metadataCachePath(entry.name));
        }
    // Forgotten before they go: a run cut here leaves a file the next run
    // deletes, never a record of a file that is gone.
    if (!obsolete.empty())
        cache.save();
    for (const auto& entry : obsolete) {
        if (entry.isDirectory)
            tryDeleteFolder(entry.path, policy);
        else
            tryDeleteFile(entry.path, policy);
    }
    root.information("Metadata cleanup is completed");
}

PendingPacks::PendingPacks(const std::string& tempDir) : listFile_(withSlash(tempDir) + kPendingPacksName) {
    if (!isFile(listFile_))
        return;
    try {
        const std::string text = readWholeFile(listFile_);
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t stop = text.find("\r\n", start);
            if (stop == std::string::npos)
                stop = text.size();
            const std::string path = trimmed(text.substr(start, stop - start));
            if (!path.empty() && isFile(path))
                paths_.insert(path);
            start = stop + 2;
        }
    } catch (const Poco::Exception& e) {
        Poco::Logger::root().error("Failed to read pending packages: " + e.displayText());
    }
    std::lock_guard<std::mutex> lock(mutex_);
    persist();
}

PendingPacks::~PendingPacks() {
    std::lock_guard<std::mutex> lock(mutex_);
    persist();
}

// Under the lock, so that the file follows the changes in their order.
void PendingPacks::persist() {
    try {
        if (paths_.empty()) {
            tryDeleteFile(listFile_);
            return;
        }
        std::string text;
        for (const auto& path : paths_)
            text += path + "\r\n";
        // Written aside and renamed: a kill in the middle leaves the old list.
        writeWholeFile(listFile_ + ".tmp", text);
        moveFile(listFile_ + ".tmp", listFile_);
    } catch (const Poco::Exception& e) {
        Poco::Logger::root().error("Failed to write pending packages: " + e.displayText());
    }
}

bool PendingPacks::insert(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (paths_.insert(path).second) {
        persist();
        return true;
    }
    Poco::Logger::root().error("Failed to insert package: " + path);
    return false;
}

bool PendingPacks::remove(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (paths_.erase(path)) {
        persist();
        return true;
    }
    Poco::Logger::root().error("Failed to remove package: " + path);
    return false;
}

bool PendingPacks::contains(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return paths_.count(path) != 0;
}

void PendingPacks::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    paths_.clear();
    persist();
}

std::set<std::string> PendingPacks::paths() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return paths_;
}

} // namespace Patcher
