#include "platform/FileSystem.h"

#include <Poco/Exception.h>
#include <Poco/Path.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace platform {
namespace {

[[noreturn]] void throwFileError(int err, const std::string& path) {
    const std::string text = errorText(err);
    switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
        throw Poco::FileAccessDeniedException(text, path, err);
    case ENOENT:
    case ENOTDIR:
        throw Poco::FileNotFoundException(text, path, err);
    case EEXIST:
        throw Poco::FileExistsException(text, path, err);
    case EBUSY:
    case ETXTBSY:
    case EAGAIN:
        throw Poco::FileException(text, path, err);
    case ENOSPC:
    case EDQUOT:
        throw Poco::WriteFileException(text, path, err);
    default:
        throw Poco::FileException(text, path, err);
    }
}

std::string parentOf(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const auto slash = p.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return p.substr(0, slash);
}

int removeEntry(const char* path, const struct stat*, int flag, struct FTW*) {
    return (flag == FTW_DP ? ::rmdir(path) : ::unlink(path)) == 0 ? 0 : errno;
}

} // namespace

bool isTransientFileError(int code) {
    // The POSIX faces of access denied and sharing or lock violations.
    return code == EACCES || code == EPERM || code == EBUSY || code == ETXTBSY || code == EAGAIN;
}

std::string errorText(int code) {
    char buffer[256];
    // GNU strerror_r may return a static text instead of filling the buffer.
    const char* text = ::strerror_r(code, buffer, sizeof buffer);
    return text ? text : "error " + std::to_string(code);
}

void makeDirectories(const std::string& path) {
    if (path.empty())
        return;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return;
        throwFileError(ENOTDIR, path);
    }
    const std::string parent = parentOf(path);
    if (parent != path)
        makeDirectories(parent);
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        throwFileError(errno, path);
}

bool removeFile(const std::string& path) {
    if (::unlink(path.c_str()) == 0)
        return true;
    if (errno == ENOENT)
        return false;
    throwFileError(errno, path);
}

bool removeTree(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return false;
        throwFileError(errno, path);
    }
    const int rc = ::nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    if (rc > 0)
        throwFileError(rc, path);
    if (rc < 0)
        throwFileError(errno, path);
    return true;
}

void renameFile(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0)
        throwFileError(errno, from);
}

void flushToDisk(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throwFileError(errno, path);
    const int rc = ::fsync(fd);
    const int err = errno;
    ::close(fd);
    if (rc != 0 && err != EINVAL) // EINVAL: a file system without sync
        throwFileError(err, path);
}

void flushFileSystem(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throwFileError(errno, path);
    const int rc = ::syncfs(fd);
    const int err = errno;
    ::close(fd);
    if (rc != 0)
        throwFileError(err, path);
}

bool modificationTime(const std::string& path, std::int64_t& seconds) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return false;
    seconds = static_cast<std::int64_t>(st.st_mtime);
    return true;
}

bool modificationTime(const std::string& path, std::int64_t& seconds, std::int64_t& nanoseconds) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return false;
    seconds = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    nanoseconds = static_cast<std::int64_t>(st.st_mtim.tv_nsec);
    return true;
}

unsigned char driveSlot(const std::string& path) {
    if (path.empty())
        return 0;
    std::string probe = path;
    struct stat st;
    while (::stat(probe.c_str(), &st) != 0) {
        const std::string parent = parentOf(probe);
        if (parent == probe)
            return 1;
        probe = parent;
    }
    static std::mutex mutex;
    static std::map<dev_t, unsigned char> slots; // guarded by mutex
    std::lock_guard<std::mutex> lock(mutex);
    auto it = slots.find(st.st_dev);
    if (it != slots.end())
        return it->second;
    // Past 255 file systems slots are shared: that only serialises more.
    const unsigned char slot = static_cast<unsigned char>(slots.size() % 255 + 1);
    slots.emplace(st.st_dev, slot);
    return slot;
}

const int kNoSpaceError = ENOSPC;

DiskSpace diskSpace(const std::string& path) {
    char resolved[PATH_MAX];
    std::string probe = path.empty() ? std::string(".") : path;
    while (::realpath(probe.c_str(), resolved) == nullptr) {
        const int err = errno;
        const std::string parent = parentOf(probe);
        if (err != ENOENT || parent == probe)
            throwFileError(err, path);
        probe = parent;
    }
    std::string here = resolved;
    struct stat st;
    if (::stat(here.c_str(), &st) != 0)
        throwFileError(errno, here);
    struct statvfs vfs;
    if (::statvfs(here.c_str(), &vfs) != 0)
        throwFileError(errno, here);
    DiskSpace space;
    space.device = static_cast<std::uint64_t>(st.st_dev);
    space.freeBytes = static_cast<std::int64_t>(vfs.f_bavail) * static_cast<std::int64_t>(vfs.f_frsize);
    // The mount point is the last directory upwards that is still on the same device.
    for (;;) {
        const std::string parent = parentOf(here);
        struct stat up;
        if (parent == here || ::stat(parent.c_str(), &up) != 0 || up.st_dev != st.st_dev)
            break;
        here = parent;
    }
    space.mountPoint = here;
    return space;
}

void setHidden(const std::string&) {}

void clearHidden(const std::string&) {}

void makeExecutable(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        throwFileError(errno, path);
    mode_t mode = st.st_mode & 07777;
    if (mode & S_IRUSR) mode |= S_IXUSR;
    if (mode & S_IRGRP) mode |= S_IXGRP;
    if (mode & S_IROTH) mode |= S_IXOTH;
    if (::chmod(path.c_str(), mode) != 0)
        throwFileError(errno, path);
}

std::string resolvePath(const std::string& relative, const std::string& base) {
    // Segment by segment: parsing the text would take a leading "C:" for a
    // device, which on POSIX is an ordinary directory name.
    Poco::Path result(!base.empty() && base[0] == '/');
    auto push = [&result](const std::string& text, bool endsWithName) {
        std::size_t begin = 0;
        for (;;) {
            const std::size_t slash = text.find('/', begin);
            const std::string segment = text.substr(begin, slash == std::string::npos ? std::string::npos : slash - begin);
            if (slash == std::string::npos) {
                if (endsWithName && !segment.empty() && segment != "." && segment != "..")
                    result.setFileName(segment);
                else
                    result.pushDirectory(segment); // drops "" and ".", pops for ".."
                return;
            }
            result.pushDirectory(segment);
            begin = slash + 1;
        }
    };
    push(base, false);
    push(relative, true);
    return result.toString(Poco::Path::PATH_UNIX);
}

} // namespace platform
