#include "distr/FileOps.h"
#include "tests/support/TempDir.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace Patcher;
using testsupport::TempDir;

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
