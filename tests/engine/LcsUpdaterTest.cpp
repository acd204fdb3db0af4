#include "engine/LcsUpdater.h"

#include "base/Singleton.h"
#include "distr/ControlFile.h"
#include "base/RootStorage.h"
#include "progress/IpcMessages.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

#include <Poco/Path.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <chrono>
#include <thread>

#include <sys/stat.h>

using namespace Patcher;
using testsupport::LogCapture;
using testsupport::TempDir;
using testsupport::readFile;

namespace {

// A notifier the test can drive.
class Notifier : public MulticastNotifier<TotalProgressObserver> {
public:
    void notify(const TotalProgressRecord& record) {
        notifyAll([&](TotalProgressObserver* o) { o->onTotalProgress(record); });
    }
};

class LcsUpdaterTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The adapter as fetched: plain data in the metadata directory.
        adapter = dir.file("My Game/.kvo.meta.dir/adapter-my-game.exe");
        testsupport::writeFile(adapter, readFile(testsupport::buildDir() + "tests/engine/fake_adapter"));
        ::chmod(adapter.c_str(), 0644);
        ::setenv("FAKE_ADAPTER_LOG", dir.file("adapter.log").c_str(), 1);
    }
    void TearDown() override {
        for (const char* name : {"FAKE_ADAPTER_LOG", "FAKE_ADAPTER_EXIT", "FAKE_ADAPTER_STDERR", "FAKE_ADAPTER_STDOUT",
                                 "FAKE_ADAPTER_QUIT_EARLY", "FAKE_ADAPTER_HANG"})
            ::unsetenv(name);
    }
    std::vector<std::string> adapterLog() {
        auto lines = testsupport::split(readFile(dir.file("adapter.log")), '\n');
        lines.pop_back(); // after the last newline
        return lines;
    }

    TempDir dir;
    std::string adapter;
    Notifier notifier;
};

} // namespace

TEST_F(LcsUpdaterTest, StageRangeCoversEveryEntry) {
    Singleton<RootStorage>::create();
    auto range = [](const std::string& text) {
        ControlFile files;
        files.parse(text);
        LcsUpdater stages(nullptr, "");
        stages.assignStageRange(files);
        return std::make_pair(stages.firstStage(), stages.lastStage());
    };
    EXPECT_EQ(std::make_pair(1u, 1u), range("0|a|h||p|0|1|\n0|b|h||p|0|1||\n"));
    EXPECT_EQ(std::make_pair(1u, 5u), range("0|a|h||p|0|1||1\n0|b|h||p|0|1||2\n0|c|h||p|0|1||5\n"));
    EXPECT_EQ(std::make_pair(0u, 3u), range("0|a|h||p|0|1||0\n0|b|h||p|0|1||3\n"));
    Singleton<RootStorage>::destroy();
}

// Progress and the adapter's exit code reach it in every staged install; here
// what those runs do not show.
TEST_F(LcsUpdaterTest, TheAdapterIsSetUpFirstAndATextTooLongIsDroppedWithoutEndingTheChannel) {
    {
        LcsUpdater updater(&notifier, adapter, dir.path());
        updater.send(std::string(8191, 'x'));
        updater.send("{\"after\": 1}");
        EXPECT_TRUE(updater.errorText().empty());
    }
    EXPECT_FALSE(notifier.hasObservers());
    const std::string logName = Poco::Path::temp() + "adapter-my-game.log";
    EXPECT_EQ((std::vector<std::string>{"cwd " + dir.path().substr(0, dir.path().size() - 1),
                                        "msg " + setupMessage(dir.file("My Game/"), "", logName),
                                        "msg {\"after\": 1}", "eof"}),
              adapterLog());
}

TEST_F(LcsUpdaterTest, AdapterErrorsAreReportedAtTheEnd) {
    LogCapture log;
    ::setenv("FAKE_ADAPTER_STDERR", "cannot open the game window\n", 1);
    {
        LcsUpdater updater(&notifier, adapter, dir.path());
        updater.send(std::string(70000, 'x'));
        EXPECT_EQ("message size is too big for packing with single call", updater.errorText());
    }
    // The first failure wins over the adapter's own text.
    EXPECT_EQ((std::vector<std::string>{"Error in adapter: message size is too big for packing with single call"}),
              log.texts(Poco::Message::PRIO_ERROR));

    // The errors logged by a channel that sends nothing.
    const auto quietRun = [&] {
        log.clear();
        { LcsUpdater updater(&notifier, adapter, dir.path()); }
        return log.texts(Poco::Message::PRIO_ERROR);
    };
    EXPECT_EQ(std::vector<std::string>{"Error in adapter: cannot open the game window"}, quietRun());

    // What it writes on its standard output is its error text.
    ::setenv("FAKE_ADAPTER_STDOUT", "stage 2 files are missing\n", 1);
    EXPECT_EQ(std::vector<std::string>{"Error in adapter: stage 2 files are missing"}, quietRun());
}

TEST_F(LcsUpdaterTest, AnAdapterThatQuitsDoesNotStopTheRun) {
    LogCapture log;
    ::setenv("FAKE_ADAPTER_QUIT_EARLY", "0", 1);
    {
        LcsUpdater updater(&notifier, adapter, dir.path());
        // Keep sending until the closed pipe shows; the process must survive it.
        TotalProgressRecord record;
        for (int i = 0; i < 2000 && updater.errorText().empty(); ++i) {
            notifier.notify(record);
            if (i % 100 == 99)
                std::this_thread::yield();
        }
        EXPECT_FALSE(updater.errorText().empty());
    }
    ASSERT_EQ(1u, log.texts(Poco::Message::PRIO_ERROR).size());
    EXPECT_EQ(0u, log.texts(Poco::Message::PRIO_ERROR)[0].find("Error in adapter: "));

    EXPECT_THROW(LcsUpdater(&notifier, dir.file("missing-adapter.exe"), dir.path()), Poco::FileException);
}

TEST_F(LcsUpdaterTest, AnAdapterThatStopsReadingAndNeverExitsIsGivenUpOn) {
    LogCapture log;
    ::setenv("FAKE_ADAPTER_HANG", "1", 1);
    const auto started = std::chrono::steady_clock::now();
    {
        LcsUpdater updater(&notifier, adapter, dir.path());
        updater.setTimeout(300);
        // Far more than a pipe holds: without a bound the first full pipe blocks for good.
        TotalProgressRecord record;
        record.item = std::string(4000, 'i');
        for (int i = 0; i < 200; ++i)
            notifier.notify(record);
        EXPECT_NE(std::string::npos, updater.errorText().find("did not read its input")) << updater.errorText();
    }
    // One timed-out write, then the wait for its exit: well under a blocked run.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    const auto errors = log.texts(Poco::Message::PRIO_ERROR);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(0u, errors[0].find("Error in adapter: "));
    EXPECT_NE(std::string::npos, errors[0].find("did not read its input")) << errors[0];
}
