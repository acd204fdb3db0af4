#include "distr/SevenZip.h"

#include "distr/DiscGuard.h"
#include "distr/FileOps.h"

#include <Poco/Exception.h>
#include <Poco/File.h>

extern "C" {
#include <lzma/LzmaDec.h>
#include <lzma/LzmaEnc.h>
}

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace Patcher {

PATCHER_IMPLEMENT_EXCEPTION(DecodedSizeExceeded, Poco::DataException, "Decoded size exceeded")

namespace {

constexpr std::size_t kHeaderSize = LZMA_PROPS_SIZE + 8;
constexpr std::size_t kBufferSize = 1 << 16;
constexpr std::size_t kReadChunk = 8192;
// The largest dictionary an LZMA encoder produces; larger ones in a header are
// refused rather than allocated.
constexpr std::uint64_t kMaxDictionary = std::uint64_t(3) << 29;
constexpr std::uint64_t kMinDictionary = 1 << 12; // the SDK's own lower bound

void* allocate(void*, size_t size) {
    return std::malloc(size);
}
void release(void*, void* address) {
    std::free(address);
}
ISzAlloc gAlloc = {allocate, release};

[[noreturn]] void dataError() {
    throw Poco::DataException("SZ_ERROR_DATA");
}

struct DecoderGuard {
    CLzmaDec state;
    bool allocated = false;
    DecoderGuard() { LzmaDec_Construct(&state); }
    ~DecoderGuard() {
        if (allocated)
            LzmaDec_Free(&state, &gAlloc);
    }
};

} // namespace

const char* lzmaCodeName(int code) {
    switch (code) {
    case SZ_ERROR_DATA: return "SZ_ERROR_DATA";
    case SZ_ERROR_MEM: return "SZ_ERROR_MEM";
    case SZ_ERROR_CRC: return "SZ_ERROR_CRC";
    case SZ_ERROR_UNSUPPORTED: return "SZ_ERROR_UNSUPPORTED";
    case SZ_ERROR_PARAM: return "SZ_ERROR_PARAM";
    case SZ_ERROR_INPUT_EOF: return "SZ_ERROR_INPUT_EOF";
    case SZ_ERROR_OUTPUT_EOF: return "SZ_ERROR_OUTPUT_EOF";
    case SZ_ERROR_READ: return "SZ_ERROR_READ";
    case SZ_ERROR_WRITE: return "SZ_ERROR_WRITE";
    case SZ_ERROR_PROGRESS: return "SZ_ERROR_PROGRESS";
    case SZ_ERROR_FAIL: return "SZ_ERROR_FAIL";
    case SZ_ERROR_THREAD: return "SZ_ERROR_THREAD";
    case SZ_ERROR_ARCHIVE: return "SZ_ERROR_ARCHIVE";
    case SZ_ERROR_NO_ARCHIVE: return "SZ_ERROR_NO_ARCHIVE";
    default: return "Unknown";
    }
}

void checkLzma(int code, const std::string& context) {
    if (code == SZ_OK)
        return;
    throw std::runtime_error(context + (context.empty() ? "" : ", ") + "LZMA CODE: " + lzmaCodeName(code));
}

Compression::~Compression() = default;

std::size_t Compression::readInput(std::istream& input, void* buffer, std::size_t size) {
    size = std::min(size, kReadChunk);
    if (size == 0)
        return 0;
    char* bytes = static_cast<char*>(buffer);
    const std::streamsize got = activity_ ? activity_->read([&] {
        input.read(bytes, static_cast<std::streamsize>(size));
        return input.gcount();
    })
                                          : (input.read(bytes, static_cast<std::streamsize>(size)), input.gcount());
    if (input.bad())
        throw Poco::ReadFileException("Failed to read the compressed stream", errno);
    if (got > 0 && activity_)
        activity_->readDone(got, bytes);
    return static_cast<std::size_t>(got);
}

std::size_t Compression::writeOutput(std::ostream& output, const void* buffer, std::size_t size) {
    const char* bytes = static_cast<const char*>(buffer);
    auto put = [&] {
        output.write(bytes, static_cast<std::streamsize>(size));
        return 0;
    };
    if (activity_)
        activity_->write(put);
    else
        put();
    if (!output)
        return 0;
    if (activity_)
        activity_->writeDone(static_cast<std::int64_t>(size), bytes);
    return size;
}

template <class Body>
void Compression::run(const std::string& source, const std::string& target, Body&& body) {
    DiskActivity activity(observer_, source, target);
    activity_ = &activity;
    struct Reset {
        Compression* self;
        ~Reset() { self->activity_ = nullptr; }
    } reset{this};
    std::ofstream out;
    try {
        out.open(target, std::ios::binary | std::ios::trunc);
        if (!out)
            throw Poco::CreateFileException("Cannot create file", target, errno);
        body(out);
        out.close();
        if (!out)
            throw Poco::WriteFileException("SZ_ERROR_WRITE", target, errno);
    } catch (...) {
        if (out.is_open())
            out.close();
        FileOpPolicy silent(nullptr);
        tryDeleteFile(target, &silent);
        throw;
    }
}

void Compression::compressFile(const std::string& source, const std::string& target) {
    std::ifstream in(source, std::ios::binary);
    if (!in)
        throw Poco::OpenFileException("Cannot open file", source, errno);
    unpackedSize_ = Poco::File(source).getSize();
    packedSize_ = 0;
    run(source, target, [&](std::ofstream& out) {
        encode(in, out);
        out.flush();
        packedSize_ = static_cast<std::uint64_t>(out.tellp());
    });
}

void Compression::decompressFile(const std::string& source, const std::string& target) {
    std::ifstream in(source, std::ios::binary);
    if (!in)
        throw Poco::OpenFileException("Cannot open file", source, errno);
    packedSize_ = Poco::File(source).getSize();
    run(source, target, [&](std::ofstream& out) { decode(in, out); });
}

void Compression::decompressRange(const std::string& source, const std::string& target, std::int64_t offset,
                                  std::int64_t length) {
    std::ifstream in(source, std::ios::binary);
    if (!in)
        throw Poco::OpenFileException("Cannot open file", source, errno);
    if (offset < 0 || length < 0)
        throw Poco::InvalidArgumentException("Invalid range of file", source);
    in.seekg(offset);
    if (!in)
        throw Poco::ReadFileException("Cannot seek in file", source, errno);
    packedSize_ = static_cast<std::uint64_t>(length);
    run(source, target, [&](std::ofstream& out) { decode(in, out); });
}

// C callbacks of the SDK's encoder. Exceptions must not cross the C code: they
// are kept and raised again once the encoder has returned.
struct SevenZip::Callbacks {
    struct In {
        ISeqInStream vtable; // first: the SDK passes its address back
        Callbacks* owner;
    };
    struct Out {
        ISeqOutStream vtable;
        Callbacks* owner;
    };

    In in{{&Callbacks::read}, this};
    Out out{{&Callbacks::write}, this};
    SevenZip* self;
    std::istream* input;
    std::ostream* output;
    std::uint64_t bytesRead = 0;
    std::exception_ptr error;

    Callbacks(SevenZip* self, std::istream* input, std::ostream* output)
        : self(self), input(input), output(output) {}
    Callbacks(const Callbacks&) = delete;
    Callbacks& operator=(const Callbacks&) = delete;

    static SRes read(void* p, void* buffer, size_t* size) {
        Callbacks* c = static_cast<In*>(p)->owner;
        try {
            *size = c->self->readInput(*c->input, buffer, *size);
            c->bytesRead += *size;
            return SZ_OK;
        } catch (...) {
            c->error = std::current_exception();
            *size = 0;
            return SZ_ERROR_READ;
        }
    }
    static size_t write(void* p, const void* buffer, size_t size) {
        Callbacks* c = static_cast<Out*>(p)->owner;
        try {
            return c->self->writeOutput(*c->output, buffer, size);
        } catch (...) {
            c->error = std::current_exception();
            return 0;
        }
    }
};

SevenZip::SevenZip(HDDEventObserver* observer) : Compression(observer), encoder_(LzmaEnc_Create(&gAlloc)) {
    if (!encoder_)
        throw std::runtime_error("failed to create LZMA encoder.");
    try {
        applyProps(kUnknownSize);
    } catch (...) {
        LzmaEnc_Destroy(encoder_, &gAlloc, &gAlloc);
        throw;
    }
}

void SevenZip::applyProps(std::uint64_t sizeHint) {
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.level = 5;
    props.writeEndMark = 1;
    props.numThreads = 2;
    // The SDK takes 32 bits; anything at least that large keeps the default.
    if (sizeHint < 0xFFFFFFFFu)
        props.reduceSize = static_cast<UInt32>(sizeHint);
    checkLzma(LzmaEnc_SetProps(encoder_, &props), "");
}

void SevenZip::setSizeHint(std::uint64_t size) {
    applyProps(size);
}

std::uint32_t SevenZip::dictionarySize() const {
    Byte props[LZMA_PROPS_SIZE];
    SizeT propsSize = LZMA_PROPS_SIZE;
    checkLzma(LzmaEnc_WriteProperties(encoder_, props, &propsSize), "");
    return std::uint32_t(props[1]) | std::uint32_t(props[2]) << 8 | std::uint32_t(props[3]) << 16 |
           std::uint32_t(props[4]) << 24;
}

SevenZip::~SevenZip() {
    LzmaEnc_Destroy(encoder_, &gAlloc, &gAlloc);
}

void SevenZip::encode(std::istream& input, std::ostream& output) {
    Byte header[kHeaderSize];
    SizeT propsSize = LZMA_PROPS_SIZE;
    checkLzma(LzmaEnc_WriteProperties(encoder_, header, &propsSize), "");
    for (int i = 0; i < 8; ++i)
        header[LZMA_PROPS_SIZE + i] = static_cast<Byte>(unpackedSize_ >> (8 * i));
    if (writeOutput(output, header, kHeaderSize) != kHeaderSize)
        throw Poco::WriteFileException("SZ_ERROR_WRITE", errno);

    Callbacks callbacks(this, &input, &output);
    const SRes result =
        LzmaEnc_Encode(encoder_, &callbacks.out.vtable, &callbacks.in.vtable, nullptr, &gAlloc, &gAlloc);
    if (callbacks.error)
        std::rethrow_exception(callbacks.error);
    checkLzma(result, "Failed to encode with LZMA");
    // The header promised a size: a source that changed meanwhile must not
    // yield a stream that lies about it.
    if (unpackedSize_ != kUnknownSize && callbacks.bytesRead != unpackedSize_)
        throw Poco::DataException("The source changed while it was compressed");
}

void SevenZip::decode(std::istream& input, std::ostream& output) {
    const std::uint64_t limit = packedSize_;
    Byte header[kHeaderSize];
    std::size_t got = 0;
    while (got < kHeaderSize && (limit == kUnknownSize || got < limit)) {
        std::size_t want = kHeaderSize - got;
        if (limit != kUnknownSize)
            want = static_cast<std::size_t>(std::min<std::uint64_t>(want, limit - got));
        const std::size_t n = readInput(input, header + got, want);
        if (n == 0)
            break;
        got += n;
    }
    if (got < kHeaderSize)
        dataError();
    std::uint64_t size = 0;
    for (int i = 7; i >= 0; --i)
        size = (size << 8) | header[LZMA_PROPS_SIZE + i];
    unpackedSize_ = size;
    const bool sizeKnown = size != kUnknownSize;
    const std::uint64_t outputLimit = outputLimit_;
    auto tooLarge = [outputLimit] {
        throw DecodedSizeExceeded("The stream decodes to more than " + std::to_string(outputLimit) + " bytes");
    };
    if (sizeKnown && size > outputLimit)
        tooLarge();
    std::uint64_t compressedLeft = limit == kUnknownSize ? kUnknownSize : limit - kHeaderSize;

    // The dictionary never needs to exceed the output: a small stream with a
    // large dictionary in its header then costs only its own size.
    Byte props[LZMA_PROPS_SIZE];
    std::copy(header, header + LZMA_PROPS_SIZE, props);
    std::uint64_t dictionary = std::uint64_t(props[1]) | std::uint64_t(props[2]) << 8 |
                               std::uint64_t(props[3]) << 16 | std::uint64_t(props[4]) << 24;
    const std::uint64_t largestOutput = sizeKnown ? size : outputLimit;
    if (largestOutput < dictionary)
        dictionary = std::max<std::uint64_t>(largestOutput, kMinDictionary);
    if (dictionary > kMaxDictionary)
        checkLzma(SZ_ERROR_MEM, "Failed to allocate memory for LZMA decoder");
    for (int i = 0; i < 4; ++i)
        props[1 + i] = static_cast<Byte>(dictionary >> (8 * i));

    DecoderGuard decoder;
    checkLzma(LzmaDec_Allocate(&decoder.state, props, LZMA_PROPS_SIZE, &gAlloc),
              "Failed to allocate memory for LZMA decoder");
    decoder.allocated = true;
    LzmaDec_Init(&decoder.state);

    std::unique_ptr<Byte[]> inBuffer(new Byte[kBufferSize]);
    std::unique_ptr<Byte[]> outBuffer(new Byte[kBufferSize]);
    std::size_t inPos = 0, inSize = 0;
    std::uint64_t produced = 0;
    for (;;) {
        if (sizeKnown && produced >= size)
            break;
        if (inPos == inSize) {
            inPos = inSize = 0;
            std::size_t room = kBufferSize;
            if (compressedLeft != kUnknownSize)
                room = static_cast<std::size_t>(std::min<std::uint64_t>(room, compressedLeft));
            while (inSize < room) {
                const std::size_t n = readInput(input, inBuffer.get() + inSize, room - inSize);
                if (n == 0)
                    break;
                inSize += n;
            }
            if (compressedLeft != kUnknownSize)
                compressedLeft -= inSize;
        }
        SizeT outProcessed = kBufferSize;
        ELzmaFinishMode finishMode = LZMA_FINISH_ANY;
        if (sizeKnown && size - produced < kBufferSize) {
            outProcessed = static_cast<SizeT>(size - produced);
            finishMode = LZMA_FINISH_END;
        }
        SizeT inProcessed = inSize - inPos;
        ELzmaStatus status;
        const SRes result = LzmaDec_DecodeToBuf(&decoder.state, outBuffer.get(), &outProcessed,
                                                inBuffer.get() + inPos, &inProcessed, finishMode, &status);
        inPos += inProcessed;
        if (outProcessed > outputLimit - produced)
            tooLarge();
        produced += outProcessed;
        if (outProcessed && writeOutput(output, outBuffer.get(), outProcessed) != outProcessed)
            throw Poco::WriteFileException("SZ_ERROR_WRITE", errno);
        checkLzma(result, "Failed to decode stream");
        if (sizeKnown && produced >= size)
            break;
        if (inProcessed == 0 && outProcessed == 0) {
            if (sizeKnown || status != LZMA_STATUS_FINISHED_WITH_MARK)
                dataError();
            break;
        }
    }
    unpackedSize_ = produced;
}

} // namespace Patcher
