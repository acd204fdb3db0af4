#include "distr/FileCache.h"

#include "distr/LocalFile.h"
#include "platform/FileSystem.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/String.h>

#include <gtest/gtest.h>

#include <map>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

using namespace Patcher;
using namespace testsupport;

namespace {

const std::string kA(40, 'a'), kB(40, 'b');
const std::string kDigits = "0123456789abcdef0123456789abcdeffedcba98";
const std::string kUpper = "0123456789ABCDEF0123456789ABCDEFFEDCBA98";

struct Put {
    std::string path, sha1;
    std::int64_t size, modified, nanos = -1;
};

// Every entry of these tests is made here, and every cache by makeCache.
void fill(FileCache& cache, const std::vector<Put>& entries) {
    for (const Put& e : entries)
        cache.put(e.path, e.sha1, e.size, e.modified, e.nanos);
}

std::unique_ptr<FileCache> makeCache(const TempDir& dir, const std::vector<Put>& entries = {}) {
    auto cache = std::make_unique<FileCache>(dir.path());
    fill(*cache, entries);
    return cache;
}

std::vector<Put> numbered(const std::string& prefix, const std::string& sha1) {
    std::vector<Put> out;
    for (int i = 0; i < 100; ++i)
        out.push_back({prefix + std::to_string(i), sha1, i, i});
    return out;
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
    const std::string cacheFile = dir.file(".kvo.meta.dir/.kvo.cache.txt");
    LogCapture log{"Cache"};
};

} // namespace

TEST_F(FileCacheTest, SavesLoadsAndKeepsABackup) {
    {
        auto cache = makeCache(dir);
        EXPECT_EQ(0u, cache->count());
        EXPECT_FALSE(cache->isDirty());
        // Kept exactly as given, though only lowercase digests are stored compactly; the second a.bin replaces.
        fill(*cache, {{"Data/b.bin", kDigits, 1048576, 1700000000}, {"Data/a.bin", kA, 10, 5},
                      {"Data/c.bin", kUpper, 0, 1}, {"Data/d.bin", "not a digest", 0, 1}, {"Data/a.bin", kA, 20, 5},
                      {"data/B.bin", kB, 0, 2}});
        EXPECT_EQ(1048596, cache->totalSize());
        EXPECT_TRUE(cache->save());
        EXPECT_FALSE(cache->isDirty());
    }
    EXPECT_EQ("Data/a.bin|" + kA + "|20|5\r\nData/b.bin|" + kDigits + "|1048576|1700000000\r\nData/c.bin|" +
                  kUpper + "|0|1\r\nData/d.bin|not a digest|0|1\r\ndata/B.bin|" + kB + "|0|2\r\n",
              readFile(cacheFile));
    EXPECT_EQ(readFile(cacheFile), readFile(cacheFile + ".tmp.copy"));
    EXPECT_FALSE(Poco::File(cacheFile + ".tmp").exists());

    // Loading it back is every update's; what a run would not notice stays.
    auto again = makeCache(dir);
    EXPECT_FALSE(again->isValid("data/a.bin", kA)); // paths are exact
    EXPECT_EQ(kDigits, again->get("Data/b.bin")->sha1);
    EXPECT_TRUE(again->isValid("data/B.bin", kB)); // a second spelling is a record of its own
    EXPECT_TRUE(again->isValid("Data/c.bin", kUpper));
    EXPECT_FALSE(again->isValid("Data/c.bin", Poco::toLower(kUpper))); // hashes too
    EXPECT_FALSE(again->isValid("Data/a.bin", kA.substr(1) + "A"));
    EXPECT_TRUE(again->isValid("Data/d.bin", "not a digest"));
    fill(*again, {{"Data/a.bin", kA, 20, 5}}); // an equal entry changes nothing
    EXPECT_FALSE(again->isDirty());
    again->remove("Data/a.bin");
    EXPECT_EQ(1048576, again->totalSize());
    EXPECT_TRUE(again->isDirty());
}

TEST_F(FileCacheTest, CorruptFileIsPreservedAndTheCacheStartsEmpty) {
    const std::string corrupt = "ok|" + kA + "|1|2\r\nbroken|" + kB + "|3\r\n";
    writeFile(cacheFile, corrupt);
    writeFile(cacheFile + ".tmp.copy", "backup");
    auto cache = makeCache(dir);
    EXPECT_EQ(0u, cache->count());
    EXPECT_EQ(0, cache->totalSize());
    EXPECT_TRUE(cache->isDirty());
    EXPECT_TRUE(log.contains("Cache file is corrupted."));
    // Both set aside under their names with a time stamp.
    std::vector<std::pair<std::string, std::string>> stamped;
    for (const auto& [name, content] : readTree(dir.file(".kvo.meta.dir")))
        if (std::isdigit(static_cast<unsigned char>(name.back())))
            stamped.emplace_back(name.substr(0, name.find_last_not_of("0123456789") + 1), content);
    EXPECT_EQ((decltype(stamped){{".kvo.cache.txt.corrupt.", corrupt}, {".kvo.cache.txt.tmp.copy.", "backup"}}),
              stamped);
    EXPECT_FALSE(Poco::File(cacheFile).exists());
    // Empty and dirty: the next save writes nothing.
    EXPECT_FALSE(cache->save());
    EXPECT_TRUE(log.contains("Cache file is deleted"));

    writeFile(cacheFile, "x|" + kA + "|12z|2\r\n");
    EXPECT_EQ(0u, makeCache(dir)->count());
    EXPECT_TRUE(log.contains("Not a valid integer"));
}

TEST_F(FileCacheTest, RefreshDropsMissingAndChangedFiles) {
    makeTree(dir.path(),
             {{"same.txt", "1"}, {"changed.txt", "2"}, {"exact.txt", "3"}, {"edited.txt", "4"}, {"wide.txt", "5"}});
    const auto stamp = [this](const char* name) {
        std::pair<std::int64_t, std::int64_t> time;
        EXPECT_TRUE(platform::modificationTime(dir.file(name), time.first, time.second));
        return time;
    };
    const auto same = stamp("same.txt"), changed = stamp("changed.txt");
    auto cache = makeCache(dir, {{"same.txt", kA, 1, same.first}, {"changed.txt", kA, 1, changed.first - 10},
                                 {"gone.txt", kA, 1, same.first}, {"zero.txt", kA, 1, 0}});
    cache->refresh();
    EXPECT_EQ((std::vector<std::string>{"same.txt=a:1"}),
              listing(*cache, {"same.txt", "changed.txt", "gone.txt", "zero.txt"}));
    EXPECT_FALSE(cache->isDirty()); // refresh saved
    EXPECT_EQ("same.txt|" + kA + "|1|" + std::to_string(same.first) + "\r\n", readFile(cacheFile));

    cache->putFile("same.txt", 0, 0);
    EXPECT_TRUE(cache->isValid("same.txt", sha1OfFile(dir.file("same.txt"))));

    // An edit within the second of the recording shows in the fraction only;
    // a line of an older cache (same.txt, whole seconds) is still kept by its
    // seconds. The fraction survives a save and a load; one too wide to be a
    // fraction matches no file.
    const auto exact = stamp("exact.txt"), edited = stamp("edited.txt"), wide = stamp("wide.txt");
    fill(*cache, {{"same.txt", kA, 1, same.first}, {"exact.txt", kA, 1, exact.first, exact.second},
                  {"edited.txt", kA, 1, edited.first, (edited.second + 1) % 1000000000},
                  {"wide.txt", kA, 1, wide.first, wide.second + (std::int64_t(1) << 32)}});
    ASSERT_TRUE(cache->save());
    auto loaded = makeCache(dir);
    ASSERT_TRUE(loaded->get("exact.txt"));
    EXPECT_EQ(exact.second, loaded->get("exact.txt")->modifiedNanos);
    loaded->refresh();
    EXPECT_EQ((std::vector<std::string>{"same.txt=a:1", "exact.txt=a:1"}),
              listing(*loaded, {"same.txt", "exact.txt", "edited.txt", "wide.txt"}));
}

TEST_F(FileCacheTest, RemoveAllFilesDeletesWhatTheCacheKnows) {
    makeTree(dir.path(), {{"a/b/one.bin", "1"}, {"a/two.bin", "22"}, {"top.bin", "333"}, {"a/b/foreign.txt", "x"}});
    // Files beside the destination, named by damaged cache lines.
    TempDir outside;
    writeFile(outside.file("victim/precious.txt"), "keep me");
    const Poco::Path outsidePath(outside.path());
    const std::string escape = "../" + outsidePath[outsidePath.depth() - 1] + "/victim/precious.txt";
    auto cache = makeCache(dir, {{escape, kA, 5, 0}, {outside.file("victim/precious.txt"), kA, 6, 0},
                                 {"a/b/one.bin", kA, 1, 0}, {"a/two.bin", kA, 2, 0}, {"top.bin", kA, 3, 0},
                                 {"missing.bin", kA, 4, 0}});
    struct Recorder : CacheObserver {
        std::vector<std::string> removed;
        void onEntryRemoved(const CacheEntry& e) override { removed.push_back(e.path); }
    } observer;
    std::set<std::string> directories{"stale/"};
    cache->removeAllFiles(directories, &observer);
    EXPECT_EQ((std::set<std::string>{"a/", "a/b/"}), directories);
    EXPECT_EQ((std::vector<std::string>{escape, outside.file("victim/precious.txt"), "a/b/one.bin", "a/two.bin",
                                        "missing.bin", "top.bin"}),
              observer.removed);
    EXPECT_EQ("keep me", readFile(outside.file("victim/precious.txt")));
    EXPECT_EQ(0u, cache->count());
    EXPECT_EQ(0, cache->totalSize());
    EXPECT_EQ((std::map<std::string, std::string>{{"a/b/foreign.txt", "x"}}), readTree(dir.path()));
}

TEST_F(FileCacheTest, FailedSaveLeavesNoCacheFile) {
    auto cache = makeCache(dir, {{"x", kA, 1, 1}});
    ASSERT_TRUE(cache->save());
    fill(*cache, {{"y", kB, 1, 1}});
    const auto failAt = [&](const std::string& at, auto error) {
        cache->setSaveHook([=](const char* step) {
            if (step == at)
                throw error;
        });
        EXPECT_FALSE(cache->save());
    };
    failAt("tmp-written", Poco::IOException("disk went away"));
    EXPECT_TRUE(log.contains("Cache file update is failed. I/O error: disk went away"));
    EXPECT_FALSE(Poco::File(cacheFile).exists());
    failAt("tmp-open", std::runtime_error("no room"));
    EXPECT_TRUE(log.contains("Cache file update is failed. std::exception: no room"));
    cache->setSaveHook({});
    EXPECT_TRUE(cache->save());
    EXPECT_EQ(2u, makeCache(dir)->count());
}

// A crash between any two steps of a save leaves the old cache or the new one.
TEST_F(FileCacheTest, CrashAtAnyStepOfASaveLeavesAReadableCache) {
    for (const std::string crashAt : {"tmp-open", "tmp-half", "tmp-written", "copy-written", "moved"}) {
        SCOPED_TRACE(crashAt);
        makeCache(dir, numbered("old/", kA)); // saved when it goes
        const pid_t child = ::fork();
        ASSERT_NE(-1, child);
        if (child == 0) {
            auto cache = makeCache(dir, numbered("new/", kB));
            cache->setSaveHook([crashAt](const char* step) {
                if (step == crashAt)
                    ::_exit(0);
            });
            cache->save();
            ::_exit(1);
        }
        int status = 0;
        ASSERT_EQ(child, ::waitpid(child, &status, 0));
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

        auto after = makeCache(dir);
        EXPECT_FALSE(log.contains("Cache file is corrupted."));
        EXPECT_TRUE(after->count() == 100 || after->count() == 200) << after->count();
        EXPECT_TRUE(after->isValid("old/99", kA));
        EXPECT_EQ(crashAt == "moved", after->isValid("new/99", kB));
        for (int i = 0; i < 100; ++i)
            after->remove("new/" + std::to_string(i));
        after->save();
        log.clear();
    }
}

TEST_F(FileCacheTest, ConcurrentPutsAndLookups) {
    auto cache = makeCache(dir);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&cache, t] {
            for (int i = 0; i < 500; ++i) {
                const std::string path = "t" + std::to_string(t) + "/" + std::to_string(i);
                fill(*cache, {{path, kA, 1, i}});
                EXPECT_TRUE(cache->isValid(path, kA));
                if (i % 2)
                    cache->remove(path);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(1000u, cache->count());
    EXPECT_EQ(1000, cache->totalSize());
    EXPECT_TRUE(cache->save());
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
    EXPECT_EQ(text, readFile(cacheFile));
    FileCache again(dir.path());
    EXPECT_EQ(expected.size(), again.count());
}
