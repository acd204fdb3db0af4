#include "ravel/Exceptions.h"
#include "ravel/HTTPSession.h"
#include "tests/ravel/RavelTestUtil.h"
#include "tests/support/FaultServer.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <memory>

using namespace ravel;
using testsupport::FaultServer;
using Fault = FaultServer::Fault;

namespace {

class HttpFramingTest : public ::testing::Test {
protected:
    HttpFramingTest() : server_(raveltest::pattern(100000)) {}

    std::shared_ptr<HTTPSession> connect() {
        auto session = std::make_shared<HTTPSession>(SessionKey{"http", "127.0.0.1", server_.port()});
        session->setReadBufferSize(4096);
        session->setTimeout(Poco::Timespan(5, 0));
        session->connect();
        return session;
    }

    // The display text of what op throws; "" when it throws nothing.
    static std::string failureOf(const std::function<void()>& op) {
        try {
            op();
        } catch (const Poco::Exception& exc) {
            return exc.displayText();
        }
        return "";
    }

    FaultServer server_;
};

} // namespace

TEST_F(HttpFramingTest, AWholeBodyWithoutLengthEndsWithTheConnection) {
    server_.setFault(Fault::NoContentLength);
    auto session = connect();
    std::string got;
    auto sink = [&](const char* data, std::int64_t n) { got.append(data, static_cast<std::size_t>(n)); };
    session->download("/file", sink);
    EXPECT_EQ(server_.content(), got);
    EXPECT_FALSE(session->reusable());

    got.clear();
    server_.setLastModified("Fri, 23 Oct 2015 07:28:00 GMT");
    session->connect();
    std::string lastModified = "Wed, 21 Oct 2015 07:28:00 GMT";
    session->download_if_modified("/file", lastModified, sink);
    EXPECT_EQ(server_.content(), got);
    EXPECT_EQ("Fri, 23 Oct 2015 07:28:00 GMT", lastModified);
    EXPECT_FALSE(session->reusable());
}

TEST_F(HttpFramingTest, MalformedFramingIsRefusedBeforeAnyByteIsDelivered) {
    struct Case {
        Fault fault;
        bool ranged;
        std::string text;
    };
    const Case cases[] = {
        {Fault::SeparatedLength, false, "Protocol error: HTTP header Content-Length has invalid value: '1,00000'."},
        {Fault::SeparatedLength, true, "Protocol error: HTTP header Content-Length has invalid value: '1,0'."},
        {Fault::TwoLengths, false,
         "Protocol error: Conflicting Content-Length headers in the response: '100000' and '100001'."},
        {Fault::TwoLengths, true, "Protocol error: Conflicting Content-Length headers in the response: '10' and '11'."},
        {Fault::HeaderWithoutColon, false, "Protocol error: Invalid response header line: X-Broken"},
        {Fault::NoContentRange, true,
         "RAVEL library error: Partial content response without a valid Content-Range: '' for bytes=5-14"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        server_.setFault(c.fault, 1);
        auto session = connect();
        std::int64_t delivered = 0;
        auto sink = [&](const char*, std::int64_t n) { delivered += n; };
        EXPECT_EQ(c.text, failureOf([&] {
                      if (c.ranged)
                          session->download_partially("/file", 5, 10, sink);
                      else
                          session->download("/file", sink);
                  }));
        EXPECT_EQ(0, delivered);
        EXPECT_FALSE(session->reusable());
    }
    // The fault was for one request each: a well-formed answer still passes.
    auto session = connect();
    std::string got;
    session->download_partially("/file", 5, 10, [&](const char* data, std::int64_t n) { got.append(data, n); });
    EXPECT_EQ(server_.content().substr(5, 10), got);
}

TEST_F(HttpFramingTest, ARangeWhoseLastByteOverflowsIsRefusedWithoutARequest) {
    auto session = connect();
    const std::int64_t max = std::numeric_limits<std::int64_t>::max();
    auto sink = [](const char*, std::int64_t) {};
    EXPECT_EQ("Invalid argument: Invalid byte range: offset " + std::to_string(max - 5) + ", length 10",
              failureOf([&] { session->download_partially("/file", max - 5, 10, sink); }));
    EXPECT_NE("", failureOf([&] { session->download_partially("/file", -1, 10, sink); }));
    EXPECT_NE("", failureOf([&] { session->download_partially("/file", 0, -10, sink); }));
    EXPECT_TRUE(server_.requests().empty());
    // The largest representable range is still asked for.
    server_.setFault(Fault::Status503, 1);
    EXPECT_EQ("Protocol error: Service Unavailable",
              failureOf([&] { session->download_partially("/file", max - 9, 10, sink); }));
    ASSERT_EQ(1u, server_.requests().size());
    EXPECT_EQ("bytes=" + std::to_string(max - 9) + "-" + std::to_string(max), server_.requests()[0].range);
}
