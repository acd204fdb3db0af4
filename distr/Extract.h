#pragma once

#include "base/Errors.h"

#include <cstdint>
#include <string>

namespace Patcher {

// Code 5: an entry's data decodes to more than its size. Either the publication
// lies or the bytes were damaged on their way, so a fresh copy may cure it.
PATCHER_DECLARE_EXCEPTION(OversizedEntry, InvalidDistr)

class Compression;
class HDDEventObserver;
struct ControlEntry;

// Throws InvalidDistr (5) "Entry reaches past the end of its package: " when
// the entry's bytes do not lie within a package of packageSize bytes.
void checkEntryInside(const ControlEntry& entry, std::int64_t packageSize, const std::string& package);

// Produces the file of a control entry from storedSize bytes of a package
// starting at offset: status 0 copies them to target, status 1 decodes them to
// target + ".unzipped". Returns the path written; the caller checks the SHA-1.
// Copy failures throw as checkCopy, decode failures as Compression.
std::string extractEntry(const std::string& package, std::int64_t offset, const ControlEntry& entry,
                         const std::string& target, Compression& codec, HDDEventObserver* observer = nullptr);

} // namespace Patcher
