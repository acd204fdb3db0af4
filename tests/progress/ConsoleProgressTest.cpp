#include "progress/ConsoleProgress.h"

#include "base/ConsoleOutput.h"
#include "base/Errors.h"
#include "base/Singleton.h"
#include "base/Task.h"
#include "platform/Terminal.h"
#include "platform/WindowLabel.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

#include <Poco/Exception.h>

#include <gtest/gtest.h>

#include <cmath>
#include <fcntl.h>
#include <unistd.h>
#include <functional>

using namespace Patcher;

namespace {

// The console writer as a process-wide singleton over the given descriptor;
// destroying it writes everything queued.
struct ConsoleOn {
    explicit ConsoleOn(int fd) { Singleton<ConsoleOutput>::create(std::make_unique<platform::Terminal>(fd)); }
    ~ConsoleOn() { Singleton<ConsoleOutput>::destroy(); }
};

// Displays whose render() a test may call directly (no progress thread runs).
template <class Display>
struct Drawn : Display {
    using Display::Display;
    using Display::render;
};

// What the console writer puts into a file (the console redirected) while draw runs.
std::string drawnIntoFile(const std::function<void()>& draw) {
    testsupport::TempDir dir;
    const int fd = ::open(dir.file("out.txt").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    {
        ConsoleOn console(fd);
        draw();
    }
    ::close(fd);
    return testsupport::readFile(dir.file("out.txt"));
}

} // namespace

TEST(FormattingTest, ProgressBar) {
    std::string bar42 = " 42% [" + std::string(29, '=') + ">" + std::string(42, ' ') + "]";
    EXPECT_EQ(bar42, progressBar(42.4, 80));
    EXPECT_EQ("100% [" + std::string(71, '=') + ">]", progressBar(99.5, 80));
    EXPECT_EQ("  0% [" + std::string(72, ' ') + "]", progressBar(-0.6, 80)); // rounding truncates toward zero
    EXPECT_EQ("  1% [" + std::string(72, ' ') + "]", progressBar(1.0, 80)); // less than one column
    EXPECT_EQ("  2% [=" + std::string(71, ' ') + "]", progressBar(2.0, 80));  // a single '=' keeps its shape
    EXPECT_EQ(" 50% [" + std::string(49, '=') + ">" + std::string(50, ' ') + "]", progressBar(50.0, 200));
    EXPECT_EQ(107u, progressBar(50.0, 5).size()) << "a bar of 100 when the console is narrower than 8";

    // The text is checked where the progress thread logs it.
    for (double bad : {-1.6, 100.5, 250.0, std::nan("")}) {
        try {
            progressBar(bad, 80);
            ADD_FAILURE() << bad;
        } catch (const InternalError& e) {
            EXPECT_EQ(3, e.code());
        }
    }
}

TEST(FormattingTest, SizesAndLines) {
    EXPECT_EQ("0 B", formatSize(0));
    EXPECT_EQ("1023 B", formatSize(1023));
    EXPECT_EQ("1.00 KB", formatSize(1024));
    EXPECT_EQ("1.50 KB", formatSize(1536));
    EXPECT_EQ("3.25 GB", formatSize(3LL * (1 << 30) + (1 << 28)));

    EXPECT_EQ(std::string(9, ' '), fitLine("", 10));
    EXPECT_EQ("abc      ", fitLine("abc", 10));
    EXPECT_EQ("abcdefghi", fitLine("abcdefghijkl", 10));
    EXPECT_EQ("ä€abcdefg", fitLine("ä€abcdefghij", 10)) << "characters, not bytes";

    EXPECT_EQ(".. ij", truncateLeft("abcdefghij", 6));
    EXPECT_EQ(".. ef", truncateLeft("abcdef", 6)) << "exactly n - 1 characters";
    EXPECT_EQ("abcd", truncateLeft("abcd", 6));
    EXPECT_EQ(".. ßé", truncateLeft("xxßßßé", 6));

    EXPECT_EQ("too long", centredBanner("too long", '=', 10));
    EXPECT_EQ(std::string(39, '=') + "  " + std::string(39, '='), centredBanner("", '=', 80));
    EXPECT_EQ(std::string(78, 'x'), centredBanner(std::string(78, 'x'), '=', 80)) << "no room for the blanks";
    EXPECT_EQ(" " + std::string(77, 'x') + " =", centredBanner(std::string(77, 'x'), '=', 80));
}

TEST(BriefProgressTest, PreparesThenAppendsPlainBlocksWhenRedirected) {
    std::string out = drawnIntoFile([] {
        Drawn<BriefProgress> display(1000);
        display.render(0.0); // no download task yet
        Task download(TaskType::Download, nullptr, 0);
        display.registerTask(download);
        download.start(3 << 20, 1 << 20, "http://host/");
        display.render(33.3);
        display.render(33.3);
    });
    // Redirected: no escapes, whole lines appended.
    std::string block = std::string(79, ' ') + "\n" + progressBar(33.3, 80) + "\n" +
                        fitLine("TOTAL  : ETA: 0s,  elapsed: 0s,  [1.00 MB/3.00 MB]", 80) + "\n";
    EXPECT_EQ("Preparing...\n" + block + block, out);
}

TEST(DetailedProgressTest, DrawsABlockPerTaskThenTheTotals) {
    const std::string item = "data/very/long/path/to/a/package/file/that/does/not/fit/in/one/line/pack01.pak";
    unsigned shaId = 0, downloadId = 0;
    // The display's destruction, as the drawing ends, adds the blank lines after the block.
    const std::string out = drawnIntoFile([&] {
        Drawn<DetailedProgress> display(1000);
        Task sha(TaskType::SHA1, nullptr, 0), download(TaskType::Download, nullptr, 0);
        shaId = sha.id();
        downloadId = download.id();
        display.registerTask(sha);
        display.registerTask(download);
        sha.start(100, 0, "/games/demo");
        download.start(2 << 20, 0, "http://host/distr/");
        download.setCurrentItem(item, 1 << 20);
        download.update(1 << 19);
        display.render(25.0);
    });
    const std::string expected =
        fitLine(std::to_string(shaId) + ". SHA1 /games/demo", 80) + "\n" + fitLine("Waiting...", 80) + "\n" +
        progressBar(0.0, 80) + "\n" + fitLine("         ETA: 0s,  elapsed: 0s,  0 B/s", 80) + "\n\n" +
        fitLine(std::to_string(downloadId) + ". Download http://host/distr/", 80) + "\n" +
        fitLine("Running: " + truncateLeft(item, 80 - 2 - 7), 80) + "\n" + progressBar(25.0, 80) + "\n" +
        fitLine("         ETA: 0s,  elapsed: 0s,  [512.00 KB/1.00 MB,   50%],  95.37 MB/s", 80) + "\n\n" +
        std::string(79, ' ') + "\n" + progressBar(25.0, 80) + "\n" +
        fitLine("TOTAL  : ETA: 0s,  elapsed: 0s,  [512.00 KB/2.00 MB]", 80) + "\n";
    EXPECT_EQ(expected + "\n\n\n\n", out);
}

namespace {

class FakeLabel : public platform::WindowLabel {
public:
    explicit FakeLabel(std::vector<std::string>& writes) : writes_(writes) {}
    std::string text(std::size_t maxChars) override { return std::string("Updating: ").substr(0, maxChars); }
    void setText(const std::string& text) override { writes_.push_back(text); }

private:
    std::vector<std::string>& writes_;
};

} // namespace

// The label of the window the handle names gets the prefix it had and the
// last task's item; without a handle nothing is opened, and a handle that is
// no number is a syntax error.
TEST(DummyProgressTest, WritesThePrefixAndTheLastTasksItemIntoTheLabelItsHandleNames) {
    std::vector<std::string> writes;
    std::vector<std::uintptr_t> opened;
    auto opener = [&](std::uintptr_t handle) {
        opened.push_back(handle);
        return std::make_unique<FakeLabel>(writes);
    };
    Drawn<DummyProgress> none(1000, "", opener);
    none.render(0.0);
    EXPECT_THROW(DummyProgress(1000, "window", opener), Poco::SyntaxException);
    EXPECT_TRUE(opened.empty());

    Drawn<DummyProgress> display(1000, "1A2b", opener);
    EXPECT_EQ(std::vector<std::uintptr_t>{0x1A2B}, opened);
    display.render(0.0);
    Task sha(TaskType::SHA1, nullptr, 0), download(TaskType::Download, nullptr, 0);
    display.registerTask(sha);
    display.registerTask(download);
    download.start(100, 0, "x");
    download.setCurrentItem("pack01.pak", 10);
    download.update(1);
    display.render(1.0);
    EXPECT_EQ((std::vector<std::string>{"Updating: ", "Updating: pack01.pak"}), writes);

    // A platform without labels says so once.
    testsupport::LogCapture log("");
    Drawn<DummyProgress> unavailable(1000, "10");
    unavailable.render(0.0);
    unavailable.render(0.0);
    auto lines = log.texts();
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("not available")) << lines[0];
}

// stop() makes a thread still alive render once more, which would fail again:
// one logged error after stop() shows the thread had ended at the first.
TEST(BriefProgressTest, AnInvalidPercentEndsTheProgressThreadOnly) {
    drawnIntoFile([] {
        testsupport::LogCapture log("");
        BriefProgress display(1);
        Task t(TaskType::Extract, nullptr, 0);
        display.registerTask(t);
        t.start(100, -60, "x"); // -60 % of the volume: a broken report
        display.start("");
        for (int i = 0; i < 2000 && !log.contains("Invalid percent"); ++i)
            Poco::Thread::sleep(5);
        display.stop();
        EXPECT_EQ(std::vector<std::string>{"Internal error: Invalid percent: -59.999"}, log.texts());
        t.update(10); // the work itself goes on
        EXPECT_EQ(-50, t.done());
    });
}
