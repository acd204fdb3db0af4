#include "ravel/GDownloader.h"
#include "tests/ravel/RavelTestUtil.h"
#include "tests/support/FaultServer.h"
#include "tests/support/TempDir.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

using testsupport::FaultServer;
using Fault = FaultServer::Fault;

namespace {

constexpr std::int64_t kSize = 300000;

struct Scenario {
    const char* name;
    Fault fault;
    int times;          // -1: every request
    std::int64_t param;
    bool whole;         // whole download (header request first) instead of a range
    const char* error;  // expected DlError message; null: a byte-exact file
    int code;
};

// Every misbehaviour ends with a byte-exact file (after retries and resumption)
// or with the error of the last attempt, never with wrong bytes reported as a
// success. Those the updater meets end to end (a drop, a 200 for a range, a
// burst of 503, chunked ranges, 404) are its tests'.
const Scenario kScenarios[] = {
    {"drop always", Fault::DropAfterBytes, -1, 1000, false, "Download interrupted remotely", 0},
    {"range as full, whole", Fault::RangeAsFull, -1, 0, true, nullptr, 0},
    {"wrong length", Fault::WrongLength, -1, 7, false,
     "RAVEL library error: Partial content response length 75007 differs from request length 75000", 0},
    {"no length", Fault::NoContentLength, -1, 0, false,
     "RAVEL library error: Partial content response length 0 differs from request length 75000", 0},
    {"no length, whole", Fault::NoContentLength, -1, 0, true,
     "Protocol error: HTTP header Content-Length is missing in the response", 0},
    {"garbage once", Fault::Garbage, 1, 0, false, nullptr, 0},
    {"garbage always", Fault::Garbage, -1, 0, true,
     "Protocol error: Invalid response: ??garbage-instead-of-a-status-line", 0},
    {"stall once", Fault::Stall, 1, 0, false, nullptr, 0},
    {"stall always", Fault::Stall, -1, 0, false, "Timeout: No data from 127.0.0.1", 0},
    {"500", Fault::Status500, -1, 0, false, "Protocol error: Internal Server Error", 500},
    {"503 always, whole", Fault::Status503, -1, 0, true, "Protocol error: Service Unavailable", 503},
    {"redirect to failing", Fault::RedirectToFailing, -1, 0, true, "Connection refused: 127.0.0.1:", 111},
    {"redirect for a range", Fault::RedirectToFailing, -1, 0, false, "Connection refused: 127.0.0.1:", 111},
    {"close on accept once", Fault::CloseOnAccept, 1, 0, false, nullptr, 0},
    {"chunked, whole", Fault::Chunked, -1, 0, true, nullptr, 0},
    {"chunked whole body for a range", Fault::Chunked, -1, 1, false, nullptr, 0},
    {"negative length", Fault::NegativeLength, -1, 0, true,
     "Protocol error: HTTP header Content-Length has invalid value: '-1'.", 0},
    {"long body", Fault::LongBody, -1, 100, false, nullptr, 0},
};

} // namespace

TEST(FaultScenarioTest, EveryScenarioEndsByteExactOrWithTheLastAttemptsError) {
    DlServiceOptions options;
    options.timeout = Poco::Timespan(0, 200000);
    options.retry.firstDelayMs = 1;
    options.retry.maxDelayMs = 4;
    GDownloader downloader(options);
    downloader.setConnections(4);
    testsupport::TempDir dir;
    int n = 0;
    for (const Scenario& s : kScenarios) {
        SCOPED_TRACE(s.name);
        FaultServer server(raveltest::pattern(kSize));
        server.setStallMs(1000);
        server.setFault(s.fault, s.times, s.param);
        const std::string path = dir.file("out" + std::to_string(n++));
        try {
            if (s.whole)
                EXPECT_EQ(kSize, downloader.download(server.url(), path));
            else
                downloader.download(server.url(), path, 0, kSize);
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
