#include "distr/Extract.h"

#include "base/Errors.h"
#include "distr/ControlFile.h"
#include "distr/DiscGuard.h"
#include "distr/FileOps.h"
#include "distr/LocalFile.h"
#include "distr/SevenZip.h"

#include <Poco/Exception.h>

#include <cerrno>
#include <fstream>

namespace Patcher {

PATCHER_IMPLEMENT_EXCEPTION(OversizedEntry, InvalidDistr, "Invalid distribution error")

void checkEntryInside(const ControlEntry& entry, std::int64_t packageSize, const std::string& package) {
    if (entry.offset + entry.storedSize <= packageSize) // the parser keeps the sum in range
        return;
    throw InvalidDistr("Entry reaches past the end of its package: " + entry.pathText() + " ends at byte " +
                           std::to_string(entry.offset + entry.storedSize) + " of " + package + ", which has " +
                           std::to_string(packageSize),
                       kInvalidDistrCode);
}

std::string extractEntry(const std::string& package, std::int64_t offset, const ControlEntry& entry,
                         const std::string& target, Compression& codec, HDDEventObserver* observer) {
    if (entry.status == 1) {
        const std::string unzipped = target + ".unzipped";
        // The codec is the caller's: its own observer comes back after this run.
        HDDEventObserver* const previous = codec.observer();
        const std::uint64_t previousLimit = codec.outputLimit();
        codec.setObserver(observer);
        // Bounded by the entry's size: data that decodes to more is not this
        // entry, and the disk-space check counted only that much.
        codec.setOutputLimit(static_cast<std::uint64_t>(entry.size));
        auto restore = [&] {
            codec.setObserver(previous);
            codec.setOutputLimit(previousLimit);
        };
        try {
            codec.decompressRange(package, unzipped, offset, entry.storedSize);
        } catch (const DecodedSizeExceeded&) {
            restore();
            throw OversizedEntry("Entry decodes to more than its size of " + std::to_string(entry.size) +
                                   " bytes: " + entry.pathText(),
                               kInvalidDistrCode);
        } catch (...) {
            restore();
            throw;
        }
        restore();
        return unzipped;
    }
    if (entry.status != 0)
        throw InternalError("Expecting a file entry, not a removal record", kInternalErrorCode);
    std::ifstream in(package, std::ios::binary);
    if (!in)
        throw Poco::OpenFileException("Cannot open file", package, errno);
    in.seekg(offset);
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    if (!out)
        throw Poco::CreateFileException("Cannot create file", target, errno);
    try {
        DiskActivity activity(observer, package, target);
        const std::int64_t copied = copyRange(in, out, entry.storedSize, kCopyBufferSize, &activity);
        out.flush();
        checkCopy(in, out, target, copied, entry.storedSize);
    } catch (...) {
        // A short file must not stay behind looking like a finished one.
        out.close();
        FileOpPolicy silent(nullptr);
        tryDeleteFile(target, &silent);
        throw;
    }
    return target;
}

} // namespace Patcher
