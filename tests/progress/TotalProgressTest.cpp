#include "progress/TotalProgress.h"

#include "base/Task.h"
#include "base/TaskWeights.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <vector>

using namespace Patcher;

namespace {

// A display that only remembers what it was asked to draw.
class RecordingProgress : public TotalProgress {
public:
    explicit RecordingProgress(long period = 60000) : TotalProgress(period) {}
    ~RecordingProgress() override { stop(); }

    std::vector<double> renders() {
        std::lock_guard<std::mutex> lock(mutex_);
        return renders_;
    }
    bool waitForRenders(std::size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        return rendered_.wait_for(lock, std::chrono::seconds(10), [&] { return renders_.size() >= n; });
    }

protected:
    void render(double percent) override {
        std::lock_guard<std::mutex> lock(mutex_);
        renders_.push_back(percent);
        rendered_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable rendered_;
    std::vector<double> renders_;
};

class RecordingObserver : public TotalProgressObserver {
public:
    void onTotalProgress(const TotalProgressRecord& record) override {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.push_back(record);
    }
    std::vector<TotalProgressRecord> records() {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }
    TotalProgressRecord last() { return records().back(); }

private:
    std::mutex mutex_;
    std::vector<TotalProgressRecord> records_;
};

// A model with one observer registered.
struct Observed {
    RecordingProgress model;
    RecordingObserver observer;
    Observed() { model.addObserver(&observer); }
};

std::int64_t gNowMs = 0;
std::int64_t fakeClock() { return gNowMs; }

std::vector<std::int64_t> downloaded(const TotalProgressRecord& r) {
    std::vector<std::int64_t> out;
    for (const StageRecord& s : r.stages)
        out.push_back(s.updateDownloaded);
    return out;
}

} // namespace

TEST(TotalProgressTest, ObserversGetPrepareUntilADownloadTaskExistsAndNoEstimationMadeBeforeThem) {
    RecordingProgress model;
    model.setEstimation(1, 2, {{1, 1, 0}}); // nobody observes yet: not kept
    RecordingObserver observer;
    EXPECT_TRUE(model.addObserver(&observer));
    EXPECT_FALSE(model.addObserver(&observer)) << "told twice per cycle";
    model.setStage(3);
    ASSERT_EQ(1u, observer.records().size());
    TotalProgressRecord r = observer.last();
    EXPECT_EQ("Prepare", r.name);
    EXPECT_EQ(1u, r.stage);
    EXPECT_EQ(0, r.total);
    EXPECT_TRUE(r.stages.empty());
    EXPECT_NEAR(0.0, r.percent, 1e-12);

    Task download(TaskType::Download, nullptr, 0);
    model.registerTask(download);
    download.start(10, 0, "x");
    model.setStage(1);
    EXPECT_EQ("Download", observer.last().name);
    EXPECT_TRUE(observer.last().stages.empty());
    EXPECT_TRUE(model.remove(&observer));
    model.setStage(1);
    EXPECT_EQ(2u, observer.records().size()) << "told after its removal";
}

TEST(TotalProgressTest, EstimationAndDownloadRecordsCarryTheStagesSpreadInOrder) {
    Observed o;
    RecordingProgress& model = o.model;
    RecordingObserver& observer = o.observer;
    Task download(TaskType::Download, nullptr, 0);
    model.registerTask(download);
    download.start(120, 0, "http://host/distr/");

    model.setEstimation(700, 1000, {{100, 30, 0}, {200, 50, 0}, {300, 40, 0}});
    TotalProgressRecord est = observer.last();
    EXPECT_EQ("CalculationFinished", est.name);
    EXPECT_EQ(700, est.done);
    EXPECT_EQ(1000, est.total);
    EXPECT_EQ(3u, est.stages.size());

    download.setCurrentItem("pack01", 80);
    download.update(60);
    model.setStage(2);
    TotalProgressRecord r = observer.last();
    EXPECT_EQ("Download", r.name);
    EXPECT_EQ(2u, r.stage);
    EXPECT_EQ(60, r.done);
    EXPECT_EQ(120, r.total);
    EXPECT_EQ("pack01", r.item);
    EXPECT_EQ(60, r.itemDone);
    EXPECT_EQ(80, r.itemTotal);
    EXPECT_EQ((std::vector<std::int64_t>{30, 30, 0}), downloaded(r));

    download.update(50);
    model.setStage(3);
    EXPECT_EQ((std::vector<std::int64_t>{30, 50, 30}), downloaded(observer.last()));
}

TEST(TotalProgressTest, ExtremeSpeedsStayWithinTheRecordsRange) {
    {
        // 4 GiB counted within one millisecond of running time.
        Observed o;
        gNowMs = 0;
        Task fast(TaskType::Download, nullptr, 0, &fakeClock);
        o.model.registerTask(fast);
        fast.start(4LL << 30, 0, "x");
        fast.update(1);
        gNowMs = 1;
        fast.update((4LL << 30) - 1);
        o.model.setStage(1);
        EXPECT_EQ(4194304000, o.observer.last().speed);
    }
    // Two stalled transfers trickling a byte per 5 s: the measured speed halves
    // each time, and the seconds left outgrow an int.
    Observed o;
    gNowMs = 0;
    Task download(TaskType::Download, nullptr, 0, &fakeClock);
    Task extract(TaskType::Extract, nullptr, 0, &fakeClock);
    o.model.registerTask(download);
    o.model.registerTask(extract);
    download.start(10000000000000, 0, "x");
    extract.start(10000000000000, 0, "y");
    for (int i = 0; i < 17; ++i, gNowMs += 5000) {
        download.update(1);
        extract.update(1);
    }
    ASSERT_LT(download.speed(), 4.0);
    ASSERT_GT(download.speed(), 0.001);
    o.model.setStage(1);
    EXPECT_EQ(std::numeric_limits<int>::max(), o.model.eta());
    EXPECT_EQ(std::numeric_limits<int>::max(), o.observer.last().eta);
}

TEST(TotalProgressTest, StoppingRendersAndNotifiesOnceMore) {
    Observed o; // a period of a minute
    Task t(TaskType::Download, nullptr, 0);
    o.model.registerTask(t);
    t.start(100000, 42000, "x");
    o.model.start("");
    // The first cycle renders at once; then the thread waits out the long period.
    ASSERT_TRUE(o.model.waitForRenders(1));
    o.model.stop();
    EXPECT_EQ(2u, o.model.renders().size());
    EXPECT_EQ(2u, o.observer.records().size());
}
