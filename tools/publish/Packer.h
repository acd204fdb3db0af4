#pragma once

#include <cstdint>
#include <string>

namespace Patcher {

class StopState;
class SevenZip;
struct PublishStats;
struct ControlEntry;

// How a file travels in its package.
struct StoredForm {
    int status = 0;          // 0: as is, 1: LZMA-compressed
    std::string blob;        // status 1: the compressed stream (a file the caller removes)
    std::int64_t storedSize = 0;
    // Bytes an earlier publication stored for the same content: blob is then its
    // package, which the caller never removes, and the form starts at offset.
    bool borrowed = false;
    std::int64_t offset = 0;
};

// Stores a file LZMA-compressed (status 1) when that saves at least 5 % of its
// size, otherwise as is (status 0). LZMA encodes at a few MB/s, so a file above
// kWholeTrialLimit is first judged from samples spread over it, and compressed
// whole only when the samples save at least kSampleSaving percent. Every thread
// keeps its own encoder, whose tables are sized to each file (and to each
// sample); the tables of large files are freed after them, and those in use at
// the same time stay within kTableBudget.
class Packer {
public:
    static constexpr std::int64_t kWholeTrialLimit = 128 << 10;
    static constexpr int kSamplePieces = 16;
    static constexpr std::int64_t kSamplePiece = 4 << 10;
    static constexpr int kSampleSaving = 4;
    // Match tables of the encoders compressing at the same time (see tableBytes).
    static constexpr std::int64_t kTableBudget = 200ll << 20;

    // stats gets the bytes read while compressing and the time spent; stop (may
    // be null) is polled every megabyte and interrupts with Interrupted.
    Packer(PublishStats& stats, StopState* stop);

    // blob: where a compressed form goes; it exists afterwards only for status 1.
    StoredForm pack(const std::string& source, std::int64_t size, const std::string& blob);

    // Percent of the samples that LZMA saves (0 when it saves nothing).
    int sampleSaving(const std::string& source, std::int64_t size);

    // About what an encoder's match tables take for a dictionary.
    static std::int64_t tableBytes(std::uint32_t dictionary);

    // Whether compressed bytes are worth storing instead of size bytes.
    static bool pays(std::int64_t compressed, std::int64_t size) { return compressed * 20 <= size * 19 && size > 0; }

    // The codec of the calling thread.
    static SevenZip& codec();
    // The same, with its tables sized for encoding size bytes: a small file must
    // not pay for the dictionary of a large one.
    static SevenZip& codecFor(std::uint64_t size);

private:
    PublishStats& stats_;
    StopState* stop_;
};

// Writes the file of a control entry (status 0 or 1) out of the package at
// packagePath into target, on the calling thread's codec. Throws what the copy or
// the decoder throws.
void extractEntry(const ControlEntry& entry, const std::string& packagePath, const std::string& target);

// SHA-1 of an entry's content read straight from its package (decoded for status
// 1) without writing it anywhere; size (optional) gets the content's size.
std::string sha1OfEntry(const ControlEntry& entry, const std::string& packagePath, std::int64_t* size = nullptr);

} // namespace Patcher
