#include "engine/DistrManager.h"

#include "base/CmdHandler.h"
#include "base/RootStorage.h"
#include "base/Singleton.h"
#include "distr/DiscGuard.h"
#include "distr/Extract.h"
#include "engine/TaskDiskObserver.h"
#include "ravel/UpdateDownloader.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Format.h>
#include <Poco/Logger.h>

#include <cerrno>
#include <fstream>
#include <mutex>

namespace Patcher {

namespace {

// The service says what went wrong; the report must also say where, since with
// logging off it is all a player or a launcher learns.
DlError naming(const DlError& error, const std::string& uri) {
    if (error.message().find(uri) != std::string::npos)
        return error;
    return DlError(error.message(), uri, error.code());
}

} // namespace

void DistrManager::downloadFile(const std::string& remote, const std::string& localPath, std::int64_t maxSize) {
    if (!metadataDownload_ && logger_.trace())
        logger_.trace("Downloading: '" + remote + "'");
    const auto tooLarge = [&] {
        const std::string limit = maxSize % (1 << 20) == 0 ? std::to_string(maxSize >> 20) + " MiB"
                                                            : std::to_string(maxSize) + " bytes";
        return InvalidDistr(remote + " is larger than " + limit + ": not a file of a distribution",
                            kInvalidDistrCode);
    };
    std::shared_ptr<Task> download = liveTask(TaskType::Download);
    if (isUrl(remote)) {
        if (!downloader_)
            resetDownloader();
        if (download) {
            download->activate();
            download->setCurrentItem(remote, 0);
        }
        const auto whole = [&](const std::string& uri, int attempts) {
            try {
                downloader_->downloadWhole(uri, localPath, download.get(), attempts, maxSize);
            } catch (const DlError& e) {
                if (e.code() == ImplDetail::kTooLarge)
                    throw tooLarge();
                throw naming(e, uri);
            }
        };
        if (settings_.allowHttps && metadataDownload_ && remote.find("127.0.0.1") == std::string::npos &&
            remote.compare(0, 5, "http:") == 0) {
            const std::string secure = "https:" + remote.substr(5);
            if (logger_.trace())
                logger_.trace("Downloading: '" + secure + "'");
            try {
                // One try: the plain URL is the fallback, and backing off here
                // would hold every run whose server speaks no TLS.
                whole(secure, 1);
                return;
            } catch (const Interrupted&) {
                throw;
            } catch (const InvalidDistr&) {
                throw;
            } catch (const Poco::Exception& e) {
                logger_.warning(e.displayText());
            } catch (...) {
                logger_.warning("Failed to securely download: " + remote);
            }
            stopState_->check();
        }
        whole(remote, 0);
        return;
    }
    Poco::File file(remote);
    if (!file.exists() || !file.isFile())
        throw Poco::FileNotFoundException(remote);
    const std::int64_t size = static_cast<std::int64_t>(file.getSize());
    if (maxSize >= 0 && size > maxSize)
        throw tooLarge();
    deleteFile(localPath, &secondPolicy_);
    TaskUpdater updater(download, *stopState_);
    updater.onItem(remote, size);
    std::ifstream in(remote, std::ios::binary);
    if (!in)
        throw Poco::OpenFileException("Cannot open file", remote, errno);
    std::ofstream out(localPath, std::ios::binary | std::ios::trunc);
    if (!out)
        throw Poco::CreateFileException("Cannot create file", localPath, errno);
    TaskDiskObserver observer(updater, TaskDiskObserver::Count::Reads);
    DiskActivity activity(&observer, remote, localPath);
    const std::int64_t copied = copyRange(in, out, size, kCopyBufferSize, &activity);
    out.flush();
    checkCopy(in, out, localPath, copied, size);
}

void DistrManager::downloadFile(const std::string& location, const ControlEntry& entry,
                                const std::string& localPath) {
    const std::string pathText = entry.pathText();
    if (logger_.trace())
        logger_.trace(Poco::format("Downloading: '%s {%s}'  [%Ld, %Ld]", location, pathText,
                                   static_cast<Poco::Int64>(entry.offset), static_cast<Poco::Int64>(entry.storedSize)));
    const std::string package = location + entry.package;
    if (isUrl(location)) {
        if (!downloader_)
            resetDownloader();
        // Ranges download several at once (UpdateParallelizer).
        std::shared_ptr<Task> download;
        {
            std::lock_guard<std::mutex> lock(downloader_->taskMutex());
            download = liveTask(TaskType::Download);
            if (download) {
                download->activate();
                download->setCurrentItem(pathText, entry.storedSize);
            }
        }
        if (entry.storedSize == 0) {
            // An empty range is nothing to ask a server for.
            std::ofstream(localPath, std::ios::binary | std::ios::trunc);
            return;
        }
        try {
            downloader_->downloadRange(package, localPath, entry.offset, entry.storedSize, download.get());
        } catch (const DlError& e) {
            throw naming(e, package);
        }
        return;
    }
    stopState_->setMessage("Patcher::DistrManager::downloadFile");
    TaskUpdater updater(liveTask(TaskType::Download), *stopState_);
    updater.onItem(pathText, entry.storedSize);
    std::ifstream in(package, std::ios::binary);
    if (!in)
        throw Poco::OpenFileException("Cannot open file", package, errno);
    checkEntryInside(entry, static_cast<std::int64_t>(Poco::File(package).getSize()), package);
    in.seekg(entry.offset);
    std::ofstream out(localPath, std::ios::binary | std::ios::trunc);
    if (!out)
        throw Poco::CreateFileException("Cannot create file", localPath, errno);
    TaskDiskObserver observer(updater, TaskDiskObserver::Count::Reads);
    DiskActivity activity(&observer, package, localPath);
    const std::int64_t copied = copyRange(in, out, entry.storedSize, kCopyBufferSize, &activity);
    out.flush();
    checkCopy(in, out, localPath, copied, entry.storedSize);
}

} // namespace Patcher
