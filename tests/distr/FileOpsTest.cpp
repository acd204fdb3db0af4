#include "distr/DiscGuard.h"
#include "distr/FileOps.h"

#include "base/Singleton.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

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

FileOpPolicy fastPolicy(bool quiet = true) {
    FileOpPolicy policy;
    policy.delayMs = 0;
    policy.quiet = quiet;
    return policy;
}

} // namespace

TEST(FileOpsTest, CreateDeleteAndMoveDoTheirWorkAndLogOnlyWhenNotQuiet) {
    TempDir dir;
    LogCapture log;
    const FileOpPolicy loud = fastPolicy(false);

    createFolder(dir.file("a/b/c"), &loud);
    EXPECT_TRUE(Poco::File(dir.file("a/b/c")).isDirectory());
    EXPECT_TRUE(log.contains("Folder '" + dir.file("a/b/c") + "' is create."));
    log.clear();
    createFolder(dir.file("a/b/c"), &loud); // exists: nothing
    EXPECT_TRUE(log.lines().empty());

    deleteFile(dir.file("missing"), &loud); // absent: silent success
    EXPECT_TRUE(log.lines().empty());

    testsupport::writeFile(dir.file("a/dst"), "old");
    deleteFile(dir.file("a/dst"), &loud);
    EXPECT_TRUE(log.contains("File '" + dir.file("a/dst") + "' is deleted"));
    deleteFolder(dir.file("a"), &loud);
    EXPECT_FALSE(Poco::File(dir.file("a")).exists());
    EXPECT_TRUE(log.contains("Folder '" + dir.file("a") + "' is deleted"));

    log.clear();
    const FileOpPolicy quiet = fastPolicy(true);
    createFolder(dir.file("q"), &quiet);
    deleteFolder(dir.file("q"), &quiet);
    EXPECT_TRUE(log.lines().empty());
}

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

TEST(FileOpsTest, EmptyAndMissingFilesAndFilteredListing) {
    TempDir dir;
    writeWholeFile(dir.file("empty"), "");
    EXPECT_EQ("", readWholeFile(dir.file("empty")));
    EXPECT_THROW(readWholeFile(dir.file("none")), Poco::OpenFileException);

    createFolder(dir.file("sub/deeper"));
    writeWholeFile(dir.file("sub/deeper/f.txt"), "1");
    std::vector<std::string> deep;
    const DirListing texts(dir.path(), true, DirListing::nameMatches(".*\\.txt"));
    for (const auto& e : texts.entries())
        deep.push_back(e.relative);
    EXPECT_EQ((std::vector<std::string>{"sub/deeper/f.txt"}), deep);

    LogCapture log;
    EXPECT_TRUE(DirListing(dir.file("absent")).entries().empty());
    EXPECT_TRUE(log.contains("Directory does not exists: " + dir.file("absent")));
}

TEST(FileOpsTest, Locations) {
    EXPECT_EQ("http://host/distr/", asDirectoryLocation("http://host\\distr"));
    EXPECT_EQ("https://host/d/", asDirectoryLocation("https://host/d/"));
    EXPECT_EQ("/games/x/", asDirectoryLocation("/games/x"));
    EXPECT_EQ("http/", asDirectoryLocation("http")); // four characters: a path

    EXPECT_EQ("http://host/files/1.0/", resolveLocation("..\\files\\1.0\\", "http://host/distr/"));
    EXPECT_EQ("http://host/a/b?x=../y", resolveLocation("./b?x=../y", "http://host/a/"));
    EXPECT_EQ("https://other/x", resolveLocation("https://other/x", "http://host/"));
    EXPECT_EQ("/abs/x", resolveLocation("/abs/x", "/games/distr/"));
    EXPECT_EQ("/games/x", resolveLocation("../x", "/games/distr/"));
    EXPECT_EQ("C:/games/x", resolveLocation("../x", "C:\\games\\distr\\"));
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
