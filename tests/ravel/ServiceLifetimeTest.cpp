#include "ravel/ImplDetail.h"
#include "tests/ravel/RavelTestUtil.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

namespace {

// Records whether the service was still alive when the request reported.
class AliveObserver : public DlEventObserver {
public:
    explicit AliveObserver(const std::atomic<bool>& destroyed) : destroyed_(destroyed) {}
    void onSuccess(int, const DlRequestInfo&) override { reportedAfterDestruction = destroyed_.load(); }
    void onProgress(int, const DlProgress&) override {}
    void onError(int, const DlError&, const DlRequestInfo&) override { reportedAfterDestruction = destroyed_.load(); }
    std::atomic<bool> reportedAfterDestruction{true};

private:
    const std::atomic<bool>& destroyed_;
};

} // namespace

// A request that the service does not hold itself (here: the test's) ends by
// calling back into the service; destroying the service meanwhile must wait
// for it rather than leave it a dangling owner.
TEST(ServiceLifetimeTest, DestructionWaitsForARequestThatOutlivesTheShutdown) {
    testsupport::LogCapture log("ravel.Main");
    std::atomic<bool> destroyed{false};
    AliveObserver observer(destroyed);
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
    EXPECT_FALSE(observer.reportedAfterDestruction.load());
}
