#include "distr/FileCache.h"

#include "distr/LocalFile.h"
#include "platform/FileSystem.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

#include <Poco/File.h>
#include <Poco/Logger.h>
#include <Poco/Path.h>
#include <Poco/String.h>

#include <gtest/gtest.h>

#include <map>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

using namespace Patcher;
using testsupport::LogCapture;
using testsupport::TempDir;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

const std::string kA = "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
const std::string kB = "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb";
const std::string kDigits = "0123456789abcdef0123456789abcdeffedcba98";
const std::string kUpper = "0123456789ABCDEF0123456789ABCDEFFEDCBA98";

std::string cacheFile(const TempDir& dir) {
    return dir.file(".kvo.meta.dir/.kvo.cache.txt");
}

std::vector<std::string> listing(const FileCache& cache, const std::vector<std::string>& paths) {
    std::vector<std::string> out;
    for (const auto& p : paths)
        if (auto e = cache.get(p))
            out.push_back(e->path + "=" + e->sha1.substr(0, 1) + ":" + std::to_string(e->size));
    return out;
}

class FileCacheTest : public ::testing::Test {
protected:
    void SetUp() override { createFolder(dir.file(".kvo.meta.dir")); }
    TempDir dir;
    LogCapture log{Poco::Logger::get("Cache")};
};

} // namespace

TEST_F(FileCacheTest, SavesLoadsAndKeepsABackup) {
    {
        FileCache cache(dir.path());
        EXPECT_EQ(0u, cache.count());
        EXPECT_FALSE(cache.isDirty());
        cache.put("Data/b.bin", kDigits, 1048576, 1700000000);
        cache.put("Data/a.bin", kA, 10, 5);
        // Kept exactly as given, though only lowercase digests are stored compactly.
        cache.put("Data/c.bin", kUpper, 0, 1);
        cache.put("Data/d.bin", "not a digest", 0, 1);
        cache.put("Data/a.bin", kA, 20, 5); // replaces: the total follows
        EXPECT_EQ(1048596, cache.totalSize());
        EXPECT_TRUE(cache.save());
        EXPECT_FALSE(cache.isDirty());
    }
    EXPECT_EQ("Data/a.bin|" + kA + "|20|5\r\nData/b.bin|" + kDigits + "|1048576|1700000000\r\nData/c.bin|" +
                  kUpper + "|0|1\r\nData/d.bin|not a digest|0|1\r\n",
              readFile(cacheFile(dir)));
    EXPECT_EQ(readFile(cacheFile(dir)), readFile(cacheFile(dir) + ".tmp.copy"));
    EXPECT_FALSE(Poco::File(cacheFile(dir) + ".tmp").exists());

    // Loading it back is every update's; what a run would not notice stays.
    FileCache again(dir.path());
    EXPECT_FALSE(again.isValid("data/a.bin", kA)); // paths are exact
    EXPECT_EQ(kDigits, again.get("Data/b.bin")->sha1);
    EXPECT_TRUE(again.isValid("Data/c.bin", kUpper));
    EXPECT_FALSE(again.isValid("Data/c.bin", Poco::toLower(kUpper))); // hashes too
    EXPECT_FALSE(again.isValid("Data/a.bin", kA.substr(1) + "A"));
    EXPECT_TRUE(again.isValid("Data/d.bin", "not a digest"));
    // An equal entry changes nothing.
    again.put("Data/a.bin", kA, 20, 5);
    EXPECT_FALSE(again.isDirty());
    again.remove("Data/a.bin");
    EXPECT_EQ(1048576, again.totalSize());
    EXPECT_TRUE(again.isDirty());
}

TEST_F(FileCacheTest, CorruptFileIsPreservedAndTheCacheStartsEmpty) {
    writeFile(cacheFile(dir), "ok|" + kA + "|1|2\r\nbroken|" + kB + "|3\r\n");
    writeFile(cacheFile(dir) + ".tmp.copy", "backup");
    FileCache cache(dir.path());
    EXPECT_EQ(0u, cache.count());
    EXPECT_EQ(0, cache.totalSize());
    EXPECT_TRUE(cache.isDirty());
    EXPECT_TRUE(log.contains("Cache file is corrupted."));
    EXPECT_FALSE(Poco::File(cacheFile(dir)).exists());
    int corrupt = 0, backups = 0;
    for (const auto& e : DirListing(dir.file(".kvo.meta.dir")).entries()) {
        if (e.name.rfind(".kvo.cache.txt.corrupt.", 0) == 0) {
            ++corrupt;
            EXPECT_EQ("ok|" + kA + "|1|2\r\nbroken|" + kB + "|3\r\n", readFile(e.path));
        }
        if (e.name.rfind(".kvo.cache.txt.tmp.copy.", 0) == 0) {
            ++backups;
            EXPECT_EQ("backup", readFile(e.path));
        }
    }
    EXPECT_EQ(1, corrupt);
    EXPECT_EQ(1, backups);
    // Empty and dirty: the next save writes nothing.
    EXPECT_FALSE(cache.save());
    EXPECT_TRUE(log.contains("Cache file is deleted"));

    writeFile(cacheFile(dir), "x|" + kA + "|12z|2\r\n");
    FileCache badNumber(dir.path());
    EXPECT_EQ(0u, badNumber.count());
    EXPECT_TRUE(log.contains("Not a valid integer"));
}

TEST_F(FileCacheTest, RefreshDropsMissingAndChangedFiles) {
    writeFile(dir.file("same.txt"), "1");
    writeFile(dir.file("changed.txt"), "2");
    std::int64_t sameTime = 0, changedTime = 0;
    ASSERT_TRUE(platform::modificationTime(dir.file("same.txt"), sameTime));
    ASSERT_TRUE(platform::modificationTime(dir.file("changed.txt"), changedTime));
    FileCache cache(dir.path());
    cache.put("same.txt", kA, 1, sameTime);
    cache.put("changed.txt", kA, 1, changedTime - 10);
    cache.put("gone.txt", kA, 1, sameTime);
    cache.put("zero.txt", kA, 1, 0);
    cache.refresh();
    EXPECT_EQ((std::vector<std::string>{"same.txt=a:1"}),
              listing(cache, {"same.txt", "changed.txt", "gone.txt", "zero.txt"}));
    EXPECT_FALSE(cache.isDirty()); // refresh saved
    EXPECT_EQ("same.txt|" + kA + "|1|" + std::to_string(sameTime) + "\r\n", readFile(cacheFile(dir)));

    cache.putFile("same.txt", 0, 0);
    EXPECT_TRUE(cache.isValid("same.txt", sha1OfFile(dir.file("same.txt"))));

    // An edit within the second of the recording shows in the fraction only;
    // a line of an older cache (same.txt, whole seconds) is still kept by its
    // seconds. The fraction survives a save and a load.
    writeFile(dir.file("exact.txt"), "3");
    writeFile(dir.file("edited.txt"), "4");
    std::int64_t seconds = 0, nanos = 0, editedSeconds = 0, editedNanos = 0;
    ASSERT_TRUE(platform::modificationTime(dir.file("exact.txt"), seconds, nanos));
    ASSERT_TRUE(platform::modificationTime(dir.file("edited.txt"), editedSeconds, editedNanos));
    cache.put("same.txt", kA, 1, sameTime);
    cache.put("exact.txt", kA, 1, seconds, nanos);
    cache.put("edited.txt", kA, 1, editedSeconds, (editedNanos + 1) % 1000000000);
    ASSERT_TRUE(cache.save());
    FileCache loaded(dir.path());
    ASSERT_TRUE(loaded.get("exact.txt"));
    EXPECT_EQ(nanos, loaded.get("exact.txt")->modifiedNanos);
    loaded.refresh();
    EXPECT_EQ((std::vector<std::string>{"same.txt=a:1", "exact.txt=a:1"}),
              listing(loaded, {"same.txt", "exact.txt", "edited.txt"}));
}

TEST_F(FileCacheTest, RemoveAllFilesDeletesWhatTheCacheKnows) {
    writeFile(dir.file("a/b/one.bin"), "1");
    writeFile(dir.file("a/two.bin"), "22");
    writeFile(dir.file("top.bin"), "333");
    writeFile(dir.file("a/b/foreign.txt"), "not ours");
    // Files beside the destination, named by damaged cache lines.
    TempDir outside;
    writeFile(outside.file("victim/precious.txt"), "keep me");
    const Poco::Path outsidePath(outside.path());
    const std::string escape = "../" + outsidePath[outsidePath.depth() - 1] + "/victim/precious.txt";
    FileCache cache(dir.path());
    cache.put(escape, kA, 5, 0);
    cache.put(outside.file("victim/precious.txt"), kA, 6, 0);
    cache.put("a/b/one.bin", kA, 1, 0);
    cache.put("a/two.bin", kA, 2, 0);
    cache.put("top.bin", kA, 3, 0);
    cache.put("missing.bin", kA, 4, 0);
    struct Recorder : CacheObserver {
        std::vector<std::string> removed;
        void onEntryRemoved(const CacheEntry& e) override { removed.push_back(e.path); }
    } observer;
    std::set<std::string> directories{"stale/"};
    cache.removeAllFiles(directories, &observer);
    EXPECT_EQ((std::set<std::string>{"a/", "a/b/"}), directories);
    EXPECT_EQ((std::vector<std::string>{escape, outside.file("victim/precious.txt"), "a/b/one.bin", "a/two.bin",
                                        "missing.bin", "top.bin"}),
              observer.removed);
    EXPECT_EQ("keep me", readFile(outside.file("victim/precious.txt")));
    EXPECT_EQ(0u, cache.count());
    EXPECT_EQ(0, cache.totalSize());
    EXPECT_FALSE(Poco::File(dir.file("a/b/one.bin")).exists());
    EXPECT_FALSE(Poco::File(dir.file("top.bin")).exists());
    EXPECT_TRUE(Poco::File(dir.file("a/b/foreign.txt")).exists());
}

TEST_F(FileCacheTest, FailedSaveLeavesNoCacheFile) {
    FileCache cache(dir.path());
    cache.put("x", kA, 1, 1);
    ASSERT_TRUE(cache.save());
    cache.put("y", kB, 1, 1);
    cache.setSaveHook([](const char* step) {
        if (std::string(step) == "tmp-written")
            throw Poco::IOException("disk went away");
    });
    EXPECT_FALSE(cache.save());
    EXPECT_TRUE(log.contains("Cache file update is failed. I/O error: disk went away"));
    EXPECT_FALSE(Poco::File(cacheFile(dir)).exists());
    cache.setSaveHook([](const char* step) {
        if (std::string(step) == "tmp-open")
            throw std::runtime_error("no room");
    });
    EXPECT_FALSE(cache.save());
    EXPECT_TRUE(log.contains("Cache file update is failed. std::exception: no room"));
    cache.setSaveHook({});
    EXPECT_TRUE(cache.save());
    EXPECT_EQ(2u, FileCache(dir.path()).count());
}

// A crash between any two steps of a save leaves the old cache or the new one.
TEST_F(FileCacheTest, CrashAtAnyStepOfASaveLeavesAReadableCache) {
    for (const char* crashAt : {"tmp-open", "tmp-half", "tmp-written", "copy-written", "moved"}) {
        {
            FileCache old(dir.path());
            for (int i = 0; i < 100; ++i)
                old.put("old/" + std::to_string(i), kA, i, i);
        }
        const pid_t child = ::fork();
        ASSERT_NE(-1, child);
        if (child == 0) {
            FileCache cache(dir.path());
            for (int i = 0; i < 100; ++i)
                cache.put("new/" + std::to_string(i), kB, i, i);
            cache.setSaveHook([crashAt](const char* step) {
                if (std::string(step) == crashAt)
                    ::_exit(0);
            });
            cache.save();
            ::_exit(1);
        }
        int status = 0;
        ASSERT_EQ(child, ::waitpid(child, &status, 0));
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << crashAt;

        FileCache after(dir.path());
        EXPECT_FALSE(log.contains("Cache file is corrupted.")) << crashAt;
        EXPECT_TRUE(after.count() == 100 || after.count() == 200) << crashAt << ": " << after.count();
        EXPECT_TRUE(after.isValid("old/99", kA)) << crashAt;
        const bool replaced = std::string(crashAt) == "moved";
        EXPECT_EQ(replaced, after.isValid("new/99", kB)) << crashAt;
        after.setSaveHook({});
        for (int i = 0; i < 100; ++i)
            after.remove("new/" + std::to_string(i));
        after.save();
        log.clear();
    }
}

TEST_F(FileCacheTest, ConcurrentPutsAndLookups) {
    FileCache cache(dir.path());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&cache, t] {
            for (int i = 0; i < 500; ++i) {
                const std::string path = "t" + std::to_string(t) + "/" + std::to_string(i);
                cache.put(path, kA, 1, i);
                EXPECT_TRUE(cache.isValid(path, kA));
                if (i % 2)
                    cache.remove(path);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(1000u, cache.count());
    EXPECT_EQ(1000, cache.totalSize());
    EXPECT_TRUE(cache.save());
}

TEST_F(FileCacheTest, ManyPutsOutOfOrderAndRemovalsSaveInPathOrder) {
    // Enough files that out-of-order puts and removals are merged more than once.
    const int n = 20000;
    std::vector<int> order(n);
    for (int i = 0; i < n; ++i)
        order[static_cast<std::size_t>(i)] = (i * 7919) % n; // a permutation: 7919 is prime
    std::map<std::string, std::string> expected;
    {
        FileCache cache(dir.path());
        for (int i : order)
            cache.put("d/" + std::to_string(i), kA, 2, i);
        for (int i : order)
            if (i % 3 == 0)
                cache.remove("d/" + std::to_string(i));
        for (int i = 0; i < n; i += 9)
            cache.put("d/" + std::to_string(i), kB, 2, i); // removed ones come back
        for (int i = 0; i < n; ++i)
            if (i % 3 != 0 || i % 9 == 0)
                expected["d/" + std::to_string(i)] =
                    (i % 9 == 0 ? kB : kA) + "|2|" + std::to_string(i);
        EXPECT_EQ(expected.size(), cache.count());
        EXPECT_EQ(2 * static_cast<std::int64_t>(expected.size()), cache.totalSize());
        EXPECT_FALSE(cache.isValid("d/3", kA));
        EXPECT_TRUE(cache.isValid("d/9", kB));
    }
    std::string text;
    for (const auto& item : expected)
        text += item.first + "|" + item.second + "\r\n";
    EXPECT_EQ(text, readFile(cacheFile(dir)));
    FileCache again(dir.path());
    EXPECT_EQ(expected.size(), again.count());
}
