#include "ravel/File.h"
#include "tests/ravel/RavelTestUtil.h"
#include "tests/support/TempDir.h"

#include <Poco/Exception.h>
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <sys/resource.h>
#include <sys/stat.h>

using namespace ravel;
using raveltest::pattern;
using testsupport::TempDir;

constexpr std::int64_t kView = 0x80000; // views in the tests that pick their own size

TEST(FileTest, RefusesBytesPastTheEndWithoutWritingThem) {
    TempDir dir;
    const std::string path = dir.file("out.bin");
    File file(path, 1000);
    const std::string data = pattern(200);
    EXPECT_STREQ("Invalid offset: 1000/1000",
                 raveltest::thrown<std::logic_error>([&] { file.write(data.data(), 200, 900); }).what());
    EXPECT_THROW(file.write(data.data(), 1, 1000), std::logic_error);
    EXPECT_THROW(file.write(data.data(), 1, -1), std::logic_error);
    const std::string content = testsupport::readFile(path);
    ASSERT_EQ(1000u, content.size());
    EXPECT_EQ(data.substr(0, 100), content.substr(900)); // the part that fitted
}

TEST(FileTest, OneWriterKeepsSetsOrChangesTheLengthAndContentBelowItStays) {
    TempDir dir;
    const std::string path = dir.file("out.bin");
    const std::string old = pattern(5000);
    testsupport::writeFile(path, old);

    File kept(path, 0, kView);
    EXPECT_THROW(File(path, 0), Poco::FileException) << "a second writer of the file";
    EXPECT_EQ(5000, kept.size());
    kept.resize(3000);
    EXPECT_EQ(old.substr(0, 3000), testsupport::readFile(path));
    kept.resize(2 * kView);
    const std::string grown = testsupport::readFile(path);
    ASSERT_EQ(static_cast<std::size_t>(2 * kView), grown.size());
    EXPECT_EQ(old.substr(0, 3000), grown.substr(0, 3000));
    // The whole length is reserved on disk, not left sparse.
    struct stat st {};
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    EXPECT_GE(static_cast<std::int64_t>(st.st_blocks) * 512, 2 * kView);
    kept.write("xy", 2, 2 * kView - 2);
    kept.resize(0);
    EXPECT_EQ("", testsupport::readFile(path));
    EXPECT_THROW(kept.write("x", 1, 0), std::logic_error);
}

// A destination that does not fit is an exception when it is opened, never a
// SIGBUS later when a page of a sparse file is first written. The full disk
// itself is the end-to-end runs'; beyond the file size limit is the same path.
TEST(FileTest, NoRoomIsAnErrorAtOpen) {
    TempDir dir;
    struct rlimit saved {};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &saved));
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit low = saved;
    low.rlim_cur = 1 << 20;
    ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &low));
    const auto e = raveltest::thrown<Poco::FileException>([&] { File(dir.file("big.bin"), 4 << 20); });
    EXPECT_EQ("Failed to allocate file: " + dir.file("big.bin") + ": File too large", e.message());
    EXPECT_EQ(EFBIG, e.code());
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
}
