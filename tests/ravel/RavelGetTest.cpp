#include "tests/ravel/RavelTestUtil.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FaultServer.h"
#include "tests/support/TempDir.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

#include <csignal>

using testsupport::FaultServer;
using testsupport::RunResult;

namespace {

RunResult ravelGet(const std::vector<std::string>& args) {
    return testsupport::runProgram(testsupport::buildDir() + "tools/ravel-get/ravel-get", args, {}, 60000);
}

} // namespace

TEST(RavelGetTest, FailureExitsNonZeroWithTheErrorText) {
    FaultServer server(raveltest::pattern(1000));
    server.setFault(FaultServer::Fault::Status503);
    testsupport::TempDir dir;
    RunResult failed = ravelGet({server.url(), dir.file("out"), "--retry-delay", "1"});
    EXPECT_EQ(1, failed.code);
    EXPECT_NE(std::string::npos, failed.err.find("Download error: Protocol error: Service Unavailable (code 503)"))
        << failed.err;

    RunResult refused = ravelGet({"ftp://127.0.0.1/x", dir.file("out")});
    EXPECT_EQ(1, refused.code);
    EXPECT_NE(std::string::npos, refused.err.find("Unsupported protocol: ftp")) << refused.err;
}

TEST(RavelGetTest, UsageErrorsExitWithTwo) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {},
             {"http://127.0.0.1/x"},
             {"http://127.0.0.1/x", "out", "--offset", "10"},
             {"http://127.0.0.1/x", "out", "--connections", "0"},
             {"http://127.0.0.1/x", "out", "--connections", "many"},
             {"http://127.0.0.1/x", "out", "--bogus"},
         }) {
        RunResult r = ravelGet(args);
        EXPECT_EQ(2, r.code) << r.err;
        EXPECT_NE(std::string::npos, r.err.find("usage: ravel-get")) << r.err;
    }
}

// Resuming from the record is the library's (and the updater's) tests'.
TEST(RavelGetTest, InterruptEndsWithTheStopAndKeepsTheRecord) {
    FaultServer server(raveltest::pattern(3 * 524288));
    server.setStallMs(1500);
    server.setFault(FaultServer::Fault::PauseAfterBytes, 1, 524288 + 1000);
    testsupport::TempDir dir;
    const std::string out = dir.file("out");
    {
        testsupport::ChildProcess child(testsupport::buildDir() + "tools/ravel-get/ravel-get",
                                        {server.url(), out, "--connections", "1"});
        ASSERT_TRUE(child.waitForOutput("received 524288 of 1572864 bytes"));
        child.signal(SIGINT);
        EXPECT_EQ(1, child.wait());
        EXPECT_NE(std::string::npos, child.err().find("Downloader shut down has been requested (code 70001)"))
            << child.err();
    }
    EXPECT_TRUE(Poco::File(out + ".downloading#").exists());
}
