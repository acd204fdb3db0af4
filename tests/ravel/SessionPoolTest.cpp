#include "ravel/Exceptions.h"
#include "ravel/HTTPSession.h"
#include "ravel/RecoverableSession.h"
#include "ravel/SessionPool.h"
#include "tests/ravel/RavelTestUtil.h"
#include "tests/support/FaultServer.h"

#include <Poco/URI.h>

#include <gtest/gtest.h>


using namespace ravel;
using testsupport::FaultServer;
using Fault = FaultServer::Fault;

namespace {

class SessionPoolTest : public ::testing::Test {
protected:
    SessionPoolTest()
        : server_(raveltest::pattern(50000)),
          pool_(std::make_shared<SessionPool>(std::make_shared<HTTPSessionFactory>())),
          key_{"http", "127.0.0.1", server_.port()} {}

    std::shared_ptr<PooledSession> pooled() { return std::make_shared<PooledSession>(pool_, key_); }

    static std::int64_t fetch(Session& session, std::int64_t offset, std::int64_t length) {
        std::int64_t delivered = 0;
        session.download_partially("/file", offset, length, [&](const char*, std::int64_t n) { delivered += n; });
        return delivered;
    }

    FaultServer server_;
    std::shared_ptr<SessionPool> pool_;
    SessionKey key_;
};

} // namespace

TEST_F(SessionPoolTest, SegmentsBorrowDistinctConnectionsReuseGivenBackOnesAndNeverAFailedOne) {
    auto first = pooled();
    auto second = pooled();
    first->connect();
    second->connect();
    EXPECT_NE(first->borrowed(), second->borrowed());
    EXPECT_EQ(1000, fetch(*first, 0, 1000));
    EXPECT_EQ(1000, fetch(*second, 0, 1000));
    auto reused = first->borrowed();
    first->close();
    EXPECT_EQ(1u, pool_->idleCount());

    auto third = pooled();
    third->connect();
    EXPECT_EQ(reused, third->borrowed());
    EXPECT_EQ(1000, fetch(*third, 1000, 1000));
    EXPECT_EQ(2, server_.connections());
    EXPECT_EQ(2u, pool_->size());

    PooledSession dead(pool_, sessionKeyOf(Poco::URI(FaultServer::deadUrl())));
    EXPECT_THROW(dead.connect(), Poco::Exception);
    EXPECT_EQ(2u, pool_->size()) << "a failed connect added an entry";
}

// A failed request leaves its session not reusable (the framing tests), and so
// does a 200 for a range, which leaves the rest of the body in the connection,
// or a body longer than its Content-Length.
TEST_F(SessionPoolTest, ConnectionsWithUnreadBytesNeverGoBack) {
    auto session = pooled();
    for (const Fault fault : {Fault::RangeAsFull, Fault::LongBody}) {
        server_.setFault(fault, 1, 10);
        session->connect();
        EXPECT_EQ(100, fetch(*session, 10, 100));
        session->close();
        EXPECT_EQ(0u, pool_->size());
    }
}

// A request that failed before its first body byte is repeated, a lost
// connection as well as a garbled answer.
TEST_F(SessionPoolTest, RecoverableSessionRepeatsOnceOnAFreshConnection) {
    auto plain = std::make_shared<HTTPSession>(key_);
    plain->setReadBufferSize(1000);
    RecoverableSession recoverable(plain);
    recoverable.connect();
    for (const Fault fault : {Fault::Garbage, Fault::DropAfterBytes}) {
        server_.setFault(fault, 1, 0);
        EXPECT_EQ(500, fetch(recoverable, 0, 500));
    }
    EXPECT_EQ(3, server_.connections());

    // Bytes already delivered: no second try, which would deliver them twice.
    server_.setFault(Fault::DropAfterBytes, 1, 2000);
    const std::size_t before = server_.requests().size();
    EXPECT_THROW(fetch(recoverable, 0, 5000), DownloadInterruptedRemotelyException);
    EXPECT_EQ(before + 1, server_.requests().size());
}
