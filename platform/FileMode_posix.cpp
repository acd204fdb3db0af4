#include "platform/FileMode.h"

#include <Poco/Exception.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

mode_t currentUmask()
{
    // umask can only be read by setting it; no thread of ours creates files
    // with a mode of its own in between, and the value is restored at once.
    static const mode_t mask = [] {
        const mode_t m = ::umask(022);
        ::umask(m);
        return m;
    }();
    return mask;
}

void changeMode(const std::string& path, mode_t mode)
{
    if (::chmod(path.c_str(), mode) != 0)
        throw Poco::FileException("cannot set the mode of " + path + ": " + std::strerror(errno), errno);
}

// The first bytes of a file (up to 4) and its status.
std::size_t readHead(const std::string& path, unsigned char (&head)[4], struct stat& st)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw Poco::FileException("cannot read " + path + ": " + std::strerror(errno), errno);
    ssize_t got;
    do
        got = ::read(fd, head, sizeof head);
    while (got < 0 && errno == EINTR);
    const int statResult = ::fstat(fd, &st);
    const int savedErrno = errno;
    ::close(fd);
    if (got < 0 || statResult != 0)
        throw Poco::FileException("cannot examine " + path + ": " + std::strerror(savedErrno), savedErrno);
    return static_cast<std::size_t>(got);
}

} // namespace

bool looksLikeProgram(const unsigned char* head, std::size_t size)
{
    if (size >= 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F')
        return true;
    return size >= 2 && head[0] == '#' && head[1] == '!';
}

void setPlacedMode(const std::string& path, bool program)
{
    changeMode(path, (program ? 0755 : 0644) & ~currentUmask());
}

void setPlacedModeOf(const std::string& path)
{
    struct stat st {};
    unsigned char head[4];
    const std::size_t got = readHead(path, head, st);
    setPlacedMode(path, looksLikeProgram(head, got));
}

void ensureProgramMode(const std::string& path)
{
    struct stat st {};
    unsigned char head[4];
    const std::size_t got = readHead(path, head, st);
    if (!looksLikeProgram(head, got))
        return;
    if ((st.st_mode & 0111) == 0)
        changeMode(path, (st.st_mode & 07777) | (0111 & ~currentUmask()));
}

void createNewFile(const std::string& path, const std::string& bytes, bool ownerOnly)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, ownerOnly ? 0600 : 0644);
    if (fd < 0) {
        const int err = errno;
        if (err == EEXIST)
            throw Poco::FileExistsException("file exists: " + path, err);
        throw Poco::FileException("cannot create " + path + ": " + std::strerror(err), err);
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            break;
        done += static_cast<std::size_t>(wrote);
    }
    int err = done < bytes.size() ? (errno != 0 ? errno : EIO) : 0;
    if (::close(fd) != 0 && err == 0)
        err = errno;
    if (err != 0) {
        ::unlink(path.c_str());
        throw Poco::WriteFileException("cannot write " + path + ": " + std::strerror(err), err);
    }
}

} // namespace platform
