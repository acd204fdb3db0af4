#include "distr/VersionInfo.h"

#include "base/Errors.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace Patcher;
using testsupport::TempDir;

namespace {

const char* kFull =
    "distribution {2}\r\n    version = 1.0.5\r\n    type=full\r\n    env=\r\n    files=files/1.0.5/\r\n"
    "    control-hash=aaaa\r\n    deleted-control-hash=bbbb\r\n    command-hash=cccc\r\n    compressed-size=1,234\r\n"
    "    size=5,000,000\r\n    compressed-stages=10,20, 30\r\n    comment line without equals\r\n    unknown-key=x=y\r\n\r\n"
    "    version=env-1\r\n    type=env\r\n    env=live\r\n    files=a=b\r\n    control-hash=dddd\r\n"
    "    deleted-control-hash=eeee\r\n    compressed-size=0\r\n    size=\r\n\r\n"
    "delta {1}\r\n    version=1.0.3\r\n    files=http://host/deltas/1.0.3/\r\n    compressed-size=77\r\n"
    "    control-hash=ffff\r\n\r\npatcher {1}\r\n    version=2.1\r\n    running-time-sec=42\r\n";

const char* kDistrRecord =
    "version=1\ntype=full\nenv=\nfiles=f/\ncontrol-hash=a\ndeleted-control-hash=b\ncompressed-size=1\nsize=2\n";

VersionInfo loadText(const TempDir& dir, const std::string& text) {
    testsupport::writeFile(dir.file("version-info.txt"), text);
    VersionInfo info;
    info.load(dir.file("version-info.txt"));
    return info;
}

// The message of a failed load, always an internal error.
std::string loadError(const std::string& path) {
    try {
        VersionInfo().load(path);
    } catch (const InternalError& e) {
        EXPECT_EQ(3, e.code());
        return e.message();
    }
    return "loaded";
}

} // namespace

TEST(VersionInfoTest, ReadsRecordsNumbersListsAndThePatcherRecordAndRoundTripsTheCanonicalLayout) {
    TempDir dir;
    const VersionInfo info = loadText(dir, kFull);
    ASSERT_EQ(2u, info.distrs().size());
    // Plain records are read by every run of the updater; here the numbers with
    // separators, blanks in lists, empty values and lines without "=".
    const Distr& full = *info.distrs()[0];
    EXPECT_EQ("1.0.5", full.version);
    EXPECT_EQ(1234, full.compressedSize);
    EXPECT_EQ(5000000, full.size);
    EXPECT_EQ(0, full.sizeTotal);
    EXPECT_EQ((std::vector<std::int64_t>{10, 20, 30}), full.compressedStages);
    const Distr& env = *info.distrs()[1];
    EXPECT_EQ("a=b", env.files);
    EXPECT_EQ(0, env.size);
    EXPECT_TRUE(env.compressedStages.empty());
    EXPECT_EQ(42, info.patcher().runningTimeSec);

    // A trailing env record is not the current distribution.
    EXPECT_TRUE(info.isLastEnv());
    EXPECT_EQ(info.distrs()[0], info.latestDistr());
    EXPECT_EQ("1.0.5", info.latestVersion());
    EXPECT_EQ(nullptr, info.findDistr("ENV-1"));

    info.save(dir.file("out.txt"));
    const std::string written = testsupport::readFile(dir.file("out.txt"));
    // The layout is checked on a real publication; here a list read with blanks.
    EXPECT_NE(std::string::npos, written.find("    compressed-stages=10,20,30\r\n\r\n"));

    VersionInfo again;
    again.load(dir.file("out.txt"));
    std::ostringstream a, b;
    info.write(a);
    again.write(b);
    EXPECT_EQ(a.str(), b.str());
    EXPECT_EQ("2.1", again.patcher().version);

    // Empty lists have no latest distribution. A delta header with count 0 may
    // carry any name; an empty line before the patcher header hides its record.
    const VersionInfo empty = loadText(dir, "distribution {0}\nwhatever {0}\n\npatcher {1}\nversion=9\n");
    EXPECT_TRUE(empty.distrs().empty());
    EXPECT_EQ(nullptr, empty.latestDistr());
    EXPECT_EQ("", empty.latestVersion());
    EXPECT_FALSE(empty.isLastEnv());
    EXPECT_EQ("", empty.patcher().version);
}

TEST(VersionInfoTest, EveryMalformedFileGivesItsMessage) {
    TempDir dir;
    const std::string path = dir.file("version-info.txt");
    const std::string rec = kDistrRecord;
    struct Case {
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        {"", "Invalid version info file format. Missing { or }"},
        {"distribution 1\n", "Invalid version info file format. Missing { or }"},
        {"distr {0}\ndelta {0}\n", "distribution missing from the version info file."},
        {"distribution {0}\ndeltas {1}\n", "delta missing from the version-info file."},
        {"distribution {0}\n\ndelta {0}\n", "Invalid version info file format. Missing { or }"},
        {"distribution {1}\n" + rec + "\n\ndelta {0}\n", "Invalid version info file format. Missing { or }"},
        {"distribution {2}\n" + rec, "Invalid version info file format. Missing { or }"},
        {"distribution {0}\ndelta {2}\nversion=1\nfiles=f\ncompressed-size=1\ncontrol-hash=c\n",
         "Missing delta block."},
        {"distribution {1}\nversion=1\nversion=2\n", "Duplicate keys are found: version"},
        {"distribution {1}\nversion=1\ntype=full\nenv=\nfiles=f\n\ndelta {0}\n",
         "Required field 'control-hash' is not found in version-info.txt file"},
        {"distribution {0}\ndelta {1}\nversion=1\nfiles=f\ncompressed-size=1\n\n",
         "Required field 'control-hash' is not found in version-info.txt file"},
        {"distribution {1}\nversion=1\ntype=Full\n", "Unknown distribution type name: Full"},
        {"distribution {1}\n" + rec + "size-total=12x\n\ndelta {0}\n",
         "Problem while loading file: " + path + ", Extended info: Not a valid integer: 12x"},
        {"distribution {x}\n", "Problem while loading file: " + path + ", Extended info: Not a valid integer: x"},
        {"distribution {1}\n" + rec + "compressed-stages=1,x\n\ndelta {0}\n",
         "Problem while loading file: " + path + ", Extended info: invalid stoll argument"},
        {"distribution {1}\n" + rec + "compressed-stages=99999999999999999999\n\ndelta {0}\n",
         "Problem while loading file: " + path + ", Extended info: stoll argument out of range"},
        // A valid description padded far beyond any real one is not read on.
        {"distribution {1}\n" + rec + "\ndelta {0}\n" + std::string((4 << 20) + 1, ' '),
         "Problem while loading file: " + path + ", Extended info: the file is larger than 4 MiB"},
    };
    for (const Case& c : cases) {
        testsupport::writeFile(path, c.text);
        EXPECT_EQ(c.message, loadError(path)) << c.text;
    }
    EXPECT_EQ(0u, loadError(dir.file("missing.txt"))
                      .find("Problem while loading file: " + dir.file("missing.txt") + ", Extended info: "));
}
