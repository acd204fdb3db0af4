#include "ravel/DlEventObserver.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

class Recorder : public DlEventObserver {
public:
    void onSuccess(int, const DlRequestInfo&) override {}
    void onProgress(int, const DlProgress&) override {}
    void onError(int, const DlError&, const DlRequestInfo&) override {
        ++errors;
        if (throwOnError)
            throw std::runtime_error("observer failed");
    }
    int errors = 0;
    bool throwOnError = false;
};

} // namespace

// The spy holds what a download call raises: the first error, kept even when
// the observer it forwards to throws. Forwarded progress, sizes and dates are
// the downloader tests'.
TEST(DlEventObserverTest, SpyKeepsTheFirstErrorEvenWhenItsObserverThrows) {
    Recorder forward;
    DlSpy spy(&forward);
    DlRequestInfo info;
    spy.onError(1, DlError("first", 500), info);
    spy.onError(1, DlError("second", 70001), info);
    EXPECT_EQ(2, forward.errors);
    try {
        spy.rethrow();
        FAIL() << "no error kept";
    } catch (const DlError& error) {
        EXPECT_EQ("first", error.message());
        EXPECT_EQ(500, error.code());
    }

    DlSpy throwing(&forward);
    forward.throwOnError = true;
    EXPECT_THROW(throwing.onError(3, DlError("failed", 7), info), std::runtime_error);
    EXPECT_THROW(throwing.rethrow(), DlError);
}
