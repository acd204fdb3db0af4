#include "base/Task.h"
#include "base/TaskWeights.h"

#include "base/CmdHandler.h"
#include "base/Errors.h"
#include "tests/support/TempDir.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

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

// A task of the given total, started and observed, on the fake clock.
struct ObservedTask {
    explicit ObservedTask(std::int64_t total, TaskWeights* weights = nullptr, int interval = 1000)
        : task(TaskType::Download, weights, interval, &fakeClock) {
        gNowMs = 0;
        task.setObserver(&observer);
        task.start(total, 0, "http://host/distr/");
        observer.calls = 0;
    }
    CountingObserver observer;
    Task task;
};

void expectInternalError(const std::function<void()>& fn, const std::string& message) {
    try {
        fn();
        ADD_FAILURE() << "expected InternalError: " << message;
    } catch (const InternalError& e) {
        EXPECT_EQ(message, e.message());
        EXPECT_EQ(3, e.code());
    }
}

} // namespace

TEST(TaskTest, NamesConvertBothWaysAndUnknownOnesAreInternalErrors) {
    EXPECT_EQ("Download", taskTypeName(TaskType::Download));
    EXPECT_EQ(TaskType::Check, taskTypeFromName("Check"));
    EXPECT_EQ("Paused", taskStatusName(TaskStatus::Paused));
    EXPECT_EQ(TaskStatus::Done, taskStatusFromName("Done"));
    expectInternalError([] { taskTypeName(static_cast<TaskType>(8)); }, "Unknown task type: 8");
    expectInternalError([] { taskTypeFromName("download"); }, "Unknown task type name: download");
    expectInternalError([] { taskStatusName(static_cast<TaskStatus>(-1)); }, "Unknown task status: -1");
    expectInternalError([] { taskStatusFromName("Stopped"); }, "Unknown task status name: Stopped");
}

TEST(TaskTest, IdsComeFromOneCounterInCreationOrder) {
    Task a(TaskType::SHA1, nullptr, 1000);
    Task b(TaskType::Delta, nullptr, 1000);
    EXPECT_GE(a.id(), 1u);
    EXPECT_EQ(a.id() + 1, b.id());
}

TEST(TaskTest, StartSkipsEmptyTasksAndCompletesTasksAlreadyDone) {
    Task empty(TaskType::Extract, nullptr, 1000);
    empty.start(0, 0, "x");
    EXPECT_EQ(TaskStatus::Skipped, empty.status());
    EXPECT_EQ(100.0, empty.percent());

    Task over(TaskType::Extract, nullptr, 1000);
    over.start(10, 12, "x");
    EXPECT_EQ(TaskStatus::Done, over.status());
    EXPECT_EQ(10, over.done());
    EXPECT_EQ(100.0, over.percent());

    Task resumed(TaskType::Download, nullptr, 1000);
    resumed.start(200, 50, "x");
    EXPECT_EQ(TaskStatus::Waiting, resumed.status());
    EXPECT_DOUBLE_EQ(25.0, resumed.percent());
    EXPECT_DOUBLE_EQ(100000.0, resumed.speed()); // no weights: weight 1
}

TEST(TaskTest, StatusTransitionsFollowTheTable) {
    const TaskStatus all[] = {TaskStatus::Waiting, TaskStatus::Running, TaskStatus::Skipped, TaskStatus::Paused,
                              TaskStatus::Done};
    const bool allowed[5][5] = {
        {false, true, true, false, true},    {false, true, false, true, true},     {false, false, true, false, false},
        {false, true, false, false, false},  {false, false, false, false, false},
    };
    // Brings a fresh task into the given status through allowed steps only.
    auto reach = [](Task& t, TaskStatus s) {
        t.start(s == TaskStatus::Skipped ? 0 : 10, 0, "x");
        if (s == TaskStatus::Running || s == TaskStatus::Paused || s == TaskStatus::Done)
            t.setStatus(TaskStatus::Running);
        if (s == TaskStatus::Paused)
            t.setStatus(TaskStatus::Paused);
        if (s == TaskStatus::Done)
            t.setStatus(TaskStatus::Done);
        ASSERT_EQ(s, t.status());
    };
    for (int from = 0; from < 5; ++from) {
        for (int to = 0; to < 5; ++to) {
            Task t(TaskType::SHA1, nullptr, 1000);
            reach(t, all[from]);
            if (allowed[from][to]) {
                EXPECT_NO_THROW(t.setStatus(all[to])) << from << "->" << to;
                EXPECT_EQ(all[to], t.status());
            } else {
                expectInternalError([&] { t.setStatus(all[to]); }, "Invalid transition from '" +
                                                                       taskStatusName(all[from]) + "' to '" +
                                                                       taskStatusName(all[to]) + "'");
                EXPECT_EQ(all[from], t.status());
            }
        }
    }
}

TEST(TaskTest, PauseAndActivateReturnToTheSavedStatus) {
    Task t(TaskType::SHA1, nullptr, 1000);
    t.start(100, 0, "x");
    t.activate();
    EXPECT_EQ(TaskStatus::Running, t.status());
    t.update(10);
    t.pause();
    t.pause(); // already paused: nothing
    EXPECT_EQ(TaskStatus::Paused, t.status());
    expectInternalError([&] { t.update(5); }, "Attempt to update task in a status: Paused");
    t.activate();
    EXPECT_EQ(TaskStatus::Running, t.status());

    Task done(TaskType::SHA1, nullptr, 1000);
    done.start(5, 5, "x");
    done.activate(); // a finished task stays finished
    EXPECT_EQ(TaskStatus::Done, done.status());
}

TEST(TaskTest, UpdateCountsClampsAndFinishes) {
    ObservedTask o(100);
    o.task.setCurrentItem("a.bin", 60);
    o.task.update(40);
    EXPECT_EQ(TaskStatus::Running, o.task.status());
    EXPECT_DOUBLE_EQ(40.0, o.task.percent());
    EXPECT_EQ(40, o.task.currentItemDone());
    o.task.update(100); // beyond the total
    EXPECT_EQ(100, o.task.done());
    EXPECT_EQ(TaskStatus::Done, o.task.status());
    EXPECT_DOUBLE_EQ(100.0, o.task.percent());
    int calls = o.observer.calls;
    o.task.update(5); // after Done: ignored
    EXPECT_EQ(100, o.task.done());
    EXPECT_EQ(calls, o.observer.calls);
}

TEST(TaskTest, NotificationsKeepTheIntervalExceptAtBoundaries) {
    ObservedTask o(1000);
    o.task.setCurrentItem("big.pak", 900);
    o.task.update(10); // first progress: always told
    EXPECT_EQ(1, o.observer.calls);
    gNowMs = 500;
    o.task.update(10); // within the interval
    EXPECT_EQ(1, o.observer.calls);
    o.task.update(10, true); // forced
    EXPECT_EQ(2, o.observer.calls);
    gNowMs = 1600;
    o.task.update(10); // interval passed
    EXPECT_EQ(3, o.observer.calls);
    gNowMs = 1700;
    o.task.update(860); // the current item completes
    EXPECT_EQ(4, o.observer.calls);
    o.task.setCurrentItem("small", 500);
    gNowMs = 1800;
    o.task.update(100); // the task completes
    EXPECT_EQ(5, o.observer.calls);
    EXPECT_EQ(1000, o.observer.lastDone);
}

TEST(TaskTest, SpeedIsMeasuredOverRunningTimeOnly) {
    ObservedTask o(10000000);
    EXPECT_DOUBLE_EQ(100000.0, o.task.speed()); // the expected speed at start
    o.task.update(1000);
    gNowMs = 5000;
    o.task.update(49000); // 50000 bytes since the last speed point, over 5000 ms
    EXPECT_DOUBLE_EQ((50000 / 5000 + 100000.0) * 0.5, o.task.speed());
    EXPECT_EQ(5000, o.task.elapsedMs());

    o.task.pause();
    gNowMs = 60000; // paused time does not count
    o.task.activate();
    gNowMs = 61000;
    o.task.update(o.task.total() - o.task.done());
    EXPECT_EQ(6000, o.task.elapsedMs());
    EXPECT_DOUBLE_EQ(10000000.0 / 6000.0, o.task.speed()); // finished: the overall average
}

TEST(TaskUpdaterTest, BytesReachTheTaskInMebibyteBatchesAtItemsAndAtTheEnd) {
    StopState stop;
    auto task = std::make_shared<Task>(TaskType::Extract, nullptr, 1000);
    task->start(10 * TaskUpdater::kBatchBytes, 0, "x");
    {
        TaskUpdater updater(task, stop);
        EXPECT_EQ(TaskStatus::Running, task->status());
        updater.onItem("a", 2000000);
        updater.onBytes(TaskUpdater::kBatchBytes - 1);
        EXPECT_EQ(0, task->done());
        updater.onItem("b", 10);
        EXPECT_EQ(TaskUpdater::kBatchBytes - 1, task->done());
        EXPECT_EQ("b", task->currentItem());
        updater.onBytes(TaskUpdater::kBatchBytes);
        EXPECT_EQ(2 * TaskUpdater::kBatchBytes - 1, task->done());
        updater.onBytes(7);
    }
    EXPECT_EQ(2 * TaskUpdater::kBatchBytes + 6, task->done());
    EXPECT_EQ(TaskStatus::Paused, task->status()) << "running time covers only work";

    TaskUpdater again(task, stop); // resumes the paused task
    EXPECT_EQ(TaskStatus::Running, task->status());
}

TEST(TaskUpdaterTest, PollsTheStopStateAtItemsAndBatches) {
    StopState stop;
    stop.setMessage("Patcher::DistrManager::applyPatch");
    TaskUpdater noTask(nullptr, stop);
    noTask.onBytes(100);
    stop.stop();
    noTask.onBytes(100); // below a batch: no poll
    EXPECT_THROW(noTask.onBytes(TaskUpdater::kBatchBytes), Interrupted);
    try {
        noTask.onItem("c", 1);
        FAIL();
    } catch (const Interrupted& e) {
        EXPECT_EQ("Patcher::DistrManager::applyPatch", e.message());
    }
}

class TaskWeightsTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    std::string file = dir.file("weights-live.txt");
};

TEST_F(TaskWeightsTest, OverridingOneDefaultRescalesOnlyTheOtherDefaults) {
    testsupport::writeFile(file, "Download 40\r\nSHA1 3\r\n");
    TaskWeights w;
    w.load(file);
    const double r1 = 40.0 / 32.0;
    EXPECT_DOUBLE_EQ(40.0, w.weight(TaskType::Download));
    EXPECT_DOUBLE_EQ(3.0, w.weight(TaskType::SHA1));
    const double r2 = 3.0 / (1.5 * r1);
    // The six still default after both lines were scaled by both ratios.
    EXPECT_DOUBLE_EQ(2.2 * r1 * r2, w.weight(TaskType::Packing));
    EXPECT_DOUBLE_EQ(0.2 * r1 * r2, w.weight(TaskType::Uninstall));
    double sum = 40.0 + 3.0 + (2.2 + 9.3 + 11.5 + 1.2 + 0.2 + 1.5) * r1 * r2;
    EXPECT_NEAR(sum, w.totalWeight(), 1e-9);

    expectInternalError([&] { w.set(TaskType::Check, {5.0, true}); }, "Existing default value change attempt.");
}

TEST_F(TaskWeightsTest, GarbageEndsReadingAndKeepsWhatCameBefore) {
    struct Case {
        const char* content;
        double download;
        double delta;
    };
    const double r = 40.0 / 32.0;
    const Case cases[] = {
        {"Download 40\nBogus 3\nDelta 7\n", 40.0, 11.5 * r}, // unknown name
        {"Download 40\nDelta seven\n", 40.0, 11.5 * r},      // not a number
        {"Download 40\nDelta 0\nSHA1 3\n", 40.0, 11.5 * r},  // a weight of zero
        {"Download 40\nDelta -2\n", 40.0, 11.5 * r},         // negative
        {"", 32.0, 11.5},
    };
    for (const Case& c : cases) {
        testsupport::writeFile(file, c.content);
        TaskWeights w;
        w.load(file);
        EXPECT_DOUBLE_EQ(c.download, w.weight(TaskType::Download)) << c.content;
        EXPECT_DOUBLE_EQ(c.delta, w.weight(TaskType::Delta)) << c.content;
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

    TaskWeights reread;
    reread.load(file);
    EXPECT_DOUBLE_EQ(12.25, reread.weight(TaskType::Delta));
}

TEST_F(TaskWeightsTest, AnUnwritableFileIsOnlyLogged) {
    {
        TaskWeights w;
        w.load(dir.file("no/such/dir/weights.txt"));
        w.set(TaskType::Delta, {2.0, false});
    } // must not throw
    EXPECT_FALSE(Poco::File(dir.file("no/such/dir/weights.txt")).exists());
}

TEST_F(TaskWeightsTest, OnlyObservedTasksThatRanLongerThanFiveSecondsTeach) {
    TaskWeights w;
    auto run = [&](int ms, bool observed) {
        CountingObserver observer;
        Task t(TaskType::Extract, &w, 0, &fakeClock);
        gNowMs = 0;
        if (observed)
            t.setObserver(&observer);
        t.start(1000000, 0, "x");
        t.update(1);
        gNowMs = ms;
        t.update(999999); // Done: speed = 1000000 / ms
    };
    run(5000, true);
    EXPECT_DOUBLE_EQ(1.2, w.weight(TaskType::Extract));
    run(8000, false);
    EXPECT_DOUBLE_EQ(1.2, w.weight(TaskType::Extract));
    run(8000, true);
    EXPECT_DOUBLE_EQ(100000.0 / (1000000.0 / 8000.0), w.weight(TaskType::Extract));
}
