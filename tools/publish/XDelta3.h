#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Patcher {

// The xdelta3 program, found through PATH.
class XDelta3 {
public:
    // Source windows below this are refused by xdelta3.
    static constexpr std::int64_t kMinWindow = 512 << 10;
    // Memory grows with the window; files above it get deltas against their
    // first gigabyte only (still correct, just larger).
    static constexpr std::int64_t kMaxWindow = 1ll << 30;

    explicit XDelta3(std::string program = "xdelta3");

    // A source window covering the whole old file within the limits above; the
    // default window (64 MiB) makes deltas of larger files nearly full size.
    static std::int64_t sourceWindow(std::int64_t oldSize);

    // xdelta3 -e with the window: external decompression, secondary compression
    // and the application header are off. A delta must decode with any VCDIFF
    // decoder (secondary compressors are an xdelta3 extension, present only in
    // some builds; the package's own LZMA covers it), must not depend on gzip
    // being installed, nor carry our temporary names. false with the tool's own
    // words in error.
    bool encode(const std::string& oldFile, const std::string& newFile, const std::string& delta,
                std::int64_t oldSize, std::string& error) const;
    // Decoding with exactly the updater's arguments: -f -d -s old delta new.
    bool decode(const std::string& oldFile, const std::string& delta, const std::string& newFile,
                std::string& error) const;

    // Runs the program; the exit code, its standard error in error. -1 when it
    // cannot be started.
    int run(const std::vector<std::string>& args, std::string& error) const;

private:
    std::string program_;
};

} // namespace Patcher
