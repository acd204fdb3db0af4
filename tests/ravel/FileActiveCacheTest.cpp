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
#include <functional>
#include <future>
#include <mutex>

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
        if (fail_)
            fail_();
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
    void failWith(std::function<void()> fail) {
        std::lock_guard<std::mutex> lock(mutex_);
        fail_ = std::move(fail);
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
    std::function<void()> fail_;
    std::vector<std::pair<std::int64_t, std::string>> chunks_;
};

} // namespace

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

// A failing write marks its writer failed: the next put tells the segment why,
// its queued chunks are dropped, other writers go on.
TEST(FileActiveCacheTest, FailedObserverGetsItsErrorOnTheNextPut) {
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[] { throw Poco::FileException("Failed to map the view of file: x", 12); },
         "File access error: Failed to map the view of file: x, code: 12"},
        {[] { throw std::runtime_error("boom"); }, "std::exception: boom"},
        {[] { throw 42; }, "unknown exception inside thread FileActiveCache"},
    };
    for (const auto& [fail, text] : cases) {
        SCOPED_TRACE(text);
        FileActiveCache cache;
        RecordingObserver failing, healthy;
        cache.registerObserver(&failing);
        cache.registerObserver(&healthy);
        failing.failWith(fail);
        failing.hold(true);
        cache.put(&failing, "first", 5, 0);
        ASSERT_TRUE(failing.waitEntered());
        cache.put(&failing, "second", 6, 5); // queued behind the failing one
        failing.hold(false);

        EXPECT_TRUE(eventually([&] {
            try {
                cache.put(&failing, "x", 1, 100);
                return false;
            } catch (const Poco::Exception& e) {
                EXPECT_EQ(text, e.message());
                EXPECT_EQ(0, e.code());
                return true;
            }
        }));
        cache.put(&healthy, "fine", 4, 0);
        cache.unregisterObserver(&failing);
        cache.unregisterObserver(&healthy);
        using Chunks = std::vector<std::pair<std::int64_t, std::string>>;
        EXPECT_EQ((Chunks{{0, "first"}}), failing.chunks()); // "second" and the probes were dropped
        EXPECT_EQ((Chunks{{0, "fine"}}), healthy.chunks());
        EXPECT_EQ(cache.capacity(), cache.freeBytes());

        // A new registration of the same address starts clean.
        failing.failWith(nullptr);
        cache.registerObserver(&failing);
        cache.put(&failing, "ok", 2, 0);
        cache.unregisterObserver(&failing);
        EXPECT_EQ((Chunks{{0, "first"}, {0, "ok"}}), failing.chunks());
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
        std::atomic<std::int64_t> now{5000}, lastRead{0};
    };
    auto clock = std::make_shared<Clock>();
    FileActiveCache cache(FileActiveCache::kDefaultCapacity, [clock] { return clock->lastRead = clock->now.load(); });
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
    for (const auto& [now, spare] : {std::pair<std::int64_t, std::size_t>{5010, 2}, {5011, 0}}) {
        SCOPED_TRACE(now); // ten seconds idle are not yet more than ten
        clock->now = now;
        ASSERT_TRUE(eventually([&, now = now] { return clock->lastRead == now; }));
        EXPECT_EQ(spare, cache.spareCount());
    }
}
