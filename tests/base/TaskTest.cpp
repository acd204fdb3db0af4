#include "base/Task.h"
#include "base/TaskWeights.h"

#include "base/CmdHandler.h"
#include "base/Errors.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <sstream>

using namespace Patcher;

namespace {

std::int64_t gNowMs = 0;
std::int64_t fakeClock() { return gNowMs; }

struct CountingObserver : TaskProgressObserver {
    void onTaskProgress(const Task& task) override {
        ++calls;
        lastDone = task.done();
    }
    int calls = 0;
    std::int64_t lastDone = -1;
};

// Status, done and percent in one line.
std::string show(const Task& t) {
    std::ostringstream out;
    out.precision(17);
    out << taskStatusName(t.status()) << " " << t.done() << " " << t.percent() << "%";
    return out.str();
}

// What a call ends in: "" or ": " and the message of its internal error.
std::string failure(const std::function<void()>& call) {
    try {
        call();
    } catch (const InternalError& e) {
        EXPECT_EQ(3, e.code());
        return ": " + e.message();
    }
    return "";
}

} // namespace

TEST(TaskTest, StartSkipsEmptyTasksCompletesTasksAlreadyDoneAndUpdatesClampAndFinish) {
    Task empty(TaskType::Extract, nullptr, 1000), over(TaskType::Extract, nullptr, 1000);
    EXPECT_EQ(empty.id() + 1, over.id()) << "one counter, in creation order";
    empty.start(0, 0, "x");
    EXPECT_EQ("Skipped 0 100%", show(empty));
    over.start(10, 12, "x");
    over.activate(); // a finished task stays finished
    EXPECT_EQ("Done 10 100%", show(over));

    CountingObserver observer;
    Task t(TaskType::Download, nullptr, 1000, &fakeClock);
    t.setObserver(&observer);
    t.start(200, 50, "x");
    EXPECT_EQ("Waiting 50 25%", show(t));
    t.setCurrentItem("a.bin", 60);
    t.update(40);
    EXPECT_EQ("Running 90 45%", show(t));
    EXPECT_EQ(40, t.currentItemDone());
    t.update(200); // beyond the total
    EXPECT_EQ("Done 200 100%", show(t));
    const int calls = observer.calls;
    t.update(5);
    EXPECT_EQ(200, t.done());
    EXPECT_EQ(calls, observer.calls);
}

// A pause returns to the saved status; the refusals keep a finished or skipped
// task from coming back, and a paused one from finishing without running again.
TEST(TaskTest, TransitionsAndRefusalsKeepTheStatus) {
    std::vector<std::string> trace;
    const auto attempt = [&trace](const Task& t, const std::function<void()>& move) {
        const std::string outcome = failure(move);
        trace.push_back(taskStatusName(t.status()) + outcome);
    };
    Task t(TaskType::SHA1, nullptr, 1000), done(TaskType::SHA1, nullptr, 1000), skipped(TaskType::SHA1, nullptr, 1000);
    t.start(100, 0, "x");
    attempt(t, [&] { t.activate(); });
    attempt(t, [&] { t.setStatus(TaskStatus::Waiting); });
    attempt(t, [&] { t.update(10), t.pause(), t.pause(); }); // already paused: nothing
    attempt(t, [&] { t.update(5); });
    attempt(t, [&] { t.setStatus(TaskStatus::Done); });
    attempt(t, [&] { t.activate(); });
    done.start(10, 10, "x");
    attempt(done, [&] { done.setStatus(TaskStatus::Running); });
    skipped.start(0, 10, "x");
    attempt(skipped, [&] { skipped.setStatus(TaskStatus::Running); });
    EXPECT_EQ((std::vector<std::string>{"Running", "Running: Invalid transition from 'Running' to 'Waiting'", "Paused",
                                        "Paused: Attempt to update task in a status: Paused",
                                        "Paused: Invalid transition from 'Paused' to 'Done'", "Running",
                                        "Done: Invalid transition from 'Done' to 'Running'",
                                        "Skipped: Invalid transition from 'Skipped' to 'Running'"}),
              trace);
}

TEST(TaskTest, NotificationsKeepTheIntervalExceptAtBoundaries) {
    CountingObserver observer;
    gNowMs = 0;
    Task t(TaskType::Download, nullptr, 1000, &fakeClock);
    t.setObserver(&observer);
    t.start(1000, 0, "x");
    observer.calls = 0;
    std::vector<int> calls;
    const auto step = [&](std::int64_t nowMs, std::int64_t amount, bool force = false) {
        gNowMs = nowMs;
        t.update(amount, force);
        calls.push_back(observer.calls);
    };
    t.setCurrentItem("big.pak", 900);
    step(0, 10);         // first progress: always told
    step(500, 10);       // within the interval
    step(500, 10, true); // forced
    step(1600, 10);      // interval passed
    step(1700, 860);     // the current item completes
    t.setCurrentItem("small", 500);
    step(1800, 100); // the task completes
    EXPECT_EQ((std::vector<int>{1, 1, 2, 3, 4, 5}), calls);
    EXPECT_EQ(1000, observer.lastDone);
}

TEST(TaskTest, SpeedMovesTowardTheMeasuredOneAndPausedTimeDoesNotCount) {
    gNowMs = 0;
    Task t(TaskType::Download, nullptr, 1000, &fakeClock);
    t.start(10000000, 0, "x");
    EXPECT_DOUBLE_EQ(100000.0, t.speed()) << "expected speed of weight 1";
    t.update(1000);
    gNowMs = 5000;
    t.update(49000); // 10 bytes/ms measured: halfway from the expected speed
    EXPECT_DOUBLE_EQ(50005.0, t.speed());

    t.pause();
    gNowMs = 60000;
    t.activate();
    gNowMs = 61000;
    t.update(t.total() - t.done());
    EXPECT_EQ(6000, t.elapsedMs());
    EXPECT_DOUBLE_EQ(10000000.0 / 6000, t.speed()) << "finished: the average over the running time";
}

TEST(TaskUpdaterTest, BytesReachTheTaskInMebibyteBatchesAtItemsAndAtTheEnd) {
    StopState stop;
    const std::int64_t batch = TaskUpdater::kBatchBytes;
    auto task = std::make_shared<Task>(TaskType::Extract, nullptr, 1000);
    task->start(10 * batch, 0, "x");
    {
        TaskUpdater updater(task, stop);
        EXPECT_EQ(TaskStatus::Running, task->status());
        updater.onItem("a", 2000000);
        updater.onBytes(batch - 1);
        EXPECT_EQ(0, task->done());
        updater.onItem("b", 10);
        EXPECT_EQ(batch - 1, task->done());
        EXPECT_EQ("b", task->currentItem());
        updater.onBytes(batch);
        EXPECT_EQ(2 * batch - 1, task->done());
        updater.onBytes(7);
    }
    EXPECT_EQ(2 * batch + 6, task->done());
    EXPECT_EQ(TaskStatus::Paused, task->status()) << "running time covers only work";
    TaskUpdater again(task, stop);
    EXPECT_EQ(TaskStatus::Running, task->status());
}

class TaskWeightsTest : public ::testing::Test {
protected:
    std::unique_ptr<TaskWeights> loaded(const std::string& content) {
        testsupport::writeFile(file, content);
        auto w = std::make_unique<TaskWeights>();
        w->load(file);
        return w;
    }
    testsupport::TempDir dir;
    std::string file = dir.file("weights-live.txt");
};

TEST_F(TaskWeightsTest, OverridingOneDefaultRescalesOnlyTheOtherDefaults) {
    auto w = loaded("Download 40\r\nSHA1 3\r\n");
    // Download 40 of 32 scales the defaults by 1.25 (SHA1 1.875), then SHA1 3
    // scales the six still default by 1.6; Download keeps its 40.
    EXPECT_DOUBLE_EQ(40.0, w->weight(TaskType::Download));
    EXPECT_DOUBLE_EQ(3.0, w->weight(TaskType::SHA1));
    EXPECT_DOUBLE_EQ(2.4, w->weight(TaskType::Extract));
    EXPECT_DOUBLE_EQ(0.4, w->weight(TaskType::Uninstall));
    double sum = 0;
    for (int v = 0; v < kTaskTypeCount; ++v)
        sum += w->weight(static_cast<TaskType>(v));
    EXPECT_NEAR(sum, w->totalWeight(), 1e-9);
    EXPECT_EQ(": Existing default value change attempt.", failure([&] { w->set(TaskType::Check, {5.0, true}); }));

    // Garbage ends reading and keeps what came before.
    for (const char* content : {"Download 40\nBogus 3\nDelta 7\n", "Download 40\nDelta seven\n",
                                "Download 40\nDelta 0\nSHA1 3\n", "Download 40\nDelta -2\n"}) {
        auto garbage = loaded(content);
        EXPECT_DOUBLE_EQ(40.0, garbage->weight(TaskType::Download)) << content;
        EXPECT_DOUBLE_EQ(11.5 * 1.25, garbage->weight(TaskType::Delta)) << content;
    }
}

TEST_F(TaskWeightsTest, SavesLearntWeightsInTheFixedLayoutOnDestruction) {
    {
        TaskWeights w;
        w.load(file); // missing: defaults, but the path is remembered
        w.set(TaskType::Delta, {12.25, false});
        w.set(TaskType::SHA1, {std::numeric_limits<double>::infinity(), false});
    }
    EXPECT_EQ("     Delta 12.25000\r\n", testsupport::readFile(file));
    EXPECT_DOUBLE_EQ(12.25, loaded(testsupport::readFile(file))->weight(TaskType::Delta));
    TaskWeights unwritable;
    unwritable.load(dir.file("no/such/dir/weights.txt"));
    unwritable.set(TaskType::Delta, {2.0, false}); // only logged when it goes
}

TEST_F(TaskWeightsTest, OnlyObservedTasksThatRanLongerThanFiveSecondsTeach) {
    TaskWeights w;
    std::vector<double> learnt;
    for (const auto& [ms, observed] : {std::pair{5000, true}, {8000, false}, {8000, true}}) {
        {
            CountingObserver observer;
            Task t(TaskType::Extract, &w, 0, &fakeClock);
            gNowMs = 0;
            if (observed)
                t.setObserver(&observer);
            t.start(1000000, 0, "x");
            t.update(1);
            gNowMs = ms;
            t.update(999999);
        } // learnt when the task goes
        learnt.push_back(w.weight(TaskType::Extract));
    }
    EXPECT_EQ((std::vector<double>{1.2, 1.2, 800.0}), learnt); // the last: 125 bytes per millisecond
}
