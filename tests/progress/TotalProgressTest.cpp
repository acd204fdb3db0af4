#include "progress/TotalProgress.h"

#include "base/Task.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <vector>

using namespace Patcher;

namespace {

// A display that remembers what it was asked to draw and, as its own observer
// (unless told otherwise), every record it notified.
class Recording : public TotalProgress, public TotalProgressObserver {
public:
    explicit Recording(bool observed = true) : TotalProgress(60000) {
        if (observed)
            addObserver(this);
    }
    ~Recording() override { stop(); }

    std::vector<double> renders() { return locked(renders_); }
    std::vector<TotalProgressRecord> records() { return locked(records_); }
    TotalProgressRecord last() { return records().back(); }
    bool waitForRenders(std::size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        return rendered_.wait_for(lock, std::chrono::seconds(10), [&] { return renders_.size() >= n; });
    }
    void onTotalProgress(const TotalProgressRecord& record) override {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.push_back(record);
    }

protected:
    void render(double percent) override {
        std::lock_guard<std::mutex> lock(mutex_);
        renders_.push_back(percent);
        rendered_.notify_all();
    }

private:
    template <class T>
    T locked(const T& field) {
        std::lock_guard<std::mutex> lock(mutex_);
        return field;
    }

    std::mutex mutex_;
    std::condition_variable rendered_;
    std::vector<double> renders_;
    std::vector<TotalProgressRecord> records_;
};

std::int64_t gNowMs = 0;
std::int64_t fakeClock() { return gNowMs; }

// "NAME stage S DONE/TOTAL ITEM ITEMDONE/ITEMTOTAL [downloaded per stage]"
std::string summary(const TotalProgressRecord& r) {
    std::string out = r.name + " stage " + std::to_string(r.stage) + " " + std::to_string(r.done) + "/" +
                      std::to_string(r.total) + " " + r.item + " " + std::to_string(r.itemDone) + "/" +
                      std::to_string(r.itemTotal) + " [";
    for (const StageRecord& s : r.stages)
        out += (out.back() == '[' ? "" : " ") + std::to_string(s.updateDownloaded);
    return out + "]";
}

} // namespace

TEST(TotalProgressTest, ObserversGetPrepareUntilADownloadTaskExistsThenTheStagesSpreadInOrder) {
    Recording model(false);
    model.setEstimation(1, 2, {{1, 1, 0}}); // nobody observes yet: not kept
    EXPECT_TRUE(model.addObserver(&model));
    EXPECT_FALSE(model.addObserver(&model)) << "told twice per cycle";
    model.setStage(3);
    ASSERT_EQ(1u, model.records().size());
    EXPECT_EQ("Prepare stage 1 0/0  0/0 []", summary(model.last()));
    EXPECT_NEAR(0.0, model.last().percent, 1e-12);

    Task download(TaskType::Download, nullptr, 0);
    model.registerTask(download);
    download.start(120, 0, "http://host/distr/");
    model.setStage(1);
    EXPECT_EQ("Download stage 1 0/120  0/0 []", summary(model.last()));
    model.setEstimation(700, 1000, {{100, 30, 0}, {200, 50, 0}, {300, 40, 0}});
    EXPECT_EQ("CalculationFinished stage 1 700/1000  0/0 [0 0 0]", summary(model.last()));

    download.setCurrentItem("pack01", 80);
    download.update(60);
    model.setStage(2);
    EXPECT_EQ("Download stage 2 60/120 pack01 60/80 [30 30 0]", summary(model.last()));
    download.setCurrentItem("pack02", 50);
    download.update(50);
    model.setStage(3);
    EXPECT_EQ("Download stage 3 110/120 pack02 50/50 [30 50 30]", summary(model.last()));
    EXPECT_TRUE(model.remove(&model));
    model.setStage(1);
    EXPECT_EQ(5u, model.records().size()) << "told after its removal";
}

TEST(TotalProgressTest, ExtremeSpeedsStayWithinTheRecordsRange) {
    {
        // 4 GiB counted within one millisecond of running time.
        Recording model;
        gNowMs = 0;
        Task fast(TaskType::Download, nullptr, 0, &fakeClock);
        model.registerTask(fast);
        fast.start(4LL << 30, 0, "x");
        fast.update(1);
        gNowMs = 1;
        fast.update((4LL << 30) - 1);
        model.setStage(1);
        EXPECT_EQ(4194304000, model.last().speed);
    }
    // Two stalled transfers trickling a byte per 5 s: the measured speed halves
    // each time, and the seconds left outgrow an int.
    Recording model;
    gNowMs = 0;
    Task download(TaskType::Download, nullptr, 0, &fakeClock), extract(TaskType::Extract, nullptr, 0, &fakeClock);
    model.registerTask(download);
    model.registerTask(extract);
    download.start(10000000000000, 0, "x");
    extract.start(10000000000000, 0, "y");
    for (int i = 0; i < 17; ++i, gNowMs += 5000) {
        download.update(1);
        extract.update(1);
    }
    ASSERT_LT(download.speed(), 4.0);
    ASSERT_GT(download.speed(), 0.001);
    model.setStage(1);
    EXPECT_EQ(std::numeric_limits<int>::max(), model.eta());
    EXPECT_EQ(std::numeric_limits<int>::max(), model.last().eta);
}

TEST(TotalProgressTest, StoppingRendersAndNotifiesOnceMore) {
    Recording model; // a period of a minute
    Task t(TaskType::Download, nullptr, 0);
    model.registerTask(t);
    t.start(100000, 42000, "x");
    model.start("");
    // The first cycle renders at once; then the thread waits out the long period.
    ASSERT_TRUE(model.waitForRenders(1));
    model.stop();
    EXPECT_EQ(2u, model.renders().size());
    EXPECT_EQ(2u, model.records().size());
}
