#include "ravel/DlEventObserver.h"
#include "ravel/Exceptions.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

class Recorder : public DlEventObserver {
public:
    void onSuccess(int, const DlRequestInfo&) override {}
    void onProgress(int, const DlProgress&) override { ++progress; }
    void onError(int, const DlError&, const DlRequestInfo&) override {
        ++errors;
        if (throwOnError)
            throw std::runtime_error("observer failed");
    }
    int progress = 0;
    int errors = 0;
    bool throwOnError = false;
};

} // namespace

TEST(DlEventObserverTest, SpyKeepsTheFirstErrorAndForwardsEverything) {
    Recorder forward;
    DlSpy spy(&forward);
    DlRequestInfo info;
    DlProgress progress;
    progress.total = 1234;
    spy.onProgress(1, progress);
    EXPECT_EQ(1234, spy.total());
    spy.onError(1, DlError("first", 500), info);
    spy.onError(1, DlError("second", 70001), info);
    EXPECT_EQ(2, forward.errors);
    EXPECT_EQ(1, forward.progress);
    try {
        spy.rethrow();
        FAIL() << "no error kept";
    } catch (const DlError& error) {
        EXPECT_EQ("first", error.message());
        EXPECT_EQ(500, error.code());
    }
    EXPECT_NO_THROW(spy.rethrow()); // taken out by the first rethrow

    // The outcome is kept even when the forwarded observer throws.
    forward.throwOnError = true;
    EXPECT_THROW(spy.onError(3, DlError("failed", 7), info), std::runtime_error);
    EXPECT_THROW(spy.rethrow(), DlError);

    DlSpy alone;
    info.lastModified = "Wed, 21 Oct 2015 07:28:00 GMT";
    alone.onSuccess(4, info);
    EXPECT_EQ(info.lastModified, alone.lastModified());
    EXPECT_NO_THROW(alone.rethrow());
}

// The retry decision tells "bytes were delivered" apart by the base class.
TEST(DlEventObserverTest, RemoteInterruptionIsADownloadInterruption) {
    EXPECT_THROW(ravel::DownloadInterruptedRemotelyException(0).rethrow(), ravel::DownloadInterruptedException);
    EXPECT_THROW(ravel::DownloadInterruptedLocallyException(0).rethrow(), ravel::DownloadInterruptedException);
}
