#include "tests/support/ChildProcess.h"
#include "tests/support/NginxServer.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

using namespace testsupport;

// The harness every network test of the library stands on: checked with curl,
// independently of our own client.
namespace {

RunResult curl(std::vector<std::string> args) {
    args.insert(args.begin(), {"-s", "-S"});
    return runProgram("/usr/bin/curl", args, {}, 20000);
}

} // namespace

TEST(NginxServerTest, ServesRangesRedirectsKeepAliveAndTls) {
    if (!NginxServer::available())
        GTEST_SKIP() << "nginx or openssl is not installed";
    TempDir root;
    std::string content;
    for (int i = 0; i < 10000; ++i)
        content += static_cast<char>('a' + i % 26);
    writeFile(root.file("data.bin"), content);
    NginxServer nginx(root.path());

    RunResult range = curl({"-r", "100-199", nginx.url("data.bin")});
    ASSERT_EQ(0, range.code) << range.err;
    EXPECT_EQ(content.substr(100, 100), range.out);

    RunResult moved = curl({"-o", "/dev/null", "-w", "%{http_code} %{redirect_url}", nginx.url("r301/data.bin")});
    EXPECT_EQ("301 " + nginx.url("data.bin"), moved.out);
    RunResult found = curl({"-o", "/dev/null", "-w", "%{http_code} %{redirect_url}", nginx.url("r302/data.bin")});
    EXPECT_EQ("302 " + nginx.url("data.bin"), found.out);

    RunResult tls = curl({"--cacert", nginx.certificateFile(), nginx.httpsUrl("data.bin")});
    ASSERT_EQ(0, tls.code) << tls.err;
    EXPECT_EQ(content, tls.out);

    // Two transfers in one curl run share one connection. nginx logs a request
    // after it has answered it: curl may be back before the line is written.
    auto logged = [&](std::size_t count) {
        for (int i = 0; i < 5000 && nginx.requests().size() < count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return nginx.requests().size();
    };
    const std::size_t before = logged(4);
    ASSERT_EQ(4u, before);
    RunResult twice = curl({"-o", "/dev/null", "-o", "/dev/null", nginx.url("data.bin"), nginx.url("slow/data.bin")});
    ASSERT_EQ(0, twice.code) << twice.err;
    logged(before + 2);
    auto log = nginx.requests();
    ASSERT_EQ(before + 2, log.size());
    EXPECT_EQ(log[before].connection, log[before + 1].connection);
    EXPECT_EQ(2, log[before + 1].connectionRequests);
    EXPECT_EQ(2 * static_cast<std::int64_t>(content.size()), nginx.bodyBytesSince(before));
    EXPECT_EQ("bytes=100-199", log[0].range);
}
