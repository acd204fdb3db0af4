#include "ravel/Exceptions.h"
#include "ravel/HTTPSession.h"
#include "tests/ravel/RavelTestUtil.h"
#include "tests/support/FaultServer.h"
#include "tests/support/NginxServer.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <memory>
#include <utility>

using namespace ravel;
using testsupport::FaultServer;
using Fault = FaultServer::Fault;

namespace {

DataSink into(std::string& got) {
    return [&got](const char* data, std::int64_t n) { got.append(data, static_cast<std::size_t>(n)); };
}

class HttpFramingTest : public ::testing::Test {
protected:
    HttpFramingTest() : server_(raveltest::pattern(100000)) {}

    std::shared_ptr<HTTPSession> connect(std::int64_t readBuffer = 4096) {
        auto session = std::make_shared<HTTPSession>(SessionKey{"http", "127.0.0.1", server_.port()});
        session->setReadBufferSize(readBuffer);
        session->setTimeout(Poco::Timespan(5, 0));
        session->connect();
        return session;
    }

    FaultServer server_;
};

// The display text and code of what op throws.
std::pair<std::string, int> failureOf(const std::function<void()>& op) {
    try {
        op();
    } catch (const Poco::Exception& e) {
        return {e.displayText(), e.code()};
    }
    ADD_FAILURE() << "no exception";
    return {};
}

} // namespace

TEST_F(HttpFramingTest, AWholeBodyWithoutLengthEndsWithTheConnection) {
    server_.setFault(Fault::NoContentLength);
    auto session = connect();
    std::string got;
    session->download("/file", into(got));
    EXPECT_EQ(server_.content(), got);
    EXPECT_FALSE(session->reusable());

    got.clear();
    session->connect();
    std::string lastModified;
    session->download_if_modified("/file", lastModified, into(got));
    EXPECT_EQ(server_.content(), got);
    EXPECT_FALSE(session->reusable());
}

// Never chunk framing, an error page or a wrong range as data, and never the
// connection back to the pool.
TEST_F(HttpFramingTest, MalformedFramingIsRefusedBeforeAnyByteIsDelivered) {
    struct Case {
        Fault fault;
        std::int64_t param;
        bool ranged;
        std::string text;
        int code;
    };
    const std::string length = "Protocol error: HTTP header Content-Length has invalid value: ";
    const std::string partial = "RAVEL library error: Partial content response ";
    const Case cases[] = {
        {Fault::SeparatedLength, 0, false, length + "'1,00000'.", 0},
        {Fault::SeparatedLength, 0, true, length + "'1,0'.", 0},
        {Fault::NegativeLength, 0, true, length + "'-1'.", 0},
        {Fault::TwoLengths, 0, false,
         "Protocol error: Conflicting Content-Length headers in the response: '100000' and '100001'.", 0},
        {Fault::TwoLengths, 0, true, "Protocol error: Conflicting Content-Length headers in the response: '10' and '11'.", 0},
        {Fault::HeaderWithoutColon, 0, false, "Protocol error: Invalid response header line: X-Broken", 0},
        {Fault::NoContentRange, 0, true, partial + "without a valid Content-Range: '' for bytes=5-14", 0},
        {Fault::WrongLength, 5, true, partial + "length 15 differs from request length 10", 0},
        {Fault::NoContentLength, 0, true, partial + "length 0 differs from request length 10", 0},
        {Fault::Garbage, 0, true, "Protocol error: Invalid response: ??garbage-instead-of-a-status-line", 0},
        {Fault::Status503, 0, true, "Protocol error: Service Unavailable", 503},
        {Fault::Status500, 0, true, "Protocol error: Internal Server Error", 500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        server_.setFault(c.fault, 1, c.param);
        auto session = connect();
        std::int64_t delivered = 0;
        auto sink = [&](const char*, std::int64_t n) { delivered += n; };
        EXPECT_EQ(std::make_pair(c.text, c.code), failureOf([&] {
                      if (c.ranged)
                          session->download_partially("/file", 5, 10, sink);
                      else
                          session->download("/file", sink);
                  }));
        EXPECT_EQ(0, delivered);
        EXPECT_FALSE(session->reusable());
    }
    // The fault was for one request each: a well-formed answer still passes.
    std::string got;
    connect()->download_partially("/file", 5, 10, into(got));
    EXPECT_EQ(server_.content().substr(5, 10), got);
}

// The factory's headers go out with every request, and its read buffer bounds
// what the sink receives at a time.
TEST_F(HttpFramingTest, FactorySessionsSendItsHeadersAndReadInItsBuffer) {
    auto session = HTTPSessionFactory({{"User-Agent", "ua"}}, 1234).create({"http", "127.0.0.1", server_.port()});
    session->connect();
    std::int64_t largest = 0;
    std::string got;
    session->download_partially("/file", 0, 50000, [&](const char* data, std::int64_t n) {
        largest = std::max(largest, n);
        into(got)(data, n);
    });
    EXPECT_EQ(server_.content().substr(0, 50000), got);
    EXPECT_LE(largest, 1234);
    EXPECT_NE(std::string::npos, server_.requests().at(0).head.find("\r\nUser-Agent:ua"));
}

TEST_F(HttpFramingTest, ARangeWhoseLastByteOverflowsIsRefusedWithoutARequest) {
    auto session = connect();
    const std::int64_t max = std::numeric_limits<std::int64_t>::max();
    auto sink = [](const char*, std::int64_t) {};
    EXPECT_EQ("Invalid argument: Invalid byte range: offset " + std::to_string(max - 5) + ", length 10",
              failureOf([&] { session->download_partially("/file", max - 5, 10, sink); }).first);
    EXPECT_THROW(session->download_partially("/file", -1, 10, sink), Poco::InvalidArgumentException);
    EXPECT_THROW(session->download_partially("/file", 0, -10, sink), Poco::InvalidArgumentException);
    EXPECT_TRUE(server_.requests().empty());
    // The largest representable range is still asked for.
    server_.setFault(Fault::Status503, 1);
    EXPECT_EQ("Protocol error: Service Unavailable",
              failureOf([&] { session->download_partially("/file", max - 9, 10, sink); }).first);
    ASSERT_EQ(1u, server_.requests().size());
    EXPECT_EQ("bytes=" + std::to_string(max - 9) + "-" + std::to_string(max), server_.requests()[0].range);
}

// The refusals above must not catch a real server's answers: every operation
// against nginx, one after another on one kept-alive connection.
TEST(HttpFramingNginxTest, EveryOperationReadsNginxAnswersOnOneConnection) {
    if (!testsupport::NginxServer::available())
        GTEST_SKIP() << "nginx or openssl is not installed";
    testsupport::TempDir root;
    const std::string content = raveltest::pattern(300000);
    testsupport::writeFile(root.file("data.bin"), content);
    testsupport::NginxServer nginx(root.path());
    auto session = std::make_shared<HTTPSession>(SessionKey{"http", "127.0.0.1", static_cast<std::uint16_t>(nginx.port())});
    session->setTimeout(Poco::Timespan(5, 0));
    session->connect();
    std::string got;
    const DataSink sink = into(got);
    auto step = [&](const char* what, const std::function<void()>& op) {
        SCOPED_TRACE(what);
        got.clear();
        op();
        EXPECT_TRUE(session->reusable());
    };

    step("HEAD", [&] { EXPECT_EQ(300000, session->detect_length("/data.bin")); });
    std::string lastModified;
    std::int64_t length = 0;
    std::string location;
    step("HEAD 200", [&] { session->obtain_headers("/data.bin", lastModified, length, location); });
    EXPECT_EQ(300000, length);
    EXPECT_FALSE(lastModified.empty());
    step("HEAD 301", [&] { session->obtain_headers("/r301/data.bin", lastModified, length, location); });
    EXPECT_EQ(nginx.url("data.bin"), location);
    step("GET 200", [&] { session->download("/data.bin", sink); });
    EXPECT_EQ(content, got);
    step("GET 206", [&] { session->download_partially("/data.bin", 123457, 100000, sink); });
    EXPECT_EQ(content.substr(123457, 100000), got);
    step("GET 206 at the end", [&] { session->download_partially("/data.bin", 299999, 1, sink); });
    EXPECT_EQ(content.substr(299999), got);
    std::string known = lastModified;
    step("GET 304", [&] { session->download_if_modified("/data.bin", known, sink); });
    EXPECT_EQ("", got);
    EXPECT_EQ(lastModified, known);
    std::string stale = "Thu, 01 Jan 1970 00:00:00 GMT";
    step("GET 200 if modified", [&] { session->download_if_modified("/data.bin", stale, sink); });
    EXPECT_EQ(content, got);
    EXPECT_EQ(lastModified, stale);

    // nginx logs a request after it has answered it.
    ASSERT_TRUE(raveltest::eventually([&] { return nginx.requests().size() >= 8; }));
    const auto log = nginx.requests();
    ASSERT_EQ(8u, log.size());
    for (const auto& request : log)
        EXPECT_EQ(log.front().connection, request.connection) << request.method << " " << request.uri;
    EXPECT_EQ(304, log[6].status);
}
