#include "distr/DiscGuard.h"
#include "distr/FileOps.h"

#include "base/Singleton.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

using namespace Patcher;
using namespace testsupport;

namespace {

// Makes the underlying call of one operation fail with an errno value, a given
// number of times.
struct FaultInjector {
    FaultInjector(const std::string& operation, int error, int times) {
        setFileOpFault([this, operation, error, times](const std::string& op, const std::string& path) {
            if (op == operation && fired < times) {
                ++fired;
                throw Poco::FileException("injected", path, error);
            }
        });
    }
    ~FaultInjector() { setFileOpFault({}); }
    int fired = 0;
};

// What an operation did under an injected fault: "done" or "failed", the
// attempts, then each log line by level (W, E, or ? for any other).
std::string underFault(const char* operation, int error, int times, const std::function<bool()>& call) {
    LogCapture log;
    FaultInjector fault(operation, error, times);
    bool done = false;
    try {
        done = call();
    } catch (const Poco::FileException&) {
    }
    std::string out = (done ? "done, " : "failed, ") + std::to_string(fault.fired) + " attempts";
    for (const auto& line : log.lines())
        out += (line.priority == Poco::Message::PRIO_WARNING ? "\nW "
                : line.priority == Poco::Message::PRIO_ERROR ? "\nE " : "\n? ") + line.text;
    return out;
}

std::string repeated(int n, const std::string& text) {
    std::string out;
    while (n-- > 0)
        out += text;
    return out;
}

FileOpPolicy fastPolicy() {
    FileOpPolicy policy;
    policy.delayMs = 0;
    return policy;
}

} // namespace

TEST(FileOpsTest, TransientErrorsAreRetriedThreeTimesAndOthersNever) {
    TempDir dir;
    const FileOpPolicy policy = fastPolicy();
    writeFile(dir.file("busy"), "x");
    writeFile(dir.file("src"), "x");
    createFolder(dir.file("tree/x"));
    const auto details = [&](const std::string& path) { return ", Details: File access error: injected: " + dir.file(path); };
    const std::string busy = "Failed to delete file '" + dir.file("busy") + "'";
    EXPECT_EQ("failed, 4 attempts" + repeated(3, "\nW " + busy + ", Retring...") + "\nE " + busy + details("busy"),
              underFault("deleteFile", EBUSY, 100, [&] { return deleteFile(dir.file("busy"), &policy), true; }));
    EXPECT_TRUE(Poco::File(dir.file("busy")).exists());
    const std::string later = "Failed to create folder '" + dir.file("later") + "'";
    EXPECT_EQ("done, 2 attempts" + repeated(2, "\nW " + later + ", Retring..."),
              underFault("createFolder", EACCES, 2, [&] { return createFolder(dir.file("later"), &policy), true; }));
    EXPECT_TRUE(Poco::File(dir.file("later")).isDirectory());
    EXPECT_EQ("failed, 1 attempts\nE Failed to create folder '" + dir.file("never") + "'" + details("never"),
              underFault("createFolder", ENOSPC, 100, [&] { return createFolder(dir.file("never"), &policy), true; }));
    const std::string move = "Failed to move file from '" + dir.file("src") + "' into '" + dir.file("dst") + "'";
    EXPECT_EQ("failed, 4 attempts" + repeated(3, "\nW " + move + ", Retring...") + "\nE " + move + details("src"),
              underFault("moveFile", ETXTBSY, 100,
                         [&] { return moveFile(dir.file("src"), dir.file("dst"), &policy), true; }));
    // The try-variant answers false, with the OS text for the error.
    const std::string tree = "Failed to delete folder '" + dir.file("tree") + "'";
    EXPECT_EQ("failed, 4 attempts" + repeated(3, "\nW " + tree + ", Retring...") + "\nE " + tree + details("tree") +
                  "\nE " + tree + ", Details: Operation not permitted",
              underFault("deleteFolder", EPERM, 100, [&] { return tryDeleteFolder(dir.file("tree"), &policy); }));
}

TEST(FileOpsTest, RealFailuresReachTheCaller) {
    TempDir dir;
    const FileOpPolicy policy = fastPolicy();
    writeFile(dir.file("file"), "x");
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
    writeFile(source, content);
    moveFile(source, dir.file("moved"));
    EXPECT_TRUE(content == readFile(dir.file("moved")));
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
    if (Poco::File("/proc/self").exists()) {
        EXPECT_NE(getDriveLetter("/proc/self"), here);
    }
}

TEST(FileOpsTest, LockingObserversSerialiseOneDrive) {
    Singleton<DiscGuard>::create();
    static std::atomic<int> inside{0}, maxInside{0};
    struct Probe : HDDLockingObserver {
        void beginWrite(unsigned char d) override {
            HDDLockingObserver::beginWrite(d);
            for (int now = ++inside, seen = maxInside; now > seen && !maxInside.compare_exchange_weak(seen, now);) {
            }
        }
        void endWrite(unsigned char d) override {
            --inside;
            HDDLockingObserver::endWrite(d);
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            Probe probe;
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

TEST(ResolveLocationTest, LocalNamesAndUrls) {
    // A name starting with "http" is relative.
    EXPECT_EQ("http://host/distr/httpdocs/a", resolveLocation("httpdocs/a", "http://host/distr/"));
    EXPECT_EQ("/games/distr/httpdocs/a", resolveLocation("httpdocs/a", "/games/distr/"));
    EXPECT_EQ("/games/distr/http/", asDirectoryLocation("/games/distr/http"));
    EXPECT_EQ("httpdocs/", asDirectoryLocation("httpdocs"));
    // Real URLs still come back unchanged, whatever the case of the scheme.
    EXPECT_EQ("HTTPS://other/x", resolveLocation("HTTPS://other/x", "/games/"));
    // Local letters are kept as written.
    EXPECT_EQ("readme.txt", resolveLocation("../../readme.txt", "Games/v1/"));
    EXPECT_EQ("Games/readme.txt", resolveLocation("..\\readme.txt", "Games\\v1\\"));
    EXPECT_EQ("Games/v1/files/", resolveLocation("files/x/..", "Games/v1/"));
    EXPECT_EQ("/Games/a b/c", resolveLocation("./a b/./c", "/Games/"));
    EXPECT_EQ("/abs/x", resolveLocation("/abs/x", "/games/distr/"));
    EXPECT_EQ("C:/games/x", resolveLocation("../x", "C:\\games\\distr\\"));
    EXPECT_EQ("/games/x/", asDirectoryLocation("/games/x"));
    // URLs resolve like a browser.
    EXPECT_EQ("http://host/x", resolveLocation("../../../x", "http://host/a/"));
    EXPECT_EQ("http://host:8080/a/f.7z?v=1#top", resolveLocation("f.7z?v=1#top", "http://host:8080/a/"));
    EXPECT_EQ("https://host/Games/v2/", resolveLocation("../v2/", "https://host/Games/v1/"));
    EXPECT_EQ("http://host/files/1.0/", resolveLocation("..\\files\\1.0\\", "http://host\\distr\\"));
    EXPECT_EQ("http://host/a/b?x=../y", resolveLocation("./b?x=../y", "http://host/a/"));
    EXPECT_EQ("https://other/x", resolveLocation("https://other/x", "http://host/"));
    EXPECT_EQ("http://host/distr/", asDirectoryLocation("http://host\\distr"));
}

// Whether a text is a URL is a matter of its scheme, not of whether the rest
// parses: a malformed URL must fail as a URL rather than become a local path.
TEST(ResolveLocationTest, AUrlIsKnownByItsSchemeAndKeepsItsQuery) {
    EXPECT_EQ("http://host/100%/", asDirectoryLocation("http://host/100%"));
    EXPECT_THROW(resolveLocation("files/1.0", "http://host/100%/"), Poco::SyntaxException);
    EXPECT_EQ("http://host/v1/?token=a", asDirectoryLocation("http://host/v1?token=a"));
    EXPECT_EQ("http://host/v1/#top", asDirectoryLocation("http://host/v1#top"));
    EXPECT_EQ("http://host/my games/", asDirectoryLocation("http://host/my games"));
    EXPECT_EQ("http://host/my%20games/v1/files/a%20b", resolveLocation("files/a b", "http://host/my games/v1/"));
}
