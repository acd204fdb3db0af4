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
    copyWholeFile(path_, destination);
}

void appendHex(std::string& out, const unsigned char* bytes, std::size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < length; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
}

struct Sha1Buf::Context {
    std::unique_ptr<EVP_MD_CTX, DigestDeleter> digest{EVP_MD_CTX_new()};
};

Sha1Buf::Sha1Buf() : context_(std::make_unique<Context>()) {
    if (!context_->digest || EVP_DigestInit_ex(context_->digest.get(), EVP_sha1(), nullptr) != 1)
        throw Poco::SystemException("SHA-1 digest is not available");
}

Sha1Buf::~Sha1Buf() = default;

void Sha1Buf::update(const char* data, std::size_t size) {
    EVP_DigestUpdate(context_->digest.get(), data, size);
    count += static_cast<std::int64_t>(size);
}

std::string Sha1Buf::hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_DigestFinal_ex(context_->digest.get(), digest, &length);
    std::string text;
    appendHex(text, digest, length);
    return text;
}

Sha1Buf::int_type Sha1Buf::overflow(int_type c) {
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        const char byte = traits_type::to_char_type(c);
        update(&byte, 1);
    }
    return traits_type::not_eof(c);
}

std::streamsize Sha1Buf::xsputn(const char* data, std::streamsize size) {
    update(data, static_cast<std::size_t>(size));
    return size;
}

std::string sha1OfFile(const std::string& path, HDDEventObserver* observer, std::int64_t* bytesRead) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw Poco::OpenFileException("Cannot open file", path, errno);
    Sha1Buf sha1;
    DiskActivity activity(observer, path, std::string());
    char buffer[kCopyBufferSize];
    for (;;) {
        const std::streamsize got = activity.read([&] {
            in.read(buffer, sizeof buffer);
            return in.gcount();
        });
        if (got <= 0)
            break;
        sha1.update(buffer, static_cast<std::size_t>(got));
        activity.readDone(got, buffer);
    }
    if (in.bad())
        throw Poco::ReadFileException("Cannot read file", path, errno);
    if (bytesRead)
        *bytesRead = sha1.count;
    return sha1.hex();
}

void copyWholeFile(const std::string& source, const std::string& target, HDDEventObserver* observer) {
    std::ifstream in(source, std::ios::binary);
    if (!in)
        throw Poco::OpenFileException("Cannot open file", source, errno);
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    if (!out)
        throw Poco::OpenFileException("Cannot create file", target, errno);
    try {
        const std::int64_t expected = static_cast<std::int64_t>(Poco::File(source).getSize());
        DiskActivity activity(observer, source, target);
        const std::int64_t copied = copyStream(in, out, &activity);
        out.flush();
        checkCopy(in, out, target, copied, expected);
        out.close();
        if (!out)
            throw UpdaterError("Failed to write into file: " + target, errno);
    } catch (...) {
        out.close();
        FileOpPolicy silent(nullptr);
        tryDeleteFile(target, &silent);
        throw;
    }
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
