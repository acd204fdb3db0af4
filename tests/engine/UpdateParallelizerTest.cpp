#include "engine/UpdateParallelizer.h"

#include "base/CmdHandler.h"
#include "base/Errors.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
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
    // Whether event a came before event b.
    bool before(const std::string& a, const std::string& b) {
        const auto events = snapshot();
        return std::find(events.begin(), events.end(), a) < std::find(events.begin(), events.end(), b);
    }
    std::mutex mutex;
    std::vector<std::string> events;
    std::set<std::thread::id> threads;
};

// Polls until done() holds or `seconds` pass.
void waitUntil(const std::function<bool()>& done, int seconds = 20) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

enum class Fault { None, Download, Handle, HandleStd, HandleUnknown, WaitForStop };

struct Item {
    int n;
    Fault fault = Fault::None;
    bool alongside = false;
    std::int64_t bytes = 0; // ahead bytes
    std::function<void()> beforeDownload = nullptr, beforeHandle = nullptr;
};

class TestWrap : public Wrap {
public:
    TestWrap(Item item, Journal& journal, StopState& stop) : item_(std::move(item)), journal_(journal), stop_(stop) {}

    bool isNeeded() override { return true; }
    std::int64_t aheadBytes() const override { return item_.bytes; }
    bool downloadsAlongside() const override { return item_.alongside; }

    void download() override {
        if (item_.beforeDownload)
            item_.beforeDownload();
        if (item_.fault == Fault::WaitForStop) {
            // Busy until the run is stopped, polling like a real download does.
            waitUntil([this] { return stop_.check(), false; }, 10);
            throw std::runtime_error("the stop never arrived");
        }
        if (item_.fault == Fault::Download)
            throw InternalError("download failed", std::to_string(item_.n), kInternalErrorCode);
        journal_.add("d" + std::to_string(item_.n));
    }

    void handle() override {
        if (item_.beforeHandle)
            item_.beforeHandle();
        if (item_.fault == Fault::Handle)
            throw SHA1CheckError("SHA1 mismatch", std::to_string(item_.n), kSHA1CheckErrorCode);
        if (item_.fault == Fault::HandleStd)
            throw std::out_of_range("index");
        if (item_.fault == Fault::HandleUnknown)
            throw 42;
        journal_.add("h" + std::to_string(item_.n));
    }

private:
    const Item item_;
    Journal& journal_;
    StopState& stop_;
};

// Counts the downloads inside download() at once; the first four wait for one
// another, which only downloads running side by side can satisfy.
struct Crowd {
    void enter() {
        std::unique_lock<std::mutex> lock(mutex);
        most = std::max(most, ++inside);
        const int me = ++entered;
        changed.notify_all();
        if (me <= 4)
            changed.wait_for(lock, std::chrono::seconds(20), [&] { return entered >= 4; });
        --inside;
    }
    std::mutex mutex;
    std::condition_variable changed;
    int inside = 0;
    int entered = 0;
    int most = 0;
};

std::vector<std::string> numbered(char kind, int from, int to) {
    std::vector<std::string> out;
    for (int i = from; i <= to; ++i)
        out.push_back(kind + std::to_string(i));
    return out;
}

// What the pipeline raises, as "class code: message" (std exceptions as
// "std: what"); empty when nothing.
std::string raised(UpdateParallelizer& pipeline) {
    try {
        pipeline.exceptions().rethrow();
    } catch (const Poco::Exception& e) {
        return std::string(e.className()) + " " + std::to_string(e.code()) + ": " + e.message();
    } catch (const std::exception& e) {
        return std::string("std: ") + e.what();
    }
    return "";
}

class UpdateParallelizerTest : public ::testing::Test {
protected:
    void push(Item item, UpdateParallelizer* to = nullptr) {
        (to ? *to : pipeline).push(std::make_shared<TestWrap>(std::move(item), journal, stop));
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
        push({i});
    pipeline.finish();
    EXPECT_EQ(numbered('d', 1, count), journal.only('d'));
    EXPECT_EQ(numbered('h', 1, count), journal.only('h'));
    for (int i = 1; i <= 50; ++i)
        EXPECT_TRUE(journal.before("d" + std::to_string(i), "h" + std::to_string(i)));
    EXPECT_EQ(2u, journal.threads.size());
    EXPECT_EQ(0u, journal.threads.count(std::this_thread::get_id()));
    EXPECT_EQ("", raised(pipeline));
    EXPECT_FALSE(stop.isStopped());
}

TEST_F(UpdateParallelizerTest, AFailedDownloadEndsTheBatchAfterHandlingWhatCameBefore) {
    // Pushes beyond what the queue holds do not wait for a batch that has ended.
    for (int i = 1; i <= static_cast<int>(UpdateParallelizer::kQueued) + 10; ++i)
        push({i, i == 3 ? Fault::Download : Fault::None});
    pipeline.finish();
    EXPECT_EQ(numbered('d', 1, 2), journal.only('d'));
    EXPECT_EQ(numbered('h', 1, 2), journal.only('h'));
    EXPECT_FALSE(stop.isStopped()) << "the handler ended normally on the marker";
    EXPECT_EQ("Patcher::InternalError 3: download failed: 3", raised(pipeline));
    EXPECT_EQ(1, log.count("Downloader thread exception: Internal error: download failed: 3"));
    EXPECT_EQ(1, log.count("Handler thread stopped"));
}

TEST_F(UpdateParallelizerTest, AFailedHandleStopsTheRunAndKeepsTheFirstFailure) {
    push({1, Fault::Handle});
    push({2, Fault::WaitForStop}); // the downloader is busy when the handler fails
    for (int i = 3; i <= 5; ++i)
        push({i});
    pipeline.finish();
    EXPECT_TRUE(stop.isStopped());
    EXPECT_EQ(numbered('d', 1, 1), journal.only('d'));
    EXPECT_TRUE(journal.only('h').empty());
    EXPECT_EQ(1, log.count("Immidiately stop the downloader due to handler thread termination."));
    EXPECT_TRUE(log.contains("Downloader thread exception: Interruption exception"));
    EXPECT_EQ("Patcher::SHA1CheckError 4: SHA1 mismatch: 1", raised(pipeline));
    EXPECT_EQ("", raised(pipeline)) << "taken out by the first rethrow";
}

TEST_F(UpdateParallelizerTest, NonFrameworkFailuresOfTheHandlerAreKeptByText) {
    for (const auto& c : {std::make_pair(Fault::HandleStd, "std: index"),
                          std::make_pair(Fault::HandleUnknown,
                                         "std: unknown exception at: Patcher::UpdateParallelizer::handlerThread")}) {
        StopState stopped;
        UpdateParallelizer other(stopped);
        push({1, c.first}, &other);
        other.finish();
        EXPECT_EQ(c.second, raised(other));
        EXPECT_TRUE(stopped.isStopped());
    }
}

TEST_F(UpdateParallelizerTest, TheDownloaderRunsNoFurtherAheadThanTheBound) {
    UpdateParallelizer bounded(stop, 100);
    const std::int64_t sizes[] = {60, 30, 30, 10, 500};
    // The first handle() holds until the downloader has to wait (or, with no
    // bound, until every item is downloaded): the journal shows how far ahead it ran.
    push({1, Fault::None, false, sizes[0], nullptr,
          [this] {
              waitUntil([this] {
                  return log.contains("Downloader waits for the handler") || journal.only('d').size() >= 5;
              });
          }},
         &bounded);
    for (int i = 2; i <= 5; ++i)
        push({i, Fault::None, false, sizes[i - 1]}, &bounded);
    bounded.finish();
    EXPECT_EQ("", raised(bounded));
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
    EXPECT_TRUE(journal.before("h1", "d3"));
}

TEST_F(UpdateParallelizerTest, ShortDownloadsRunFourAtOnceAndAreHandledInPushOrder) {
    Crowd crowd;
    for (int i = 1; i <= 12; ++i)
        push({i, Fault::None, i != 9, 0, [&crowd] { crowd.enter(); }});
    pipeline.finish();
    EXPECT_EQ("", raised(pipeline));
    EXPECT_EQ(numbered('h', 1, 12), journal.only('h'));
    EXPECT_EQ(4, crowd.most) << "never more than the service's four requests";
    // The one that does not download alongside runs alone, after those before it.
    for (int i = 1; i <= 8; ++i)
        EXPECT_TRUE(journal.before("d" + std::to_string(i), "d9"));
}

TEST_F(UpdateParallelizerTest, ASlowDownloadHoldsBackNeitherTheOthersNorTheOrder) {
    // The first lasts until ten after it are done: only downloads started as
    // any other ends, not as the oldest does, get that far.
    push({1, Fault::None, true, 0, [this] { waitUntil([this] { return journal.only('d').size() >= 10; }); }});
    for (int i = 2; i <= 20; ++i)
        push({i, Fault::None, true});
    pipeline.finish();
    EXPECT_EQ("", raised(pipeline));
    const auto downloads = journal.only('d');
    ASSERT_EQ(20u, downloads.size());
    EXPECT_GE(std::find(downloads.begin(), downloads.end(), "d1") - downloads.begin(), 10)
        << "the others waited for the slow one";
    EXPECT_EQ(numbered('h', 1, 20), journal.only('h'));
}

TEST_F(UpdateParallelizerTest, NothingMoreStartsOnceADownloadBesideHasFailed) {
    // The batch ends at the second, so nothing after it is ever handled; the
    // first lasts until the downloader holds back, or all the others are done.
    push({1, Fault::None, true, 0, [this] {
              waitUntil([this] { return journal.only('d').size() >= 58 || log.contains("Downloader holds back"); });
          }});
    push({2, Fault::Download, true});
    for (int i = 3; i <= 60; ++i)
        push({i, Fault::None, true});
    pipeline.finish();
    EXPECT_EQ(numbered('h', 1, 1), journal.only('h'));
    EXPECT_EQ("Patcher::InternalError 3: download failed: 2", raised(pipeline));
    EXPECT_LT(journal.only('d').size(), 30u) << "downloads went on beside a failure";
    EXPECT_FALSE(stop.isStopped());
}
