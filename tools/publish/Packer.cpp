#include "tools/publish/Packer.h"

#include "base/CmdHandler.h"
#include "distr/ControlFile.h"
#include "distr/DiscGuard.h"
#include "distr/FileOps.h"
#include "distr/LocalFile.h"
#include "distr/SevenZip.h"
#include "tools/publish/Progress.h"

#include <Poco/Exception.h>

#include <openssl/evp.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <streambuf>

namespace Patcher {

namespace {

// Feeds progress and polls the stop state from inside the encoder's reads.
class PackObserver : public HDDEventObserver {
public:
    PackObserver(PublishStats& stats, StopState* stop) : stats_(stats), stop_(stop) {}
    void read(int, std::int64_t count, const char*) override {
        stats_.bytesDone += count;
        sinceCheck_ += count;
        if (stop_ && sinceCheck_ >= (1 << 20)) {
            sinceCheck_ = 0;
            stop_->check();
        }
    }
    void write(int, std::int64_t, const char*) override {}
    void start(const std::string&, const std::string&, int) override {}

private:
    PublishStats& stats_;
    StopState* stop_;
    std::int64_t sinceCheck_ = 0;
};

// An output stream that keeps nothing: the sample's compressed size is all we need.
class CountingBuf : public std::streambuf {
public:
    std::int64_t count = 0;

protected:
    int_type overflow(int_type c) override {
        if (c != traits_type::eof())
            ++count;
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char*, std::streamsize n) override {
        count += n;
        return n;
    }
};

// An output stream into a SHA-1 digest (OpenSSL's, as sha1OfFile uses; POCO's
// wrapper initialises OpenSSL per object, which races between threads).
class DigestBuf : public std::streambuf {
public:
    DigestBuf() : ctx_(EVP_MD_CTX_new()) {
        if (!ctx_ || EVP_DigestInit_ex(ctx_, EVP_sha1(), nullptr) != 1)
            throw Poco::SystemException("SHA-1 digest is not available");
    }
    ~DigestBuf() override { EVP_MD_CTX_free(ctx_); }
    DigestBuf(const DigestBuf&) = delete;
    DigestBuf& operator=(const DigestBuf&) = delete;

    std::string hex() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(ctx_, digest, &length);
        static const char kHex[] = "0123456789abcdef";
        std::string text;
        for (unsigned int i = 0; i < length; ++i) {
            text += kHex[digest[i] >> 4];
            text += kHex[digest[i] & 15];
        }
        return text;
    }
    std::int64_t count = 0;

protected:
    int_type overflow(int_type c) override {
        if (c != traits_type::eof()) {
            const char byte = static_cast<char>(c);
            EVP_DigestUpdate(ctx_, &byte, 1);
            ++count;
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        EVP_DigestUpdate(ctx_, s, static_cast<std::size_t>(n));
        count += n;
        return n;
    }

private:
    EVP_MD_CTX* ctx_;
};

} // namespace

SevenZip& Packer::codec() {
    thread_local std::unique_ptr<SevenZip> codec;
    if (!codec)
        codec = std::make_unique<SevenZip>();
    return *codec;
}

Packer::Packer(PublishStats& stats, StopState* stop) : stats_(stats), stop_(stop) {}

int Packer::sampleSaving(const std::string& source, std::int64_t size) {
    PublishStats::Timer timer(stats_, PublishStats::Sample);
    std::ifstream in(source, std::ios::binary);
    if (!in)
        throw Poco::OpenFileException("Cannot open file", source);
    std::string sample;
    const std::int64_t pieces = std::min<std::int64_t>(kSamplePieces, std::max<std::int64_t>(1, size / kSamplePiece));
    for (std::int64_t i = 0; i < pieces; ++i) {
        // Evenly spread, the first at the start and the last at the end.
        const std::int64_t piece = std::min(kSamplePiece, size);
        const std::int64_t at = pieces == 1 ? 0 : (size - piece) * i / (pieces - 1);
        std::string buf(static_cast<std::size_t>(piece), '\0');
        in.seekg(at);
        in.read(&buf[0], piece);
        if (in.gcount() != piece)
            throw Poco::ReadFileException("Cannot read file", source);
        sample += buf;
    }
    std::istringstream input(sample);
    CountingBuf counter;
    std::ostream output(&counter);
    SevenZip& lzma = codec();
    lzma.setObserver(nullptr);
    lzma.setUnpackedSize(sample.size());
    lzma.encode(input, output);
    const auto saved = static_cast<std::int64_t>(sample.size()) - counter.count;
    return saved <= 0 ? 0 : static_cast<int>(saved * 100 / static_cast<std::int64_t>(sample.size()));
}

StoredForm Packer::pack(const std::string& source, std::int64_t size, const std::string& blob) {
    StoredForm form{0, {}, size};
    if (size == 0 || (size > kWholeTrialLimit && sampleSaving(source, size) < kSampleSaving)) {
        stats_.bytesDone += size;
        return form;
    }
    PackObserver observer(stats_, stop_);
    SevenZip& lzma = codec();
    lzma.setObserver(&observer);
    struct Detach {
        SevenZip& codec;
        ~Detach() { codec.setObserver(nullptr); }
    } detach{lzma};
    {
        PublishStats::Timer timer(stats_, PublishStats::Compress);
        lzma.compressFile(source, blob);
    }
    const auto packed = static_cast<std::int64_t>(lzma.packedSize());
    if (!pays(packed, size)) {
        FileOpPolicy silent(nullptr);
        deleteFile(blob, &silent);
        return form;
    }
    return StoredForm{1, blob, packed};
}

void extractEntry(const ControlEntry& entry, const std::string& packagePath, const std::string& target) {
    if (entry.status == 1) {
        SevenZip& lzma = Packer::codec();
        lzma.setObserver(nullptr);
        lzma.decompressRange(packagePath, target, entry.offset, entry.storedSize);
        return;
    }
    std::ifstream in(packagePath, std::ios::binary);
    if (!in)
        throw Poco::OpenFileException("Cannot open file", packagePath);
    in.seekg(entry.offset);
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    if (!out)
        throw Poco::CreateFileException("Cannot create file", target);
    const std::int64_t copied = copyRange(in, out, entry.storedSize, 1 << 16);
    out.flush();
    checkCopy(in, out, target, copied, entry.storedSize);
}

std::string sha1OfEntry(const ControlEntry& entry, const std::string& packagePath, std::int64_t* size) {
    std::ifstream in(packagePath, std::ios::binary);
    if (!in)
        throw Poco::OpenFileException("Cannot open file", packagePath);
    in.seekg(entry.offset);
    Sha1Buf digest;
    std::ostream out(&digest);
    if (entry.status == 1) {
        SevenZip& lzma = Packer::codec();
        lzma.setObserver(nullptr);
        lzma.setPackedSize(static_cast<std::uint64_t>(entry.storedSize));
        lzma.decode(in, out);
    } else {
        const std::int64_t copied = copyRange(in, out, entry.storedSize, 1 << 16);
        if (copied != entry.storedSize)
            throw Poco::ReadFileException("Package ends before its entry", packagePath);
    }
    if (size)
        *size = digest.count;
    return digest.hex();
}

} // namespace Patcher
