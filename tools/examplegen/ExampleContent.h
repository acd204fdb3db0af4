#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Patcher {

// Deterministic example game trees for demos, tests and benchmarks: a few hundred
// files of compressible text, structured binary records, incompressible data, a
// few barely compressible files and a few large ones. Variant 2 is the next
// release of variant 1: some files edited slightly, a few rewritten or grown,
// some removed, some added. The same options always give the same bytes.
struct ExampleOptions {
    std::uint64_t seed = 1;
    std::int64_t totalBytes = 8 << 20; // approximate size of variant 1
    int variant = 1;                   // 1 or 2
};

enum class ContentKind {
    Text,    // words and numbers in lines: LZMA saves about three quarters
    Records, // fixed-size binary records: LZMA saves about two thirds
    Random,  // incompressible
    Mixed,   // alternating runs of Text and Random
    Packed   // random with a little padding: saves less than 5 %
};

// What variant 2 did to a file of variant 1.
enum class ChangeKind { Unchanged, Edited, Rewritten, Grown, Added };

struct ExampleEdit {
    enum Type { Insert, Replace, Erase };
    std::int64_t pos; // in the unedited content
    Type type;
    std::int64_t length;
    std::uint64_t seed; // of the inserted or replacing bytes
};

struct ExampleFile {
    std::string path; // relative, '/' separated, UTF-8
    ContentKind kind;
    ChangeKind change = ChangeKind::Unchanged; // relative to variant 1
    std::uint64_t contentSeed;
    std::int64_t baseSize;            // unedited content
    std::vector<ExampleEdit> edits;   // sorted by pos, not overlapping
    std::int64_t size() const;        // after the edits
};

// The files of a variant, in path order. Throws std::invalid_argument for a
// variant other than 1 or 2 or a negative size.
std::vector<ExampleFile> planExampleContent(const ExampleOptions& options);

// Writes one file's bytes to path (created or truncated).
void writeExampleFile(const ExampleFile& file, const std::string& path);

// Writes the whole variant under dir, which must be absent or empty (throws
// std::runtime_error otherwise). Returns the number of bytes written.
std::int64_t writeExampleContent(const std::string& dir, const ExampleOptions& options);

} // namespace Patcher
