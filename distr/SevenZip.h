#pragma once

#include "base/Errors.h"

#include <cstdint>
#include <exception>
#include <iosfwd>
#include <string>

namespace Patcher {

class DiskActivity;
class HDDEventObserver;

// A stream that decodes to more than the output limit of its run.
PATCHER_DECLARE_EXCEPTION(DecodedSizeExceeded, Poco::DataException)

// Raises std::runtime_error context + (", " when context is not empty) +
// "LZMA CODE: " + the SDK's name of the code; code 0 passes.
void checkLzma(int code, const std::string& context);
// "SZ_ERROR_DATA" for 1 ... "Unknown" for codes without a name.
const char* lzmaCodeName(int code);

// Single LZMA streams with the 13-byte stand-alone header (the ".7z" files of a
// distribution). One run at a time per object.
class Compression {
public:
    static constexpr std::uint64_t kUnknownSize = ~std::uint64_t(0);

    explicit Compression(HDDEventObserver* observer = nullptr) : observer_(observer) {}
    virtual ~Compression();
    Compression(const Compression&) = delete;
    Compression& operator=(const Compression&) = delete;

    // encode writes unpackedSize() into the header (kUnknownSize when not known)
    // and always an end marker. decode reads at most packedSize() bytes
    // (kUnknownSize: until the stream ends). Both use the observer of the run.
    virtual void encode(std::istream& input, std::ostream& output) = 0;
    virtual void decode(std::istream& input, std::ostream& output) = 0;

    // File-level runs. The target is created or truncated; on failure it is
    // removed, so a partial output never stays behind.
    void compressFile(const std::string& source, const std::string& target);
    void decompressFile(const std::string& source, const std::string& target);
    // Decodes length bytes of source starting at offset; never reads past them.
    void decompressRange(const std::string& source, const std::string& target, std::int64_t offset,
                         std::int64_t length);

    std::uint64_t unpackedSize() const { return unpackedSize_; }
    std::uint64_t packedSize() const { return packedSize_; }
    void setUnpackedSize(std::uint64_t size) { unpackedSize_ = size; }
    void setPackedSize(std::uint64_t size) { packedSize_ = size; }
    // decode fails with DecodedSizeExceeded before it writes more than limit
    // bytes (a size promised in the header included); kUnknownSize: no limit.
    void setOutputLimit(std::uint64_t limit) { outputLimit_ = limit; }
    std::uint64_t outputLimit() const { return outputLimit_; }
    void setObserver(HDDEventObserver* observer) { observer_ = observer; }
    HDDEventObserver* observer() const { return observer_; }

protected:
    // Stream callbacks: reads of at most 8192 bytes and writes, bracketed on the
    // run's drives and reported to the observer. read answers the bytes read
    // (0 at the end); write answers the bytes written.
    std::size_t readInput(std::istream& input, void* buffer, std::size_t size);
    std::size_t writeOutput(std::ostream& output, const void* buffer, std::size_t size);

    HDDEventObserver* observer_;
    std::uint64_t unpackedSize_ = kUnknownSize;
    std::uint64_t packedSize_ = kUnknownSize;
    std::uint64_t outputLimit_ = kUnknownSize;

private:
    template <class Body>
    void run(const std::string& source, const std::string& target, Body&& body);

    DiskActivity* activity_ = nullptr; // the current run's, or null outside runs
};

// Compression on the LZMA SDK: level 5 (16 MiB dictionary, lc 3, lp 0, pb 2).
class SevenZip : public Compression {
public:
    // Throws std::runtime_error "failed to create LZMA encoder." when the
    // encoder cannot be made.
    explicit SevenZip(HDDEventObserver* observer = nullptr);
    ~SevenZip() override;

    void encode(std::istream& input, std::ostream& output) override;
    void decode(std::istream& input, std::ostream& output) override;

    // The size of what the next encodings compress (the SDK's reduceSize): the
    // dictionary and its match tables shrink to fit it, and the stream header
    // names the smaller dictionary. kUnknownSize restores the level-5 default.
    void setSizeHint(std::uint64_t size);
    // The dictionary the encoder currently writes into its header.
    std::uint32_t dictionarySize() const;

private:
    void applyProps(std::uint64_t sizeHint);

    struct Callbacks;
    void* encoder_; // CLzmaEncHandle
};

} // namespace Patcher
