#include "ravel/AsyncFileWriter.h"
#include "ravel/Downloader.h"
#include "ravel/FileActiveCache.h"
#include "ravel/HTTPSession.h"
#include "ravel/SessionPool.h"
#include "tests/ravel/RavelTestUtil.h"
#include "tests/support/FaultServer.h"
#include "tests/support/TempDir.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <set>

using namespace ravel;
using testsupport::FaultServer;

namespace {

// Records what the segments report, read once they are joined; the hook, set
// before the start, runs for each block.
class Collector : public DownloaderObserver {
public:
    void onData(Downloader&, const BlockNotification& block) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            blocks.push_back(block);
        }
        if (hook)
            hook(block);
    }
    void onError(Downloader&, const std::string& message, int) override {
        std::lock_guard<std::mutex> lock(mutex);
        errors.push_back(message);
    }

    std::mutex mutex;
    std::vector<BlockNotification> blocks;   // guarded by mutex
    std::vector<std::string> errors;         // guarded by mutex
    std::function<void(const BlockNotification&)> hook;
};

class DownloaderTest : public ::testing::Test {
protected:
    DownloaderTest()
        : server_(raveltest::pattern(12000)),
          factory_(std::make_shared<PooledSessionFactory>(std::make_shared<SessionPool>(
              std::make_shared<HTTPSessionFactory>(BasicHTTPSession::Headers{}, 0, Poco::Timespan(10, 0))))),
          path_(dir_.file("out.bin")) {}

    // A downloader of the whole resource in segments of segmentSize bytes.
    std::shared_ptr<Downloader> build(std::int64_t segmentSize) {
        const auto size = static_cast<std::int64_t>(server_.content().size());
        DownloaderBuilder builder;
        builder.sessionFactory(factory_).uri(Poco::URI(server_.url())).observer(&collector_).writer(
            std::make_shared<AsyncFileWriter>(path_, size, cache_));
        for (std::int64_t rel = 0; rel < size; rel += segmentSize)
            builder.addSegment(rel, rel, std::min(segmentSize, size - rel));
        return builder.build();
    }

    testsupport::TempDir dir_;
    FaultServer server_;
    std::shared_ptr<PooledSessionFactory> factory_;
    FileActiveCache cache_;
    Collector collector_;
    const std::string path_;
};

} // namespace

TEST_F(DownloaderTest, SegmentsResumeAfterTheStoredRangeAtTheirStart) {
    // Stored: [0, 4000) and [5500, 10000). The first covers segment 1, which asks
    // for nothing; the second starts after segment 2's first byte (4000), so only
    // segment 3 (8000) resumes from it.
    std::string file(12000, 'x');
    file.replace(0, 4000, server_.content(), 0, 4000);
    file.replace(5500, 4500, server_.content(), 5500, 4500);
    testsupport::writeFile(path_, file);
    testsupport::writeFile(path_ + ".downloading#", "2\n0 4000\n5500 4500\n\n");

    auto downloader = build(4000);
    std::vector<std::int64_t> done;
    for (const auto& segment : downloader->segments())
        done.push_back(segment->done());
    EXPECT_EQ((std::vector<std::int64_t>{4000, 0, 2000}), done);
    EXPECT_EQ(12000, downloader->total());
    EXPECT_EQ(6000, downloader->done());

    downloader->start();
    downloader->joinAll();
    EXPECT_TRUE(downloader->isComplete());
    EXPECT_TRUE(collector_.errors.empty());
    std::set<std::string> ranges;
    for (const auto& request : server_.requests())
        ranges.insert(request.range);
    EXPECT_EQ((std::set<std::string>{"bytes=4000-7999", "bytes=10000-11999"}), ranges);
    // The finished segment still reports, with an empty block.
    const auto& blocks = collector_.blocks;
    auto empty = std::find_if(blocks.begin(), blocks.end(), [](const BlockNotification& b) { return b.count == 0; });
    ASSERT_NE(blocks.end(), empty);
    EXPECT_EQ(4000, empty->requestPosition);
    downloader.reset(); // the writer goes: every block is in the file
    EXPECT_EQ(server_.content(), testsupport::readFile(path_));
    EXPECT_FALSE(Poco::File(path_ + ".downloading#").exists());
}

TEST_F(DownloaderTest, BlockRefusedByTheObserverIsCountedOnceWhenFetchedAgain) {
    // The observer refuses the first block (the request went away): it is in
    // the file, yet the segment fetches it again on the next start.
    std::atomic<bool> refused{false};
    collector_.hook = [&](const BlockNotification& block) {
        if (block.count > 0 && !refused.exchange(true))
            throw Poco::Exception("Request ended");
    };
    auto downloader = build(6000);
    downloader->start();
    downloader->joinAll();
    ASSERT_TRUE(refused);
    // A failure now must not be taken for the end of a complete download.
    EXPECT_FALSE(downloader->isComplete());
    EXPECT_EQ(6000, downloader->done());
    downloader->start();
    downloader->joinAll();
    EXPECT_TRUE(downloader->isComplete());
    EXPECT_EQ(12000, downloader->done());
    downloader.reset();
    EXPECT_EQ(server_.content(), testsupport::readFile(path_));
}
