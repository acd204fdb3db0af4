#include "tests/ravel/RavelTestUtil.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/NginxServer.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sstream>
#include <thread>

using namespace testsupport;
using raveltest::exists;

// ravel-get run as a child process against nginx: what a killed download leaves
// behind must let the next run fetch exactly the bytes not yet claimed.
namespace {

std::string ravelGet() { return buildDir() + "tools/ravel-get/ravel-get"; }

// Sum of the ranges a record claims; -1 when it does not parse.
std::int64_t claimedBytes(const std::string& record) {
    std::istringstream in(record);
    std::int64_t count = 0, sum = 0;
    if (!(in >> count))
        return -1;
    for (std::int64_t i = 0; i < count; ++i) {
        std::int64_t start = 0, length = 0;
        if (!(in >> start >> length))
            return -1;
        sum += length;
    }
    return sum;
}

class KillResumeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!NginxServer::available())
            GTEST_SKIP() << "nginx or openssl is not installed";
        ASSERT_TRUE(exists(ravelGet())) << ravelGet() << " is not built";
    }
    TempDir www_;
    TempDir out_;
};

} // namespace

TEST_F(KillResumeTest, SecondRunFetchesOnlyWhatTheRecordDidNotClaim) {
    const std::size_t size = 24 << 20;
    const std::string content = raveltest::randomBytes(size, 7);
    writeFile(www_.file("big.bin"), content);
    NginxServer::Options options;
    options.root = www_.path();
    options.slowRate = "256k"; // 4 connections: about 24 s in all, the first record comes after 10
    NginxServer nginx(options);
    const std::string target = out_.file("big.bin");
    const std::string record = target + ".downloading#";

    {
        ChildProcess first(ravelGet(), {nginx.url("slow/big.bin"), target, "--connections", "4"});
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!exists(record) && first.running() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_TRUE(first.running()) << "ended before its first record: " << first.err();
        ASSERT_TRUE(exists(record)) << "no record within 60 s";
        first.signal(SIGKILL);
        EXPECT_EQ(128 + SIGKILL, first.wait(10000));
    }
    const std::int64_t claimed = claimedBytes(readFile(record));
    ASSERT_GT(claimed, 0) << readFile(record);
    ASSERT_LT(claimed, static_cast<std::int64_t>(size));
    EXPECT_EQ(static_cast<std::int64_t>(size), static_cast<std::int64_t>(readFile(target).size()));

    const std::size_t before = nginx.requests().size();
    RunResult second = runProgram(ravelGet(), {nginx.url("big.bin"), target, "--connections", "4"}, {}, 60000);
    ASSERT_EQ(0, second.code) << second.err;
    EXPECT_NE(std::string::npos, second.out.find("(" + std::to_string(claimed) + " resumed)")) << second.out;
    EXPECT_EQ(static_cast<std::int64_t>(size) - claimed, nginx.bodyBytesSince(before));
    EXPECT_TRUE(readFile(target) == content) << "resumed file differs from the source";
    EXPECT_FALSE(exists(record));
}
