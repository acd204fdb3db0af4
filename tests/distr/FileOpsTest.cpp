#include "distr/DiscGuard.h"
#include "distr/FileOps.h"

#include "base/Singleton.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

using namespace Patcher;
using testsupport::LogCapture;
using testsupport::TempDir;

namespace {

// Makes the underlying call of one operation fail with an errno value, a given
// number of times.
class FaultInjector {
public:
    FaultInjector(std::string operation, int error, int times)
        : operation_(std::move(operation)), error_(error), left_(times) {
        setFileOpFault([this](const std::string& op, const std::string& path) {
            if (op == operation_ && left_ > 0) {
                --left_;
                ++fired_;
                throw Poco::FileException("injected", path, error_);
            }
        });
    }
    ~FaultInjector() { setFileOpFault({}); }
    int fired() const { return fired_; }

private:
    std::string operation_;
    int error_;
    int left_;
    int fired_ = 0;
};

FileOpPolicy fastPolicy() {
    FileOpPolicy policy;
    policy.delayMs = 0;
    policy.quiet = true;
    return policy;
}

} // namespace

TEST(FileOpsTest, PersistentTransientErrorRetriesThreeTimesThenFails) {
    TempDir dir;
    testsupport::writeFile(dir.file("busy"), "x");
    LogCapture log;
    const FileOpPolicy policy = fastPolicy();
    FaultInjector fault("deleteFile", EBUSY, 100);

    EXPECT_THROW(deleteFile(dir.file("busy"), &policy), Poco::FileException);
    EXPECT_EQ(4, fault.fired());
    const auto warnings = log.texts(Poco::Message::PRIO_WARNING);
    ASSERT_EQ(3u, warnings.size());
    for (const auto& w : warnings)
        EXPECT_EQ("Failed to delete file '" + dir.file("busy") + "', Retring...", w);
    const auto errors = log.texts(Poco::Message::PRIO_ERROR);
    ASSERT_EQ(1u, errors.size());
    EXPECT_EQ(0u, errors[0].find("Failed to delete file '" + dir.file("busy") + "', Details: "));
    EXPECT_TRUE(Poco::File(dir.file("busy")).exists());
}

TEST(FileOpsTest, TransientErrorThatClearsSucceedsAndOtherErrorsAreNotRetried) {
    TempDir dir;
    const FileOpPolicy policy = fastPolicy();
    {
        LogCapture log;
        FaultInjector fault("createFolder", EACCES, 2);
        createFolder(dir.file("later"), &policy);
        EXPECT_TRUE(Poco::File(dir.file("later")).isDirectory());
        EXPECT_EQ(2u, log.texts(Poco::Message::PRIO_WARNING).size());
        EXPECT_TRUE(log.texts(Poco::Message::PRIO_ERROR).empty());
    }
    {
        LogCapture log;
        FaultInjector fault("createFolder", ENOSPC, 100);
        EXPECT_THROW(createFolder(dir.file("never"), &policy), Poco::FileException);
        EXPECT_EQ(1, fault.fired());
        EXPECT_TRUE(log.texts(Poco::Message::PRIO_WARNING).empty());
    }
    {
        // The try-variant answers false, with the OS text for the error.
        LogCapture log;
        testsupport::writeFile(dir.file("src"), "x");
        FaultInjector fault("moveFile", ETXTBSY, 100);
        EXPECT_THROW(moveFile(dir.file("src"), dir.file("dst"), &policy), Poco::FileException);
        EXPECT_EQ(4, fault.fired());
        EXPECT_TRUE(log.contains("Failed to move file from '" + dir.file("src") + "' into '" + dir.file("dst") +
                                 "', Retring..."));
    }
    {
        LogCapture log;
        FaultInjector fault("deleteFolder", EPERM, 100);
        createFolder(dir.file("tree/x"), &policy);
        EXPECT_FALSE(tryDeleteFolder(dir.file("tree"), &policy));
        EXPECT_TRUE(log.contains("Failed to delete folder '" + dir.file("tree") +
                                 "', Details: Operation not permitted"));
    }
}

TEST(FileOpsTest, RealFailuresReachTheCaller) {
    TempDir dir;
    const FileOpPolicy policy = fastPolicy();
    testsupport::writeFile(dir.file("file"), "x");
    LogCapture log;
    // A folder below a file: ENOTDIR, not transient.
    EXPECT_FALSE(tryCreateFolder(dir.file("file/sub"), &policy));
    EXPECT_TRUE(log.contains("Failed to create folder '" + dir.file("file/sub") + "', Details: "));
    EXPECT_THROW(moveFile(dir.file("nothing"), dir.file("x"), &policy), Poco::FileNotFoundException);
}

// rename() refuses to cross file systems; the move then copies. /dev/shm is
// a file system of its own where it exists.
TEST(FileOpsTest, MoveAcrossFileSystemsCopiesTheWholeFileAndRemovesTheSource) {
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

TEST(FileOpsTest, DriveLettersFollowFileSystems) {
    TempDir dir;
    EXPECT_EQ(0, getDriveLetter(""));
    const unsigned char here = getDriveLetter(dir.path());
    EXPECT_NE(0, here);
    // A path that does not exist yet takes the slot of its nearest existing ancestor.
    EXPECT_EQ(here, getDriveLetter(dir.file("not/yet/there.bin")));
    EXPECT_EQ(here, getDriveLetter(dir.file("x")));
    if (Poco::File("/proc/self").exists()) {
        EXPECT_NE(getDriveLetter("/proc/self"), here);
    }
}

TEST(FileOpsTest, LockingObserversSerialiseOneDrive) {
    Singleton<DiscGuard>::create();
    struct Probe : HDDLockingObserver {
        std::atomic<int>* inside;
        std::atomic<int>* maxInside;
        void beginWrite(unsigned char d) override {
            HDDLockingObserver::beginWrite(d);
            int now = ++*inside;
            int seen = maxInside->load();
            while (now > seen && !maxInside->compare_exchange_weak(seen, now)) {
            }
        }
        void endWrite(unsigned char d) override {
            --*inside;
            HDDLockingObserver::endWrite(d);
        }
    };
    std::atomic<int> inside{0}, maxInside{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            Probe probe;
            probe.inside = &inside;
            probe.maxInside = &maxInside;
            for (int i = 0; i < 2000; ++i) {
                probe.beginWrite(7);
                probe.endWrite(7);
            }
        });
    for (auto& t : threads)
        t.join();
    Singleton<DiscGuard>::destroy();
    EXPECT_EQ(1, maxInside.load());

    HDDObserver observer;
    observer.start("a", "b", 5);
    observer.start("a", "b", 5);
    EXPECT_THROW(observer.start("a", "b", 6), std::logic_error);
}
