#include "distr/LocalFile.h"

#include "base/Errors.h"
#include "distr/DiscGuard.h"
#include "tests/distr/Samples.h"
#include "tests/support/TempDir.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace Patcher;
using namespace testsupport;

TEST(LocalFileTest, TemporaryFilesGoUnlessPlaced) {
    TempDir dir;
    EXPECT_THROW(LocalFile("relative/path", true), InternalError);
    writeFile(dir.file("tmp1"), "one");
    { LocalFile file(dir.file("tmp1"), true); EXPECT_TRUE(file.exists()); }
    EXPECT_FALSE(Poco::File(dir.file("tmp1")).exists());

    // A temporary file moved into place and a kept one copied are every
    // install's, from a server and from a directory.
    writeFile(dir.file("kept"), "three");
    // Placed onto itself, under another spelling: the file stays.
    {
        LocalFile file(dir.file("kept"), false);
        file.placeAt(dir.file("new/../kept"));
    }
    EXPECT_EQ("three", readFile(dir.file("kept")));

    // A copy that fails half-way leaves no destination (a directory cannot be read).
    Poco::File(dir.file("unreadable")).createDirectories();
    writeFile(dir.file("placed"), "old");
    {
        LocalFile file(dir.file("unreadable"), false);
        EXPECT_THROW(file.placeAt(dir.file("placed")), InternalError);
    }
    EXPECT_FALSE(Poco::File(dir.file("placed")).exists());
}

TEST(LocalFileTest, Sha1MatchesKnownDigestsAndTheSystemTool) {
    TempDir dir;
    writeFile(dir.file("abc"), "abc");
    writeFile(dir.file("empty"), "");
    EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", sha1OfFile(dir.file("abc")));
    EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", sha1OfFile(dir.file("empty")));

    const std::string big = sampleData(3 * 8192 + 17, 5, false);
    writeFile(dir.file("big"), big);
    ASSERT_TRUE(runTool("sha1sum " + dir.file("big") + " | cut -c1-40 > " + dir.file("big.sha")));
    std::int64_t bytes = 0;
    CountingObserver observer;
    EXPECT_EQ(readFile(dir.file("big.sha")).substr(0, 40), sha1OfFile(dir.file("big"), &observer, &bytes));
    EXPECT_EQ(static_cast<std::int64_t>(big.size()), bytes);
    EXPECT_EQ(bytes, observer.readBytes);
    EXPECT_EQ(0, observer.open);
    EXPECT_THROW(sha1OfFile(dir.file("none")), Poco::OpenFileException);
}

// Ranges are checked by every install of a stored entry; here the whole
// stream and what it reports.
TEST(LocalFileTest, CopyStreamReportsEveryByte) {
    const std::string data = sampleData(3 * kCopyBufferSize + 5, 9, false);
    const std::int64_t n = static_cast<std::int64_t>(data.size());
    std::istringstream in(data);
    std::ostringstream out;
    CountingObserver observer;
    DiskActivity activity(&observer, "/a", "/b");
    EXPECT_EQ(n, copyStream(in, out, &activity, 1000));
    EXPECT_EQ(n, observer.readBytes);
    EXPECT_EQ(n, observer.writeBytes);
    EXPECT_EQ(0, observer.open);
    EXPECT_EQ(data, out.str());
    try {
        copyStream(in, out, nullptr, 0);
        ADD_FAILURE();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ("Invalid buffer size.", e.what());
    }
}

TEST(LocalFileTest, CheckCopyNamesEachFailure) {
    std::istringstream goodIn("x"), badIn("x");
    std::ostringstream goodOut, badOut;
    badIn.setstate(std::ios::badbit);
    badOut.setstate(std::ios::badbit);
    const auto failure = [](const std::istream& in, const std::ostream& out, const char* target, std::int64_t copied,
                            std::int64_t expected) -> std::string {
        try {
            checkCopy(in, out, target, copied, expected);
            return "none";
        } catch (const UpdaterError& e) {
            return std::string(e.name()) + ": " + e.message();
        }
    };
    EXPECT_EQ("none", failure(goodIn, goodOut, "/t", 5, 5));
    EXPECT_EQ("Internal error: Not all bytes has been copied into file: /t", failure(goodIn, goodOut, "/t", 4, 5));
    EXPECT_EQ("Internal error: The stream is corrupted.", failure(badIn, goodOut, "/t", 5, 5));
    EXPECT_EQ("Updater error: Failed to write into file: /t", failure(goodIn, badOut, "/t", 5, 5));
    // A real short device: writing past the end of /dev/full fails.
    if (Poco::File("/dev/full").exists()) {
        std::istringstream in(std::string(100000, 'x'));
        std::ofstream out("/dev/full", std::ios::binary);
        const std::int64_t copied = copyStream(in, out);
        out.flush();
        EXPECT_EQ("Updater error: Failed to write into file: /dev/full", failure(in, out, "/dev/full", copied, 100000));
    }
}
