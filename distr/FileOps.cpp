#include "distr/FileOps.h"

#include "distr/LocalFile.h"
#include "platform/FileSystem.h"

#include <Poco/File.h>
#include <Poco/Logger.h>
#include <Poco/Path.h>
#include <Poco/Thread.h>
#include <Poco/URI.h>

#include <boost/filesystem.hpp>

#include <cctype>
#include <cerrno>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>

namespace Patcher {
namespace {

std::mutex gFaultMutex;
FileOpFault gFault; // guarded by gFaultMutex

void faultPoint(const char* operation, const std::string& path) {
    FileOpFault fault;
    {
        std::lock_guard<std::mutex> lock(gFaultMutex);
        if (!gFault)
            return;
        fault = gFault;
    }
    fault(operation, path);
}

const FileOpPolicy& effective(const FileOpPolicy* policy) {
    return policy ? *policy : FileOpPolicy::defaultPolicy();
}

void logSuccess(const FileOpPolicy& policy, Poco::Message::Priority priority, const std::string& text) {
    if (!policy.quiet && policy.logger && policy.logger->getLevel() >= priority)
        policy.logger->log(Poco::Message(policy.logger->name(), text, priority));
}

// The OS's text for the error a try-variant caught.
std::string detailsOf(const std::exception& error) {
    if (auto poco = dynamic_cast<const Poco::Exception*>(&error)) {
        if (poco->code() > 0)
            return platform::errorText(poco->code());
        return poco->displayText();
    }
    return error.what();
}

bool isDirectory(const std::string& path) {
    try {
        Poco::File file(path);
        return file.exists() && file.isDirectory();
    } catch (const Poco::Exception&) {
        return false;
    }
}

// Copy then delete, for the move across file systems that rename refuses.
void copyAcross(const std::string& source, const std::string& target) {
    copyWholeFile(source, target + ".part");
    platform::renameFile(target + ".part", target);
    platform::removeFile(source);
}

// Locations may be written with either separator.
std::string withSlashes(std::string text) {
    for (char& c : text)
        if (c == '\\')
            c = '/';
    return text;
}

// An absolute http or https URL; "httpdocs/a" is a relative name.
bool isUrl(const std::string& text) {
    try {
        const std::string scheme = Poco::URI(withSlashes(text)).getScheme();
        return scheme == "http" || scheme == "https";
    } catch (const Poco::SyntaxException&) {
        return false;
    }
}

} // namespace

FileOpPolicy::FileOpPolicy(Poco::Logger* logger) : logger(logger) {}

FileOpPolicy::FileOpPolicy() : logger(&Poco::Logger::root()) {}

const FileOpPolicy& FileOpPolicy::defaultPolicy() {
    static const FileOpPolicy policy;
    return policy;
}

FileOpPolicy onFileOpFailure(const std::string& message, const Poco::Exception& error,
                             const FileOpPolicy& policy) {
    if (policy.retriesLeft > 0 && platform::isTransientFileError(error.code())) {
        if (policy.logger)
            policy.logger->warning(message + ", Retring...");
        if (policy.delayMs)
            Poco::Thread::sleep(static_cast<long>(policy.delayMs));
        FileOpPolicy next = policy;
        --next.retriesLeft;
        return next;
    }
    if (policy.logger)
        policy.logger->error(message + ", Details: " + error.displayText());
    error.rethrow();
    return policy; // not reached
}

void createFolder(const std::string& path, const FileOpPolicy* policy) {
    const FileOpPolicy& p = effective(policy);
    try {
        if (isDirectory(path))
            return;
        faultPoint("createFolder", path);
        platform::makeDirectories(path);
        logSuccess(p, Poco::Message::PRIO_TRACE, "Folder '" + path + "' is create.");
    } catch (const Poco::FileException& e) {
        const FileOpPolicy next = onFileOpFailure("Failed to create folder '" + path + "'", e, p);
        createFolder(path, &next);
    }
}

void deleteFile(const std::string& path, const FileOpPolicy* policy) {
    const FileOpPolicy& p = effective(policy);
    try {
        faultPoint("deleteFile", path);
        if (platform::removeFile(path))
            logSuccess(p, Poco::Message::PRIO_INFORMATION, "File '" + path + "' is deleted");
    } catch (const Poco::FileException& e) {
        const FileOpPolicy next = onFileOpFailure("Failed to delete file '" + path + "'", e, p);
        deleteFile(path, &next);
    }
}

void deleteFolder(const std::string& path, const FileOpPolicy* policy) {
    const FileOpPolicy& p = effective(policy);
    try {
        faultPoint("deleteFolder", path);
        if (platform::removeTree(path))
            logSuccess(p, Poco::Message::PRIO_TRACE, "Folder '" + path + "' is deleted");
    } catch (const Poco::FileException& e) {
        const FileOpPolicy next = onFileOpFailure("Failed to delete folder '" + path + "'", e, p);
        deleteFolder(path, &next);
    }
}

void moveFile(const std::string& source, const std::string& target, const FileOpPolicy* policy) {
    const FileOpPolicy& p = effective(policy);
    try {
        faultPoint("moveFile", source);
        // rename() replaces the target in one step, so a reader sees the old or
        // the new file and never neither: no delete beforehand.
        try {
            platform::renameFile(source, target);
        } catch (const Poco::FileException& e) {
            if (e.code() != EXDEV)
                throw;
            copyAcross(source, target);
        }
    } catch (const Poco::FileException& e) {
        const FileOpPolicy next =
            onFileOpFailure("Failed to move file from '" + source + "' into '" + target + "'", e, p);
        moveFile(source, target, &next);
    }
}

#define PATCHER_TRY_VARIANT(NAME, CALL, TEXT)                                                  \
    bool NAME(const std::string& path, const FileOpPolicy* policy) {                           \
        try {                                                                                   \
            CALL(path, policy);                                                                 \
            return true;                                                                        \
        } catch (const std::exception& e) {                                                     \
            const FileOpPolicy& p = effective(policy);                                          \
            if (p.logger)                                                                       \
                p.logger->error(std::string(TEXT) + path + "', Details: " + detailsOf(e));      \
            return false;                                                                       \
        }                                                                                       \
    }

PATCHER_TRY_VARIANT(tryCreateFolder, createFolder, "Failed to create folder '")
PATCHER_TRY_VARIANT(tryDeleteFile, deleteFile, "Failed to delete file '")
PATCHER_TRY_VARIANT(tryDeleteFolder, deleteFolder, "Failed to delete folder '")

#undef PATCHER_TRY_VARIANT

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw Poco::OpenFileException("Cannot open file", path, errno);
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    std::string text;
    if (size > 0) {
        text.resize(static_cast<std::size_t>(size));
        in.read(&text[0], size);
        if (in.gcount() != size)
            throw Poco::ReadFileException("Cannot read file", path, errno);
    }
    return text;
}

void writeWholeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw Poco::OpenFileException("Cannot create file", path, errno);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out)
        throw Poco::WriteFileException("Cannot write file", path, errno);
}

DirListing::DirListing(const std::string& directory, bool recursive, Filter filter) {
    namespace fs = boost::filesystem;
    std::string root = directory;
    if (root.empty() || root.back() != '/')
        root += '/';
    boost::system::error_code ec;
    if (!fs::is_directory(fs::path(root), ec) || ec) {
        Poco::Logger::root().information("Directory does not exists: " + root);
        return;
    }
    auto add = [&](const fs::directory_entry& item) {
        Entry entry;
        entry.path = item.path().string();
        entry.relative = entry.path.substr(root.size());
        entry.name = item.path().filename().string();
        boost::system::error_code statError;
        entry.isDirectory = fs::is_directory(item.symlink_status(statError));
        if (!filter || filter(entry))
            entries_.push_back(std::move(entry));
    };
    if (recursive) {
        for (fs::recursive_directory_iterator it(fs::path(root), ec), end; !ec && it != end; it.increment(ec))
            add(*it);
    } else {
        for (fs::directory_iterator it(fs::path(root), ec), end; !ec && it != end; it.increment(ec))
            add(*it);
    }
}

DirListing::Filter DirListing::nameMatches(const std::string& pattern) {
    auto expression = std::make_shared<std::regex>(pattern);
    return [expression](const Entry& entry) { return std::regex_match(entry.name, *expression); };
}

std::string asDirectoryLocation(const std::string& location) {
    if (isUrl(location)) {
        std::string url = withSlashes(location);
        if (url.back() != '/')
            url += '/';
        return url;
    }
    Poco::Path path(location);
    path.makeDirectory();
    return path.toString();
}

std::string resolveLocation(const std::string& relative, const std::string& base) {
    if (isUrl(relative))
        return relative;
    if (!relative.empty() && (relative[0] == '/' || Poco::Path(relative).isAbsolute()))
        return relative;
    const std::string reference = withSlashes(relative);
    if (isUrl(base)) {
        Poco::URI uri(withSlashes(base));
        uri.resolve(reference);
        return uri.toString();
    }
    return platform::resolvePath(reference, withSlashes(base));
}

void setHidden(const std::string& path) {
    platform::setHidden(path);
}

void clearHidden(const std::string& path) {
    platform::clearHidden(path);
}

unsigned char getDriveLetter(const std::string& path) {
    return platform::driveSlot(path);
}

void setFileOpFault(FileOpFault fault) {
    std::lock_guard<std::mutex> lock(gFaultMutex);
    gFault = std::move(fault);
}

} // namespace Patcher
