#pragma once

#include "distr/ControlFile.h"
#include "distr/VersionInfo.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace testsupport {

// Whether text holds part; a failure shows the text.
::testing::AssertionResult contains(const std::string& text, const std::string& part);

// Program on PATH, or empty.
std::string which(const std::string& name);
// The built publisher and example generator.
std::string publisherPath();

// Runs patcher-publish with args; env adds to the environment.
RunResult publish(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {});

std::string readRange(const std::string& path, std::int64_t offset, std::int64_t size);
// The real xz --format=lzma -d on the bytes.
std::string xzDecode(const std::string& bytes);
// The real xdelta3 -d of delta against old: the new bytes.
std::string xdelta3Decode(const std::string& old, const std::string& delta);

// Staging directories or anything else a run may leave in root besides the
// versions published.
std::vector<std::string> hiddenEntries(const std::string& root);

// Makes the process-wide root storage the parsers need.
void ensureRootStorage();

// A publication read back with the updater's parsers, the control files decoded
// by the real xz and checked against the hashes of the description.
struct Publication {
    Patcher::VersionInfo info; // rebased on its directory
    Patcher::DistrPtr distr;   // the last record
    std::string filesDir;
    Patcher::ControlFile files;
    Patcher::ControlFile deleted;

    // The publication of ROOT/V/.
    static Publication at(const std::string& versionDir);
    // A control file of the publication decoded with xz; the hash checked.
    static void loadControl(const std::string& packed, const std::string& hash, Patcher::ControlFile& into);
    // An entry's bytes: cut from its package by hand, decoded with xz for status 1.
    static std::string content(const Patcher::ControlEntry& entry, const std::string& filesDir);
};

// The deltas from one version as the analysis finds them: in the description at
// a distribution's files location, rebased there.
struct Deltas {
    Patcher::DeltaPtr delta; // null when there is none from that version
    std::string dir;
    Patcher::ControlFile files;

    void load(const std::string& filesDir, const std::string& from);
};

} // namespace testsupport
