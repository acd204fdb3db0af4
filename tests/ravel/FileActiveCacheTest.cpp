#include "ravel/AsyncFileWriter.h"
#include "ravel/FileActiveCache.h"
#include "tests/ravel/RavelTestUtil.h"
#include "tests/support/TempDir.h"

#include <Poco/Exception.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <random>
#include <thread>

using namespace ravel;
using raveltest::eventually;
using raveltest::exists;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

// Records what it is given; fails or holds its flushes on request.
class RecordingObserver : public ActiveCacheObserver {
public:
    void onFlush(const FileChunk& chunk) override {
        std::unique_lock<std::mutex> lock(mutex_);
        entered_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !held_; });
        chunks_.emplace_back(chunk.position, std::string(chunk.bytes.begin(), chunk.bytes.end()));
        if (failWith_ == 1)
            throw Poco::FileException("Failed to map the view of file: x", 12);
        if (failWith_ == 2)
            throw std::runtime_error("boom");
        if (failWith_ == 3)
            throw 42;
    }
    void hold(bool on) {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = on;
        changed_.notify_all();
    }
    bool waitEntered() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return entered_; });
    }
    void failWith(int kind) {
        std::lock_guard<std::mutex> lock(mutex_);
        failWith_ = kind;
    }
    std::vector<std::pair<std::int64_t, std::string>> chunks() {
        std::lock_guard<std::mutex> lock(mutex_);
        return chunks_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;
    bool entered_ = false;
    int failWith_ = 0;
    std::vector<std::pair<std::int64_t, std::string>> chunks_;
};

} // namespace

// Several segment threads writing disjoint blocks in any order: the file comes
// out byte-exact and its record is gone.
TEST(FileActiveCacheTest, ConcurrentWritersProduceTheExactFile) {
    TempDir dir;
    const std::string path = dir.file("out.bin");
    const std::int64_t size = 5 * std::int64_t{File::defaultBlockSize()} + 12345;
    const std::string data = raveltest::randomBytes(static_cast<std::size_t>(size), 1);
    FileActiveCache cache(256 * 1024); // small: writers must wait for the thread
    {
        AsyncFileWriter writer(path, size, cache);
        std::mutex writeMutex; // the downloader serialises writes to one writer
        const int segments = 4;
        const std::int64_t segment = (size + segments - 1) / segments;
        std::vector<std::thread> threads;
        for (int s = 0; s < segments; ++s)
            threads.emplace_back([&, s] {
                std::mt19937 gen(static_cast<unsigned>(s));
                std::int64_t pos = s * segment;
                const std::int64_t end = std::min(size, pos + segment);
                while (pos < end) {
                    const std::int64_t n = std::min<std::int64_t>(end - pos, 1 + gen() % 300000);
                    std::lock_guard<std::mutex> lock(writeMutex);
                    writer.write(data.data() + pos, n, pos);
                    pos += n;
                }
            });
        for (auto& t : threads)
            t.join();
    }
    EXPECT_TRUE(readFile(path) == data);
    EXPECT_FALSE(exists(path + ".downloading#"));
    EXPECT_EQ(cache.capacity(), cache.freeBytes());
}

// A record only describes the file it was written beside, at the request's length.
TEST(FileActiveCacheTest, RecordOfAnotherFileStartsOver) {
    struct Case {
        const char* name;
        std::int64_t lengthOnDisk; // -1: no file
    };
    for (const Case& c : {Case{"file missing", -1}, Case{"shorter file", 5000}, Case{"longer file", 20000}}) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.file("out.bin");
        writeFile(path + ".downloading#", "1\n0 4000\n\n");
        if (c.lengthOnDisk >= 0)
            writeFile(path, std::string(static_cast<std::size_t>(c.lengthOnDisk), 'o'));
        FileActiveCache cache;
        AsyncFileWriter writer(path, 10000, cache);
        EXPECT_TRUE(writer.storedRanges().empty());
        // Removed at once: a crash now must not bring the old claim back.
        EXPECT_FALSE(exists(path + ".downloading#"));
    }
}

TEST(FileActiveCacheTest, RegistrationMistakesAreLogicErrors) {
    FileActiveCache cache;
    RecordingObserver observer;
    EXPECT_THROW(cache.put(&observer, "x", 1, 0), std::logic_error);
    EXPECT_THROW(cache.unregisterObserver(&observer), std::logic_error);
    cache.registerObserver(&observer);
    EXPECT_THROW(cache.registerObserver(&observer), std::logic_error);
    cache.unregisterObserver(&observer);
}

// A failing write marks its writer failed: the next put tells the segment why,
// its queued chunks are dropped, other writers go on.
TEST(FileActiveCacheTest, FailedObserverGetsItsErrorOnTheNextPut) {
    struct Case {
        int kind;
        const char* text;
    };
    const Case cases[] = {
        {1, "File access error: Failed to map the view of file: x, code: 12"},
        {2, "std::exception: boom"},
        {3, "unknown exception inside thread FileActiveCache"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        FileActiveCache cache;
        RecordingObserver failing, healthy;
        cache.registerObserver(&failing);
        cache.registerObserver(&healthy);
        failing.failWith(c.kind);
        failing.hold(true);
        cache.put(&failing, "first", 5, 0);
        ASSERT_TRUE(failing.waitEntered());
        cache.put(&failing, "second", 6, 5); // queued behind the failing one
        failing.hold(false);

        bool thrown = eventually([&] {
            try {
                cache.put(&failing, "x", 1, 100);
                return false;
            } catch (const Poco::Exception& e) {
                EXPECT_EQ(c.text, e.message());
                EXPECT_EQ(0, e.code());
                return true;
            }
        });
        EXPECT_TRUE(thrown);
        cache.put(&healthy, "fine", 4, 0);
        cache.unregisterObserver(&failing);
        cache.unregisterObserver(&healthy);
        ASSERT_EQ(1u, failing.chunks().size()); // "second" and the probes were dropped
        EXPECT_EQ("first", failing.chunks()[0].second);
        ASSERT_EQ(1u, healthy.chunks().size());
        EXPECT_EQ(cache.capacity(), cache.freeBytes());

        // A new registration of the same address starts clean.
        RecordingObserver& again = failing;
        again.failWith(0);
        cache.registerObserver(&again);
        cache.put(&again, "ok", 2, 0);
        cache.unregisterObserver(&again);
        EXPECT_EQ(2u, again.chunks().size());
    }
}

// The third put may return only once the thread has written a chunk.
TEST(FileActiveCacheTest, PutWaitsWhileTheCacheIsOverCapacity) {
    FileActiveCache cache(1000);
    RecordingObserver observer;
    cache.registerObserver(&observer);
    observer.hold(true);
    const std::string block(600, 'b');
    cache.put(&observer, block.data(), 600, 0);
    ASSERT_TRUE(observer.waitEntered());
    cache.put(&observer, block.data(), 600, 600); // free was still >= 0
    EXPECT_EQ(-200, cache.freeBytes());

    std::promise<void> started;
    auto blocked = std::async(std::launch::async, [&] {
        started.set_value();
        cache.put(&observer, block.data(), 600, 1200);
        return observer.chunks().size();
    });
    started.get_future().wait();
    observer.hold(false);
    EXPECT_GE(blocked.get(), 1u) << "put() returned while the cache was over capacity";
    cache.unregisterObserver(&observer);
    EXPECT_EQ(3u, observer.chunks().size());
    EXPECT_EQ(1000, cache.freeBytes());
}

// The thread reads the clock each time it finds the queue empty (at least once
// a second): waiting for a read of the new time, instead of a sleep, shows what
// it decided at that time.
TEST(FileActiveCacheTest, SpareChunksAreReleasedAfterTenIdleSeconds) {
    struct Clock {
        std::atomic<std::int64_t> now{5000};
        std::atomic<std::int64_t> lastRead{0};
    };
    auto clock = std::make_shared<Clock>();
    FileActiveCache cache(FileActiveCache::kDefaultCapacity, [clock] {
        clock->lastRead = clock->now.load();
        return clock->lastRead.load();
    });
    RecordingObserver observer;
    cache.registerObserver(&observer);
    observer.hold(true);
    cache.put(&observer, "a", 1, 0);
    ASSERT_TRUE(observer.waitEntered());
    cache.put(&observer, "b", 1, 1);
    observer.hold(false);
    cache.unregisterObserver(&observer);
    EXPECT_EQ(2u, cache.spareCount());
    // The read happens under the cache's lock, so spareCount() sees its outcome.
    clock->now = 5010;
    ASSERT_TRUE(eventually([&] { return clock->lastRead == 5010; }));
    EXPECT_EQ(2u, cache.spareCount()) << "ten seconds idle are not yet more than ten";
    clock->now = 5011;
    ASSERT_TRUE(eventually([&] { return clock->lastRead == 5011; }));
    EXPECT_EQ(0u, cache.spareCount());
}
