#include "distr/FileOps.h"
#include "distr/LocalFile.h"
#include "tests/support/TempDir.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

#include <ostream>
#include <sys/stat.h>
#include <unistd.h>

using namespace Patcher;
using testsupport::TempDir;

// The packer hashes through the stream; the updater hashes files.
TEST(FileCopyTest, Sha1OfStreamAndFileAgree) {
    TempDir dir;
    std::string content;
    for (int i = 0; i < 100000; ++i)
        content += static_cast<char>(i * 7 + i / 256);
    testsupport::writeFile(dir.file("f"), content);

    Sha1Buf bytewise;
    std::ostream out(&bytewise);
    for (char c : content)
        out.put(c);
    Sha1Buf whole;
    whole.update(content.data(), content.size());
    std::int64_t read = 0;
    const std::string fromFile = sha1OfFile(dir.file("f"), nullptr, &read);
    EXPECT_EQ(fromFile, bytewise.hex());
    EXPECT_EQ(fromFile, whole.hex());
    EXPECT_EQ(static_cast<std::int64_t>(content.size()), read);
    EXPECT_EQ(read, bytewise.count);
}

// rename() refuses to cross file systems; the move then copies. /dev/shm is
// a file system of its own where it exists.
TEST(FileCopyTest, MoveAcrossFileSystemsCopiesTheWholeFileAndRemovesTheSource) {
    TempDir dir;
    struct stat here {}, shm {};
    if (::stat(dir.path().c_str(), &here) != 0 || ::stat("/dev/shm", &shm) != 0 || here.st_dev == shm.st_dev ||
        ::access("/dev/shm", W_OK) != 0)
        GTEST_SKIP() << "no second writable file system";
    const std::string source = "/dev/shm/patcher-copy-test-" + std::to_string(::getpid());
    const std::string content(3 * 1024 * 1024 + 17, 'q');
    testsupport::writeFile(source, content);

    moveFile(source, dir.file("moved"));
    EXPECT_EQ(content, testsupport::readFile(dir.file("moved")));
    EXPECT_FALSE(Poco::File(source).exists());
    EXPECT_FALSE(Poco::File(dir.file("moved.part")).exists());
}
