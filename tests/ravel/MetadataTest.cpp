#include "ravel/Metadata.h"
#include "tests/ravel/RavelTestUtil.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace ravel;
using raveltest::exists;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

TEST(MetadataTest, AddRangeMergesWhatOverlapsOrTouches) {
    struct Case {
        const char* name;
        std::vector<Range> added;
        std::vector<Range> expected;
    };
    const Case cases[] = {
        {"touching", {{0, 100}, {100, 50}}, {{0, 150}}},
        {"apart", {{0, 100}, {200, 50}}, {{0, 100}, {200, 50}}},
        {"overlapping", {{50, 100}, {0, 80}}, {{0, 150}}},
        {"contained", {{0, 100}, {10, 5}}, {{0, 100}}},
        {"bridging two", {{0, 10}, {20, 10}, {10, 10}}, {{0, 30}}},
        {"touching from below", {{100, 10}, {90, 10}}, {{90, 20}}},
        {"empty ranges are not kept", {{5, 0}, {50, 0}}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Metadata meta(dir.file("f"), 1000, true);
        for (const Range& r : c.added)
            meta.addRange(r.start, r.length);
        EXPECT_EQ(c.expected, meta.ranges());
    }
}

// A record that cannot be trusted yields nothing stored: the download starts over.
TEST(MetadataTest, UntrustworthyRecordsGiveNoRanges) {
    const std::pair<const char*, const char*> cases[] = {
        {"count 0", "0\n\n"},
        {"negative count", "-1\n0 10\n"},
        {"negative start", "1\n-5 10\n\n"},
        {"negative length", "2\n0 10\n20 -1\n\n"},
        {"garbage", "xyz\n"},
        {"empty", ""},
        {"fewer pairs than counted", "3\n0 10\n20 5\n\n"},
        {"half a pair", "1\n0\n"},
        {"past the expected size", "1\n900 101\n\n"},
        {"overflowing end", "1\n10 9223372036854775807\n\n"},
        {"too large a number", "1\n0 99999999999999999999\n\n"},
    };
    for (const auto& [name, text] : cases) {
        SCOPED_TRACE(name);
        TempDir dir;
        writeFile(dir.file("f.downloading#"), text);
        EXPECT_TRUE(Metadata(dir.file("f"), 1000, true).ranges().empty());
    }
}

TEST(MetadataTest, OverlappingRangesInARecordDoNotAddUpToComplete) {
    TempDir dir;
    writeFile(dir.file("f.downloading#"), "3\n0 100\n50 100\n0 100\n\n");
    Metadata meta(dir.file("f"), 200, true);
    EXPECT_EQ((std::vector<Range>{{0, 150}}), meta.ranges());
    EXPECT_FALSE(meta.isComplete());
}

// Saved at most once a second and when the metadata goes away; gone once
// complete, and then not written back by the last save.
TEST(MetadataTest, RecordIsSavedAtMostOnceASecondAndGoesOnceComplete) {
    TempDir dir;
    std::int64_t now = 1000;
    const std::string record = dir.file("f.downloading#");
    auto meta = std::make_unique<Metadata>(dir.file("f"), 1000, true, [&now] { return now; });
    meta->addRange(0, 10);
    meta->addRange(10, 10);
    EXPECT_FALSE(exists(record));
    ++now;
    meta->addRange(100, 10);
    EXPECT_EQ("2\n0 20\n100 10\n\n", readFile(record));
    meta->addRange(200, 10);
    EXPECT_EQ("2\n0 20\n100 10\n\n", readFile(record)); // the next save is due a second after the last
    ++now;
    meta->addRange(300, 10);
    EXPECT_EQ("4\n0 20\n100 10\n200 10\n300 10\n\n", readFile(record));
    meta->addRange(400, 10);
    meta.reset(); // the last state is saved when the metadata goes away
    EXPECT_EQ("5\n0 20\n100 10\n200 10\n300 10\n400 10\n\n", readFile(record));

    meta = std::make_unique<Metadata>(dir.file("f"), 1000, true, [&now] { return now; });
    now += 11;
    meta->addRange(0, 1000); // the last missing bytes: the periodic save removes the record
    EXPECT_FALSE(exists(record));
    EXPECT_TRUE(meta->isComplete());
    meta.reset();
    EXPECT_FALSE(exists(record));
    {
        Metadata kept(dir.file("g"), 300, false);
        kept.addRange(0, 300);
    }
    EXPECT_EQ("1\n0 300\n\n", readFile(dir.file("g.downloading#"))); // kept when asked to
}
