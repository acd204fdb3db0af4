#include "base/CmdHandler.h"
#include "ravel/GDownloader.h"
#include "ravel/Metadata.h"
#include "tests/ravel/RavelTestUtil.h"
#include "tests/support/FaultServer.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

#include <Poco/File.h>
#include <Poco/Net/ServerSocket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

using testsupport::FaultServer;
using Fault = FaultServer::Fault;

namespace {

// Sums what a request reports; the hooks run for each block and at its end.
class Progress : public DlEventObserver {
public:
    void onSuccess(int, const DlRequestInfo&) override { ended(); }
    void onError(int, const DlError& error, const DlRequestInfo&) override {
        lastErrorCode = error.code();
        ++errors;
        ended();
    }
    void onProgress(int, const DlProgress& progress) override {
        if (!progress.first)
            chunks += progress.chunk;
        hook(progress);
    }
    std::atomic<int> errors{0}, lastErrorCode{0};
    std::atomic<std::int64_t> chunks{0};
    std::function<void(const DlProgress&)> hook = [](const DlProgress&) {};
    std::function<void()> ended = [] {};
};

DlError errorOf(const std::function<void()>& run) { return raveltest::thrown<DlError>(run); }

DlServiceOptions quickOptions(int timeoutMs = 2000) {
    DlServiceOptions options;
    options.timeout = Poco::Timespan(0, timeoutMs * 1000);
    options.retry.firstDelayMs = 1;
    options.retry.maxDelayMs = 4;
    return options;
}

class GDownloaderTest : public ::testing::Test {
protected:
    GDownloaderTest()
        : server_(raveltest::pattern(200000)), downloader_(quickOptions(5000)), path_(dir_.file("out.bin")) {}

    std::multiset<std::string> gets() {
        std::multiset<std::string> ranges;
        for (const auto& request : server_.requests())
            if (request.method == "GET")
                ranges.insert(request.range);
        return ranges;
    }
    std::string content(std::int64_t offset = 0, std::int64_t size = -1) const {
        return server_.content().substr(offset, size < 0 ? std::string::npos : static_cast<std::size_t>(size));
    }
    std::string file() const { return testsupport::readFile(path_); }

    testsupport::TempDir dir_;
    FaultServer server_;
    GDownloader downloader_;
    const std::string path_;
};

} // namespace

TEST_F(GDownloaderTest, SplitsRequestsIntoSegmentsOfAtLeastTheMinimum) {
    struct Case {
        std::int64_t offset, size;
        int connections, minSegment;
        std::multiset<std::string> ranges;
    };
    const Case cases[] = {
        {0, 10, 4, 4096, {"bytes=0-9"}},
        {0, 10000, 4, 4096, {"bytes=0-4095", "bytes=4096-8191", "bytes=8192-9999"}},
        {0, 16384, 4, 4096, {"bytes=0-4095", "bytes=4096-8191", "bytes=8192-12287", "bytes=12288-16383"}},
        {1000, 5000, 2, 1000, {"bytes=1000-3499", "bytes=3500-5999"}},
        {700, 0, 4, 4096, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const std::size_t before = server_.requests().size();
        DlSettings settings;
        settings.connectionsPerFile = c.connections;
        settings.minSegmentSize = c.minSegment;
        downloader_.download(server_.url(), path_, c.offset, c.size, nullptr, &settings);
        std::multiset<std::string> ranges;
        auto requests = server_.requests();
        for (std::size_t i = before; i < requests.size(); ++i)
            ranges.insert(requests[i].range);
        EXPECT_EQ(c.ranges, ranges);
        EXPECT_EQ(content(c.offset, c.size), file());
        EXPECT_FALSE(Poco::File(path_ + ".downloading#").exists());
    }
}

// A range answered by a (relative) redirect is fetched from the chain's end; a
// loop or a chain longer than five hops fails at once, naming it.
TEST_F(GDownloaderTest, RedirectChainsAreFollowedUpToFiveHops) {
    downloader_.download(server_.url("/hop/2/file"), path_, 1000, 5000);
    EXPECT_EQ(content(1000, 5000), file());

    const std::size_t before = server_.requests().size();
    const std::string loop = server_.url("/loop/file");
    EXPECT_EQ("Protocol error: Redirect loop: " + loop + " -> " + loop,
              errorOf([&] { downloader_.download(loop, path_); }).message());
    EXPECT_EQ(before + 1, server_.requests().size()); // not retried
    const std::string text = errorOf([&] { downloader_.download(server_.url("/hop/6/file"), path_); }).message();
    EXPECT_EQ(0u, text.find("Protocol error: Too many redirects: " + server_.url("/hop/6/file") + " -> " +
                            server_.url("/hop/5/file")))
        << text;
    EXPECT_NE(std::string::npos, text.find(server_.url("/hop/1/file"))) << text;
}

TEST_F(GDownloaderTest, ConditionalDownloadSkipsAnUnmodifiedResource) {
    std::string lastModified = "Wed, 21 Oct 2015 07:28:00 GMT";
    downloader_.downloadIfModified(server_.url(), path_, lastModified);
    EXPECT_EQ("Wed, 21 Oct 2015 07:28:00 GMT", lastModified);
    EXPECT_TRUE(gets().empty());
    EXPECT_FALSE(Poco::File(path_).exists());

    server_.setLastModified("Thu, 22 Oct 2015 07:28:00 GMT");
    downloader_.downloadIfModified(server_.url(), path_, lastModified);
    EXPECT_EQ("Thu, 22 Oct 2015 07:28:00 GMT", lastModified);
    EXPECT_EQ(content(), file());
}

TEST_F(GDownloaderTest, ConnectionCountBelowOneIsRefused) {
    downloader_.setConnections(2);
    EXPECT_STREQ("Connection count should be greater then 0",
                 raveltest::thrown<std::invalid_argument>([&] { downloader_.setConnections(0); }).what());
    EXPECT_EQ(2, downloader_.settings().connectionsPerFile);
}

TEST_F(GDownloaderTest, ARefusalThatLastsFailsWithTheServersMessageAfterTenAttempts) {
    server_.setFault(Fault::Status503);
    DlError error = errorOf([&] { downloader_.download(server_.url(), path_, 0, 1000); });
    EXPECT_EQ("Download error: Protocol error: Service Unavailable", error.displayText());
    EXPECT_EQ(503, error.code());
    EXPECT_EQ(10u, gets().size()); // no second try on the same connection
}

// The pause before a retry honours Retry-After up to the policy's cap, and a
// request stops retrying once its retry time is spent.
TEST(RetryPolicyTest, RetryAfterIsHonouredAndTheRetryTimeBounded) {
    testsupport::TempDir dir;
    FaultServer server(raveltest::pattern(1000));
    DlServiceOptions options = quickOptions();
    options.retry.retryAfterMaxMs = 300;
    {
        GDownloader downloader(options);
        server.setFault(Fault::Status503, 2, 3600);
        const auto start = std::chrono::steady_clock::now();
        downloader.download(server.url(), dir.file("a"), 0, 1000);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
        EXPECT_EQ(server.content(), testsupport::readFile(dir.file("a")));
    }
    options.retry.firstDelayMs = options.retry.maxDelayMs = 100;
    options.retry.retryTimeMs = 250;
    GDownloader downloader(options);
    server.setFault(Fault::Status503);
    const std::size_t before = server.requests().size();
    const std::string text = errorOf([&] { downloader.download(server.url(), dir.file("b"), 0, 1000); }).message();
    EXPECT_NE(std::string::npos, text.find("Service Unavailable (no more attempts after")) << text;
    const std::size_t attempts = server.requests().size() - before;
    EXPECT_GE(attempts, 3u);
    EXPECT_LE(attempts, 6u); // pauses of 50 to 100 ms within 250 ms
}

TEST_F(GDownloaderTest, DropMidSegmentResumesAfterTheDeliveredBytes) {
    GDownloader downloader; // 512 KiB blocks
    FaultServer server(raveltest::pattern(3 * 524288));
    server.setFault(Fault::DropAfterBytes, 1, 524288 + 1000);
    downloader.setConnections(1);
    downloader.download(server.url(), path_, 0, 3 * 524288);
    std::vector<std::string> ranges;
    for (const auto& request : server.requests())
        ranges.push_back(request.range);
    // The bytes past the last whole block are kept too.
    EXPECT_EQ((std::vector<std::string>{"bytes=0-1572863", "bytes=525288-1572863"}), ranges);
    EXPECT_EQ(server.content(), file());
}

TEST_F(GDownloaderTest, UnwritableDestinationFailsWithTheFileError) {
    DlError error = errorOf([&] { downloader_.download(server_.url(), dir_.file("missing/dir/out.bin"), 0, 100); });
    EXPECT_EQ("File access error: Failed to create file: " + dir_.file("missing/dir/out.bin") +
                  ": No such file or directory",
              error.message());
    EXPECT_EQ(ENOENT, error.code());
    EXPECT_TRUE(gets().empty());
}

TEST_F(GDownloaderTest, FifthRequestWaitsUntilOneOfFourRunningEnds) {
    // The first four transfers stall; a fifth may start only once one of them
    // is over, so its request reaches the server after a stall has ended.
    server_.setStallMs(300);
    server_.setFault(Fault::Stall, 4);
    downloader_.setConnections(1);
    std::vector<std::thread> callers;
    for (int i = 0; i < 5; ++i) {
        callers.emplace_back(
            [&, i] { downloader_.download(server_.url(), dir_.file("f" + std::to_string(i)), i * 1000, 1000); });
        // Let the first four arrive before the fifth is queued.
        if (i < 4)
            raveltest::eventually([&] { return server_.requests().size() > static_cast<std::size_t>(i); });
    }
    for (auto& caller : callers)
        caller.join(); // a DlError would end the test
    int stalled = 0;
    for (const auto& request : server_.requests()) {
        stalled += request.faulted;
        if (request.faulted || request.range == "bytes=4000-4999") { // the fifth came after a stall ended
            EXPECT_EQ(request.faulted, request.stallsEndedBefore == 0) << request.range;
        }
    }
    EXPECT_EQ(4, stalled);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(content(i * 1000, 1000), testsupport::readFile(dir_.file("f" + std::to_string(i))));
}

TEST_F(GDownloaderTest, ShutdownFailsRunningQueuedAndLaterRequestsWith70001) {
    // Four transfers stall; the fifth request sits in the queue, held by it
    // alone, when the service shuts down.
    server_.setStallMs(1500);
    server_.setFault(Fault::Stall, 4);
    auto service = std::make_shared<ImplDetail>(nullptr, quickOptions(5000));
    std::vector<std::thread> callers;
    std::vector<int> codes(5, 0);
    for (int i = 0; i < 5; ++i) {
        callers.emplace_back([&, i] {
            DlSpy spy;
            DlSettings settings;
            settings.connectionsPerFile = 1;
            service->download(server_.url(), dir_.file("f" + std::to_string(i)), i * 1000, 1000, i + 1, &spy,
                              settings);
            codes[static_cast<std::size_t>(i)] = errorOf([&] { spy.rethrow(); }).code();
        });
    }
    raveltest::eventually([&] { return server_.requests().size() >= 4 && service->liveRequests() >= 5; });
    ASSERT_EQ(4u, server_.requests().size());
    auto shutdown = std::async(std::launch::async, [&] {
        service->shutdown();
        for (auto& caller : callers)
            caller.join();
    });
    if (shutdown.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        std::fprintf(stderr, "the service's shutdown hangs\n");
        std::abort(); // a hang cannot be bounded from inside the process: give up loudly
    }
    EXPECT_EQ(std::vector<int>(5, 70001), codes);
    std::set<std::string> started;
    for (const auto& request : server_.requests())
        started.insert(request.range);
    EXPECT_EQ(4u, started.size()) << "the queued request was started";
    EXPECT_EQ(0, service->liveRequests());

    // A request after the shutdown fails at once and is never started.
    const std::size_t asked = server_.requests().size();
    DlSpy spy;
    service->download(server_.url(), dir_.file("late"), 0, 100, 9, &spy, DlSettings());
    const DlError late = errorOf([&] { spy.rethrow(); });
    EXPECT_EQ("Downloader shut down has been requested", late.message());
    EXPECT_EQ(70001, late.code());
    EXPECT_EQ(asked, server_.requests().size());
    EXPECT_EQ(0, service->liveRequests());
}

// A stop ends the request at once wherever it waits: on a slow link (its bytes
// are handed on in small blocks, not once a 512 KiB block has filled), on a
// host that drops the connection attempt (its accept queue is full), and in the
// handshake with a TLS server that accepts and then says nothing; never only at
// the 20 s timeout.
TEST_F(GDownloaderTest, StopEndsTheRequestWhereverItWaits) {
    using namespace Poco::Net;
    auto drip = std::make_unique<FaultServer>(raveltest::pattern(2 * 524288));
    drip->setFault(Fault::Drip);
    drip->setStallMs(5);
    ServerSocket full(SocketAddress("127.0.0.1", 0), 0);
    StreamSocket filler(full.address()); // the only place in its queue
    ServerSocket silent(SocketAddress("127.0.0.1", 0));
    StreamSocket accepted;
    testsupport::LogCapture sessions("ravel.Session");
    testsupport::LogCapture segments("ravel.Segment");
    Progress progress;
    const struct {
        std::string url, stopped;
        std::function<bool()> waiting;
    } cases[] = {
        {drip->url(), "", [&] { return progress.chunks > 0; }},
        {"http://" + full.address().toString() + "/file", "Stopped while connecting to " + full.address().toString(),
         [&] { return sessions.contains("connecting..."); }},
        {"https://" + silent.address().toString() + "/file",
         "Stopped during the TLS handshake with " + silent.address().toString(),
         [&] {
             if (!accepted.impl()->initialized() && silent.poll(Poco::Timespan(0), Socket::SELECT_READ))
                 accepted = silent.acceptConnection();
             return accepted.impl()->initialized() && accepted.available() > 0; // the client's hello
         }},
    };
    DlServiceOptions options = quickOptions(20000);
    options.lowSpeed.rate = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        Patcher::StopState stop;
        GDownloader downloader(options);
        downloader.setStopState(&stop);
        downloader.setConnections(1);
        auto run = std::async(std::launch::async, [&] {
            return errorOf([&] { downloader.download(c.url, path_, 0, 2 * 524288, &progress); }).code();
        });
        EXPECT_TRUE(raveltest::eventually(c.waiting));
        stop.stop();
        const bool ended = run.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        EXPECT_TRUE(ended) << "the stop waited for a block to fill or for the timeout";
        if (!ended)
            drip.reset(); // ends the drip so that the run can return
        EXPECT_EQ(70001, run.get());
        EXPECT_TRUE(segments.contains(c.stopped));
        sessions.clear();
    }
    EXPECT_LT(progress.chunks, 524288);
}

// A pause is the player's, not the server's: it must not trip the low-speed
// rule, and it holds the segments until a resume. The service may also go away
// while the run is paused (the engine ends on another failure): the paused
// segment must not hold its shutdown until a resume.
TEST_F(GDownloaderTest, PausedRunHoldsTheSegmentsUntilResumedOrShutDown) {
    FaultServer server(raveltest::pattern(4 * 524288));
    DlServiceOptions options = quickOptions();
    // Met by loopback even under a sanitizer on a loaded machine, not by a pause
    // longer than the window.
    options.lowSpeed = {64 << 10, Poco::Timespan(0, 500000)};
    for (const bool resumed : {true, false}) {
        SCOPED_TRACE(resumed ? "resumed" : "shut down");
        Patcher::StopState state;
        auto service = std::make_shared<ImplDetail>(&state, options);
        std::once_flag once;
        std::atomic<bool> paused{false};
        Progress progress;
        progress.hook = [&](const DlProgress& p) {
            if (!p.first)
                std::call_once(once, [&] { state.pause(), paused = true; });
        };
        const std::size_t before = server.requests().size();
        std::thread caller([&] {
            DlSettings settings;
            settings.connectionsPerFile = resumed ? 2 : 1;
            service->download(server.url(), path_ + (resumed ? "" : "2"), 0, 4 * 524288, 1, &progress, settings);
        });
        ASSERT_TRUE(raveltest::eventually([&] { return paused.load(); }));
        if (resumed) {
            std::this_thread::sleep_for(std::chrono::milliseconds(800));
            state.resume();
            caller.join();
            EXPECT_EQ(0, progress.errors);
            EXPECT_EQ(before + 2, server.requests().size()) << "a segment was dropped after the pause";
            EXPECT_EQ(4 * 524288, progress.chunks);
            EXPECT_EQ(server.content(), file());
            continue;
        }
        auto shutdown = std::async(std::launch::async, [&] { service->shutdown(); });
        const bool ended = shutdown.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        if (!ended)
            state.resume(); // release the segment so the test can end
        shutdown.get();
        caller.join();
        EXPECT_TRUE(ended) << "the shutdown waited for the paused segment";
        EXPECT_EQ(1, progress.errors);
        EXPECT_EQ(70001, progress.lastErrorCode);
        EXPECT_EQ(524288, progress.chunks); // nothing after the pause was counted
        EXPECT_EQ(0, service->liveRequests());
    }
}

// Every misbehaviour ends with a byte-exact file (after retries and resumption)
// or with the error of the last attempt, never with wrong bytes reported as a
// success. Those the updater meets end to end (a drop, a 200 for a range, a
// burst of 503 or a 404, chunked) are its tests', and the framing the
// HTTP session refuses is the framing tests'.
TEST(FaultScenarioTest, EveryScenarioEndsByteExactOrWithTheLastAttemptsError) {
    const struct Scenario {
        const char* name;
        Fault fault;
        int times;          // -1: every request
        std::int64_t param;
        bool whole;         // whole download (header request first) instead of a range
        const char* error;  // expected DlError message; null: a byte-exact file
        int code;
    } kScenarios[] = {
        {"drop always", Fault::DropAfterBytes, -1, 1000, false, "Download interrupted remotely", 0},
        {"no length, whole", Fault::NoContentLength, -1, 0, true,
         "Protocol error: HTTP header Content-Length is missing in the response", 0},
        {"stall once", Fault::Stall, 1, 0, false, nullptr, 0},
        {"stall always", Fault::Stall, -1, 0, false, "Timeout: No data from 127.0.0.1", 0},
        {"redirect to failing", Fault::RedirectToFailing, -1, 0, true, "Connection refused: 127.0.0.1:", 111},
        {"redirect for a range", Fault::RedirectToFailing, -1, 0, false, "Connection refused: 127.0.0.1:", 111},
        {"close on accept once", Fault::CloseOnAccept, 1, 0, false, nullptr, 0},
        {"chunked whole body for a range", Fault::Chunked, -1, 1, false, nullptr, 0},
    };
    GDownloader downloader(quickOptions(200));
    downloader.setConnections(4);
    testsupport::TempDir dir;
    int n = 0;
    for (const Scenario& s : kScenarios) {
        SCOPED_TRACE(s.name);
        FaultServer server(raveltest::pattern(300000));
        server.setStallMs(1000);
        server.setFault(s.fault, s.times, s.param);
        const std::string path = dir.file("out" + std::to_string(n++));
        try {
            if (s.whole)
                EXPECT_EQ(300000, downloader.download(server.url(), path));
            else
                downloader.download(server.url(), path, 0, 300000);
            EXPECT_EQ(nullptr, s.error) << "succeeded";
            EXPECT_EQ(server.content(), testsupport::readFile(path));
            EXPECT_FALSE(Poco::File(path + ".downloading#").exists());
        } catch (const DlError& error) {
            ASSERT_NE(nullptr, s.error) << error.displayText();
            EXPECT_EQ(0u, error.message().find(s.error)) << error.message();
            EXPECT_EQ(s.code, error.code());
        }
        // Bounded: ten attempts, each at most twice per segment (plus header
        // requests for a whole download).
        EXPECT_LE(server.requests().size(), 4u * 10 * 2 + 10 * 4);
    }
}

// A request that the service does not hold itself (here: the test's) ends by
// calling back into the service; destroying the service meanwhile must wait
// for it rather than leave it a dangling owner.
TEST(ServiceLifetimeTest, DestructionWaitsForARequestThatOutlivesTheShutdown) {
    testsupport::LogCapture log("ravel.Main");
    std::atomic<bool> destroyed{false};
    std::atomic<bool> reportedAfterDestruction{true};
    Progress observer;
    observer.ended = [&] { reportedAfterDestruction = destroyed.load(); };
    auto* service = new ImplDetail();
    auto request = std::make_shared<DlRequest>(service, 7, "http://127.0.0.1:9/file", "unused", 0, 10, &observer,
                                               DlSettings(), false);
    ASSERT_EQ(1, service->liveRequests());

    std::thread destroyer([&] {
        delete service;
        destroyed = true;
    });
    ASSERT_TRUE(raveltest::eventually([&] { return log.contains("Waiting for 1 download requests and 0 callers"); }));
    // The destructor is blocked on the request: it cannot have finished.
    EXPECT_FALSE(destroyed.load());
    request.reset(); // ends the request: it reports, then tells the service
    destroyer.join();
    EXPECT_TRUE(destroyed.load());
    EXPECT_FALSE(reportedAfterDestruction.load());
}

// The spy holds what a download call raises: the first error, kept even when
// the observer it forwards to throws. Forwarded progress, sizes and dates are
// the downloader tests'.
TEST(DlEventObserverTest, SpyKeepsTheFirstErrorEvenWhenItsObserverThrows) {
    Progress forward;
    DlSpy spy(&forward);
    DlRequestInfo info;
    spy.onError(1, DlError("first", 500), info);
    spy.onError(1, DlError("second", 70001), info);
    EXPECT_EQ(2, forward.errors);
    const DlError kept = errorOf([&] { spy.rethrow(); });
    EXPECT_EQ("first", kept.message());
    EXPECT_EQ(500, kept.code());

    DlSpy throwing(&forward);
    forward.ended = [] { throw std::runtime_error("observer failed"); };
    EXPECT_THROW(throwing.onError(3, DlError("failed", 7), info), std::runtime_error);
    EXPECT_THROW(throwing.rethrow(), DlError);
}
