#include "engine/UpdateParallelizer.h"

#include "base/CmdHandler.h"
#include "base/Errors.h"
#include "tests/support/LogCapture.h"

#include <Poco/Thread.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace Patcher;

namespace {

// What the wraps did, in order, and on which threads.
struct Journal {
    void add(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(event);
        threads.insert(std::this_thread::get_id());
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
    std::vector<std::string> only(char kind) {
        std::vector<std::string> out;
        for (const std::string& e : snapshot())
            if (e[0] == kind)
                out.push_back(e);
        return out;
    }
    std::mutex mutex;
    std::vector<std::string> events;
    std::set<std::thread::id> threads;
};

enum class Fault { None, Download, Handle, HandleStd, HandleUnknown, WaitForStop };

class TestWrap : public Wrap {
public:
    TestWrap(int n, Journal& journal, StopState& stop, Fault fault = Fault::None)
        : n_(n), journal_(journal), stop_(stop), fault_(fault) {}

    bool isNeeded() override { return true; }

    void download() override {
        if (fault_ == Fault::WaitForStop) {
            // Busy until the run is stopped, polling like a real download does.
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (std::chrono::steady_clock::now() < deadline) {
                stop_.check();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            throw std::runtime_error("the stop never arrived");
        }
        if (fault_ == Fault::Download)
            throw InternalError("download failed", std::to_string(n_), kInternalErrorCode);
        journal_.add("d" + std::to_string(n_));
    }

    void handle() override {
        if (fault_ == Fault::Handle)
            throw SHA1CheckError("SHA1 mismatch", std::to_string(n_), kSHA1CheckErrorCode);
        if (fault_ == Fault::HandleStd)
            throw std::out_of_range("index");
        if (fault_ == Fault::HandleUnknown)
            throw 42;
        journal_.add("h" + std::to_string(n_));
    }

private:
    const int n_;
    Journal& journal_;
    StopState& stop_;
    const Fault fault_;
};

std::vector<std::string> numbered(char kind, int from, int to) {
    std::vector<std::string> out;
    for (int i = from; i <= to; ++i)
        out.push_back(kind + std::to_string(i));
    return out;
}

class UpdateParallelizerTest : public ::testing::Test {
protected:
    void push(int n, Fault fault = Fault::None) {
        pipeline.push(std::make_shared<TestWrap>(n, journal, stop, fault));
    }

    testsupport::LogCapture log{"UpdPrlzr"};
    StopState stop;
    Journal journal;
    UpdateParallelizer pipeline{stop};
};

} // namespace

TEST_F(UpdateParallelizerTest, DownloadsAndHandlesInPushOrderOnTwoThreads) {
    const int count = static_cast<int>(UpdateParallelizer::kQueued) + 50; // more than the queue holds
    for (int i = 1; i <= count; ++i)
        push(i);
    pipeline.finish();
    EXPECT_EQ(numbered('d', 1, count), journal.only('d'));
    EXPECT_EQ(numbered('h', 1, count), journal.only('h'));
    // Each item is downloaded before it is handled.
    auto events = journal.snapshot();
    for (int i = 1; i <= 50; ++i) {
        auto d = std::find(events.begin(), events.end(), "d" + std::to_string(i));
        auto h = std::find(events.begin(), events.end(), "h" + std::to_string(i));
        EXPECT_LT(d, h);
    }
    EXPECT_EQ(2u, journal.threads.size());
    EXPECT_EQ(0u, journal.threads.count(std::this_thread::get_id()));
    EXPECT_NO_THROW(pipeline.exceptions().rethrow());
    EXPECT_FALSE(stop.isStopped());
}

TEST_F(UpdateParallelizerTest, AFailedDownloadEndsTheBatchAfterHandlingWhatCameBefore) {
    // Pushes beyond what the queue holds do not wait for a batch that has ended.
    for (int i = 1; i <= static_cast<int>(UpdateParallelizer::kQueued) + 10; ++i)
        push(i, i == 3 ? Fault::Download : Fault::None);
    pipeline.finish();
    EXPECT_EQ(numbered('d', 1, 2), journal.only('d'));
    EXPECT_EQ(numbered('h', 1, 2), journal.only('h'));
    EXPECT_FALSE(stop.isStopped()) << "the handler ended normally on the marker";
    try {
        pipeline.exceptions().rethrow();
        FAIL() << "the download failure must be raised";
    } catch (const InternalError& e) {
        EXPECT_EQ("download failed: 3", e.message());
    }
    EXPECT_EQ(1, log.count("Downloader thread exception: Internal error: download failed: 3"));
    EXPECT_EQ(1, log.count("Handler thread stopped"));
}

TEST_F(UpdateParallelizerTest, AFailedHandleStopsTheRunAndKeepsTheFirstFailure) {
    push(1, Fault::Handle);
    push(2, Fault::WaitForStop); // the downloader is busy when the handler fails
    for (int i = 3; i <= 5; ++i)
        push(i);
    pipeline.finish();
    EXPECT_TRUE(stop.isStopped());
    EXPECT_EQ(numbered('d', 1, 1), journal.only('d'));
    EXPECT_TRUE(journal.only('h').empty());
    EXPECT_EQ(1, log.count("Immidiately stop the downloader due to handler thread termination."));
    EXPECT_TRUE(log.contains("Downloader thread exception: Interruption exception"));
    try {
        pipeline.exceptions().rethrow();
        FAIL() << "the handler failure must be raised";
    } catch (const SHA1CheckError& e) {
        EXPECT_EQ(4, e.code());
    }
    EXPECT_NO_THROW(pipeline.exceptions().rethrow()) << "taken out by the first rethrow";
}

TEST_F(UpdateParallelizerTest, NonFrameworkFailuresOfTheHandlerAreKeptByText) {
    push(1, Fault::HandleStd);
    pipeline.finish();
    EXPECT_THROW(pipeline.exceptions().rethrow(), std::runtime_error);

    StopState stop2;
    UpdateParallelizer other(stop2);
    other.push(std::make_shared<TestWrap>(1, journal, stop2, Fault::HandleUnknown));
    other.finish();
    try {
        other.exceptions().rethrow();
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string("unknown exception at: Patcher::UpdateParallelizer::handlerThread"), e.what());
    }
    EXPECT_TRUE(stop2.isStopped());
}

TEST_F(UpdateParallelizerTest, EachBatchStartsAndJoinsItsOwnPairOfThreads) {
    for (int batch = 1; batch <= 3; ++batch) {
        for (int i = 1; i <= 4; ++i)
            push(batch * 10 + i);
        pipeline.finish();
        // finish() returned: both threads of this batch have ended.
        EXPECT_EQ(batch, log.count("Downloader thread started"));
        EXPECT_EQ(batch, log.count("Downloader thread ended"));
        EXPECT_EQ(batch, log.count("Handler thread started"));
        EXPECT_EQ(batch, log.count("Handler thread ended"));
        EXPECT_EQ(static_cast<std::size_t>(batch * 4), journal.only('h').size());
    }
    EXPECT_NO_THROW(pipeline.exceptions().rethrow());
}

// Its first handle() holds until the downloader has to wait (or, with no bound,
// until every item is downloaded): the journal shows how far ahead it ran.
class SizedWrap : public TestWrap {
public:
    SizedWrap(int n, std::int64_t bytes, Journal& journal, StopState& stop, testsupport::LogCapture* holdUntilWait)
        : TestWrap(n, journal, stop), bytes_(bytes), hold_(holdUntilWait), journal_(journal) {}
    std::int64_t aheadBytes() const override { return bytes_; }
    void handle() override {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (hold_ && !hold_->contains("Downloader waits for the handler") && journal_.only('d').size() < 5 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        TestWrap::handle();
    }

private:
    const std::int64_t bytes_;
    testsupport::LogCapture* const hold_;
    Journal& journal_;
};

TEST_F(UpdateParallelizerTest, TheDownloaderRunsNoFurtherAheadThanTheBound) {
    UpdateParallelizer bounded(stop, 100);
    const std::int64_t sizes[] = {60, 30, 30, 10, 500};
    for (int i = 1; i <= 5; ++i)
        bounded.push(std::make_shared<SizedWrap>(i, sizes[i - 1], journal, stop, i == 1 ? &log : nullptr));
    bounded.finish();
    EXPECT_NO_THROW(bounded.exceptions().rethrow());
    EXPECT_EQ(numbered('h', 1, 5), journal.only('h'));
    // Never more than 100 bytes downloaded and not handled, except one item
    // alone (the 500-byte one, fetched once the handler has caught up).
    std::int64_t ahead = 0;
    int pending = 0;
    for (const std::string& e : journal.snapshot()) {
        const std::int64_t bytes = sizes[std::stoi(e.substr(1)) - 1];
        ahead += e[0] == 'd' ? bytes : -bytes;
        pending += e[0] == 'd' ? 1 : -1;
        EXPECT_TRUE(ahead <= 100 || pending == 1) << e << ": " << ahead << " bytes ahead";
    }
    const auto events = journal.snapshot();
    EXPECT_LT(std::find(events.begin(), events.end(), "h1"), std::find(events.begin(), events.end(), "d3"));
}

// Counts the downloads inside download() at once; the first four wait for one
// another, which only downloads running side by side can satisfy.
struct Crowd {
    std::mutex mutex;
    std::condition_variable changed;
    int inside = 0;
    int entered = 0;
    int most = 0;
};

class AlongsideWrap : public TestWrap {
public:
    AlongsideWrap(int n, Journal& journal, StopState& stop, Crowd& crowd, bool alongside, Fault fault = Fault::None)
        : TestWrap(n, journal, stop, fault), crowd_(crowd), alongside_(alongside) {}
    bool downloadsAlongside() const override { return alongside_; }
    void download() override {
        {
            std::unique_lock<std::mutex> lock(crowd_.mutex);
            crowd_.most = std::max(crowd_.most, ++crowd_.inside);
            const int me = ++crowd_.entered;
            crowd_.changed.notify_all();
            if (me <= 4)
                crowd_.changed.wait_for(lock, std::chrono::seconds(20), [&] { return crowd_.entered >= 4; });
            --crowd_.inside;
        }
        TestWrap::download();
    }

private:
    Crowd& crowd_;
    const bool alongside_;
};

TEST_F(UpdateParallelizerTest, ShortDownloadsRunFourAtOnceAndAreHandledInPushOrder) {
    Crowd crowd;
    for (int i = 1; i <= 12; ++i)
        pipeline.push(std::make_shared<AlongsideWrap>(i, journal, stop, crowd, i != 9));
    pipeline.finish();
    EXPECT_NO_THROW(pipeline.exceptions().rethrow());
    EXPECT_EQ(numbered('h', 1, 12), journal.only('h'));
    EXPECT_EQ(4, crowd.most) << "never more than the service's four requests";
    // The one that does not download alongside runs alone, after those before it.
    const auto events = journal.snapshot();
    const auto d9 = std::find(events.begin(), events.end(), "d9");
    for (int i = 1; i <= 8; ++i)
        EXPECT_LT(std::find(events.begin(), events.end(), "d" + std::to_string(i)), d9);
}

// Downloads alongside and lasts until `after` others have been downloaded (or,
// given a log, the downloader holds back), as a slow response does beside quick ones.
class SlowWrap : public TestWrap {
public:
    SlowWrap(int n, Journal& journal, StopState& stop, std::size_t after, Fault fault = Fault::None,
             testsupport::LogCapture* log = nullptr)
        : TestWrap(n, journal, stop, fault), journal_(journal), after_(after), log_(log) {}
    bool downloadsAlongside() const override { return true; }
    void download() override {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (journal_.only('d').size() < after_ && !(log_ && log_->contains("Downloader holds back")) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        TestWrap::download();
    }

private:
    Journal& journal_;
    const std::size_t after_;
    testsupport::LogCapture* const log_;
};

TEST_F(UpdateParallelizerTest, ASlowDownloadHoldsBackNeitherTheOthersNorTheOrder) {
    // The first lasts until ten after it are done: only downloads started as
    // any other ends, not as the oldest does, get that far.
    pipeline.push(std::make_shared<SlowWrap>(1, journal, stop, 10));
    for (int i = 2; i <= 20; ++i)
        pipeline.push(std::make_shared<SlowWrap>(i, journal, stop, 0));
    pipeline.finish();
    EXPECT_NO_THROW(pipeline.exceptions().rethrow());
    const auto downloads = journal.only('d');
    ASSERT_EQ(20u, downloads.size());
    EXPECT_GE(std::find(downloads.begin(), downloads.end(), "d1") - downloads.begin(), 10)
        << "the others waited for the slow one";
    EXPECT_EQ(numbered('h', 1, 20), journal.only('h'));
}

TEST_F(UpdateParallelizerTest, NothingMoreStartsOnceADownloadBesideHasFailed) {
    // The batch ends at the second, so nothing after it is ever handled; the
    // first lasts until the downloader holds back, or all the others are done.
    pipeline.push(std::make_shared<SlowWrap>(1, journal, stop, 58, Fault::None, &log));
    pipeline.push(std::make_shared<SlowWrap>(2, journal, stop, 0, Fault::Download));
    for (int i = 3; i <= 60; ++i)
        pipeline.push(std::make_shared<SlowWrap>(i, journal, stop, 0));
    pipeline.finish();
    EXPECT_EQ(numbered('h', 1, 1), journal.only('h'));
    try {
        pipeline.exceptions().rethrow();
        FAIL() << "the download failure must be raised";
    } catch (const InternalError& e) {
        EXPECT_EQ("download failed: 2", e.message());
    }
    EXPECT_LT(journal.only('d').size(), 30u) << "downloads went on beside a failure";
}

TEST_F(UpdateParallelizerTest, AFailureBesideOthersIsRaisedInItsTurn) {
    Crowd crowd;
    for (int i = 1; i <= 10; ++i)
        pipeline.push(std::make_shared<AlongsideWrap>(i, journal, stop, crowd, true,
                                                      i == 3 ? Fault::Download : Fault::None));
    pipeline.finish();
    EXPECT_EQ(numbered('h', 1, 2), journal.only('h'));
    EXPECT_THROW(pipeline.exceptions().rethrow(), InternalError);
    EXPECT_FALSE(stop.isStopped());
}

TEST_F(UpdateParallelizerTest, AFailedHandleEndsTheDownloadsInFlight) {
    Crowd crowd;
    pipeline.push(std::make_shared<AlongsideWrap>(1, journal, stop, crowd, true, Fault::Handle));
    for (int i = 2; i <= 8; ++i)
        pipeline.push(std::make_shared<AlongsideWrap>(i, journal, stop, crowd, true, Fault::WaitForStop));
    pipeline.finish();
    // Each fetch beside it saw the stop; one left to its own end would say so.
    EXPECT_TRUE(log.contains("Downloader thread exception: Interruption exception"));
    EXPECT_FALSE(log.contains("the stop never arrived"));
    EXPECT_EQ(numbered('d', 1, 1), journal.only('d'));
    EXPECT_THROW(pipeline.exceptions().rethrow(), SHA1CheckError);
}
