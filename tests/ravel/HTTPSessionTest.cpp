#include "ravel/Exceptions.h"
#include "ravel/HTTPSession.h"
#include "tests/ravel/RavelTestUtil.h"
#include "tests/support/FaultServer.h"

#include <Poco/Net/NetException.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

using namespace ravel;
using testsupport::FaultServer;
using Fault = FaultServer::Fault;

namespace {

class HTTPSessionTest : public ::testing::Test {
protected:
    HTTPSessionTest() : server_(raveltest::pattern(100000)) {}

    std::shared_ptr<HTTPSession> connect(std::int64_t readBuffer = 0) {
        auto session = std::make_shared<HTTPSession>(SessionKey{"http", "127.0.0.1", server_.port()});
        if (readBuffer)
            session->setReadBufferSize(readBuffer);
        session->setTimeout(Poco::Timespan(5, 0));
        session->connect();
        return session;
    }

    std::string range(Session& session, std::int64_t offset, std::int64_t length) {
        std::string got;
        session.download_partially("/file", offset, length,
                                   [&](const char* data, std::int64_t count) { got.append(data, count); });
        return got;
    }

    const std::string& content() const { return server_.content(); }

    FaultServer server_;
};

// Runs op and returns the exception it throws, failing when it throws none.
std::unique_ptr<Poco::Exception> thrownBy(const std::function<void()>& op) {
    try {
        op();
    } catch (const Poco::Exception& exc) {
        return std::unique_ptr<Poco::Exception>(exc.clone());
    }
    ADD_FAILURE() << "no exception";
    return std::make_unique<Poco::Exception>("none");
}

} // namespace

TEST_F(HTTPSessionTest, UnusableResponsesFailWithTheirTexts) {
    struct Case {
        Fault fault;
        std::int64_t param;
        std::string text; // expected display text, or its start when it ends with '*'
        int code;
    };
    const std::string length = "Protocol error: HTTP header Content-Length has invalid value: '-1'.";
    const Case cases[] = {
        {Fault::WrongLength, 5, "RAVEL library error: Partial content response length 25 differs from request length 20", 0},
        {Fault::NoContentLength, 0, "RAVEL library error: Partial content response length 0 differs from request length 20", 0},
        {Fault::Garbage, 0, "Protocol error: Invalid response: ??garbage-instead-of-a-status-line", 0},
        {Fault::Status503, 0, "Protocol error: Service Unavailable", 503},
        {Fault::Status500, 0, "Protocol error: Internal Server Error", 500},
        {Fault::NegativeLength, 0, length, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        server_.setFault(c.fault, 1, c.param);
        auto session = connect();
        std::int64_t delivered = 0;
        auto exc = thrownBy([&] {
            session->download_partially("/file", 0, 20, [&](const char*, std::int64_t n) { delivered += n; });
        });
        EXPECT_EQ(c.text, exc->displayText());
        EXPECT_EQ(c.code, exc->code());
        EXPECT_EQ(0, delivered); // never chunk framing or a wrong range as data
        EXPECT_FALSE(session->reusable());
    }
}

TEST_F(HTTPSessionTest, ConnectionLostAfterDeliveredBytesIsInterruptedRemotely) {
    server_.setFault(Fault::DropAfterBytes, 1, 3000);
    auto session = connect(1000); // the sink receives whole buffers
    std::int64_t delivered = 0;
    auto exc = thrownBy([&] {
        session->download_partially("/file", 0, 10000, [&](const char*, std::int64_t n) { delivered += n; });
    });
    EXPECT_NE(nullptr, dynamic_cast<DownloadInterruptedRemotelyException*>(exc.get()));
    EXPECT_EQ(3000, delivered);

    // Before the first body byte the failure keeps its own type, so that the
    // recoverable layer may repeat the request.
    server_.setFault(Fault::DropAfterBytes, 1, 0);
    session->connect();
    exc = thrownBy([&] { range(*session, 0, 100); });
    EXPECT_EQ(nullptr, dynamic_cast<DownloadInterruptedException*>(exc.get()));
    EXPECT_NE(nullptr, dynamic_cast<Poco::Net::NetException*>(exc.get())) << exc->displayText();
}

// The factory's headers go out with every request, and its read buffer bounds
// what the sink receives at a time.
TEST_F(HTTPSessionTest, FactorySessionsSendItsHeadersAndReadInItsBuffer) {
    HTTPSessionFactory factory({{"User-Agent", "ua"}}, 1234);
    auto session = factory.create({"http", "127.0.0.1", server_.port()});
    session->connect();
    std::size_t largest = 0;
    std::string got;
    session->download_partially("/file", 0, 50000, [&](const char* data, std::int64_t n) {
        largest = std::max(largest, static_cast<std::size_t>(n));
        got.append(data, static_cast<std::size_t>(n));
    });
    EXPECT_EQ(content().substr(0, 50000), got);
    EXPECT_LE(largest, 1234u);
    EXPECT_NE(std::string::npos, server_.requests().at(0).head.find("\r\nUser-Agent:ua"));
}
