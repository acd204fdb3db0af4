#include "distr/LocalFile.h"

#include "base/Errors.h"
#include "distr/DiscGuard.h"
#include "distr/FileOps.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Path.h>

#include <boost/filesystem/operations.hpp>
#include <openssl/evp.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <vector>

namespace Patcher {
namespace {

std::string parentDirectory(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string hex(const unsigned char* digest, unsigned length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text(length * 2, '0');
    for (unsigned i = 0; i < length; ++i) {
        text[2 * i] = kDigits[digest[i] >> 4];
        text[2 * i + 1] = kDigits[digest[i] & 15];
    }
    return text;
}

struct DigestDeleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

std::int64_t copyBlocks(std::istream& input, std::ostream& output, std::int64_t limit, DiskActivity* activity,
                        std::size_t bufferSize) {
    if (bufferSize == 0)
        throw std::invalid_argument("Invalid buffer size.");
    std::vector<char> buffer(bufferSize);
    std::int64_t copied = 0;
    while (limit < 0 || copied < limit) {
        std::size_t want = bufferSize;
        if (limit >= 0 && static_cast<std::int64_t>(want) > limit - copied)
            want = static_cast<std::size_t>(limit - copied);
        std::streamsize got;
        if (activity)
            got = activity->read([&] {
                input.read(buffer.data(), static_cast<std::streamsize>(want));
                return input.gcount();
            });
        else {
            input.read(buffer.data(), static_cast<std::streamsize>(want));
            got = input.gcount();
        }
        if (got <= 0)
            break;
        if (activity) {
            activity->readDone(got, buffer.data());
            activity->write([&] { output.write(buffer.data(), got); return 0; });
            activity->writeDone(got, buffer.data());
        } else {
            output.write(buffer.data(), got);
        }
        if (!output)
            break;
        copied += got;
        if (static_cast<std::size_t>(got) < want)
            break;
    }
    return copied;
}

} // namespace

LocalFile::LocalFile(const std::string& path, bool temporary) : path_(path), temporary_(temporary) {
    if (!Poco::Path(path).isAbsolute())
        throw InternalError("LocalFile works only with absolute paths.", kInternalErrorCode);
}

LocalFile::~LocalFile() {
    if (temporary_)
        tryDeleteFile(path_);
}

bool LocalFile::exists() const {
    try {
        return Poco::File(path_).exists();
    } catch (const Poco::Exception&) {
        return false;
    }
}

void LocalFile::placeAt(const std::string& destination) {
    createFolder(parentDirectory(destination));
    if (temporary_) {
        moveFile(path_, destination);
        path_ = destination;
        temporary_ = false;
        return;
    }
    // The destination is deleted before the copy: were it this very file, the
    // file would be lost.
    boost::system::error_code ec;
    if (boost::filesystem::equivalent(path_, destination, ec))
        return;
    deleteFile(destination);
    std::ifstream in(path_, std::ios::binary);
    if (!in)
        throw Poco::OpenFileException("Cannot open file", path_, errno);
    std::ofstream out(destination, std::ios::binary | std::ios::trunc);
    if (!out)
        throw Poco::OpenFileException("Cannot create file", destination, errno);
    try {
        const std::int64_t expected = static_cast<std::int64_t>(Poco::File(path_).getSize());
        DiskActivity activity(nullptr, path_, destination);
        const std::int64_t copied = copyStream(in, out, &activity);
        out.flush();
        checkCopy(in, out, destination, copied, expected);
    } catch (...) {
        // A short copy must not stay in place looking like the file.
        out.close();
        FileOpPolicy silent(nullptr);
        tryDeleteFile(destination, &silent);
        throw;
    }
}

std::string sha1OfFile(const std::string& path, HDDEventObserver* observer, std::int64_t* bytesRead) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw Poco::OpenFileException("Cannot open file", path, errno);
    std::unique_ptr<EVP_MD_CTX, DigestDeleter> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1)
        throw Poco::SystemException("SHA-1 digest is not available");
    DiskActivity activity(observer, path, std::string());
    char buffer[kCopyBufferSize];
    std::int64_t total = 0;
    for (;;) {
        const std::streamsize got = activity.read([&] {
            in.read(buffer, sizeof buffer);
            return in.gcount();
        });
        if (got <= 0)
            break;
        EVP_DigestUpdate(ctx.get(), buffer, static_cast<std::size_t>(got));
        activity.readDone(got, buffer);
        total += got;
    }
    if (in.bad())
        throw Poco::ReadFileException("Cannot read file", path, errno);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_DigestFinal_ex(ctx.get(), digest, &length);
    if (bytesRead)
        *bytesRead = total;
    return hex(digest, length);
}

std::int64_t copyStream(std::istream& input, std::ostream& output, DiskActivity* activity,
                        std::size_t bufferSize) {
    return copyBlocks(input, output, -1, activity, bufferSize);
}

std::int64_t copyRange(std::istream& input, std::ostream& output, std::int64_t count, std::size_t bufferSize,
                       DiskActivity* activity) {
    return copyBlocks(input, output, count < 0 ? 0 : count, activity, bufferSize);
}

void checkCopy(const std::istream& input, const std::ostream& output, const std::string& target,
               std::int64_t copied, std::int64_t expected) {
    if (input.bad())
        throw InternalError("The stream is corrupted.", kInternalErrorCode);
    if (output.bad() || output.fail())
        throw UpdaterError("Failed to write into file: " + target, errno);
    if (copied != expected)
        throw InternalError("Not all bytes has been copied into file: " + target, kInternalErrorCode);
}

} // namespace Patcher
