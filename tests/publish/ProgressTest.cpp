#include "platform/Terminal.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"
#include "tools/publish/Progress.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace Patcher;
using testsupport::Pty;
using testsupport::TempDir;

namespace {

using Clock = std::chrono::steady_clock;

// A reporter drawn only by tick(), on a clock the test moves.
struct Drawn {
    PublishStats stats;
    Clock::time_point now = Clock::time_point() + std::chrono::hours(1);
    std::unique_ptr<ProgressReporter> reporter;

    explicit Drawn(int fd) {
        ProgressReporter::Options o;
        o.drawThread = false;
        o.clock = [this] { return now; };
        reporter = std::make_unique<ProgressReporter>(stats, std::make_unique<platform::Terminal>(fd), o);
        stats.filesTotal = 40;
    }
    void at(double seconds, std::int64_t bytesDone, int filesDone) {
        now += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        stats.bytesDone = bytesDone;
        stats.filesDone = filesDone;
        reporter->tick();
    }
};

constexpr std::int64_t kMiB = 1 << 20;

} // namespace

TEST(PublishProgress, OnATerminalABarIsRedrawnInPlaceWithBytesFilesRateAndTimeLeft) {
    Pty pty(72);
    Drawn d(pty.slave());
    d.reporter->phase("packing", 100 * kMiB);
    d.at(0, 0, 0);
    std::string out = pty.drain();
    // Nothing done yet: no rate to tell.
    EXPECT_NE(out.find("-- MiB/s  --:-- left"), std::string::npos) << out;

    d.at(5, 25 * kMiB, 10);
    out = pty.drain();
    ASSERT_EQ(out.rfind('\r', 0), 0u) << out;
    ASSERT_GE(out.size(), 3u);
    EXPECT_EQ(out.substr(out.size() - 3), "\x1b[K");
    const std::string bar = out.substr(1, out.size() - 4);
    EXPECT_EQ(bar.find('\n'), std::string::npos);
    EXPECT_LE(bar.size(), 71u) << "the bar must never reach the last column";
    EXPECT_EQ(bar.rfind("packing [", 0), 0u) << bar;
    for (const char* part : {"[#    ", " 25% ", "25.0/100.0 MiB", "files 10/40", "5.0 MiB/s", "0:15 left"})
        EXPECT_NE(bar.find(part), std::string::npos) << part << " in " << bar;

    // A warning clears the bar and scrolls above it; the next tick draws it again.
    d.reporter->warn("something");
    out = pty.drain();
    EXPECT_EQ(out, "\r\x1b[Kpatcher-publish: warning: something\n");
    d.at(5, 50 * kMiB, 20);
    EXPECT_NE(pty.drain().find("0:10 left"), std::string::npos);

    // Deltas are counted once there are any; a narrow terminal drops the bar.
    Pty narrow(40);
    Drawn n(narrow.slave());
    n.stats.deltasTotal = 3;
    n.stats.deltasDone = 1;
    n.reporter->phase("writing", 10 * kMiB);
    n.at(1, kMiB, 1);
    out = narrow.drain();
    EXPECT_EQ(out.find("writing ["), std::string::npos) << out;
    EXPECT_NE(out.find("writing  10%"), std::string::npos) << out;
    EXPECT_LE(out.size(), 1u + 39u + 3u) << out;

    // Finishing removes the bar.
    d.reporter->finish();
    EXPECT_EQ(pty.drain(), "\r\x1b[K");
    d.at(1, 60 * kMiB, 20);
    EXPECT_EQ(pty.drain(), "");
}

TEST(PublishProgress, RedirectedItWritesPlainLinesAtThePhaseStartAndEveryTenth) {
    TempDir dir;
    const std::string log = dir.file("log");
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    {
        Drawn d(fd);
        d.reporter->phase("scanning", 0);
        d.at(0, 0, 0);
        d.at(1, 0, 0);
        d.reporter->phase("packing", 100 * kMiB);
        d.at(0, 0, 0);
        d.at(1, 5 * kMiB, 2);   // same tenth: nothing
        d.at(1, 12 * kMiB, 4);  // a new tenth
        d.at(1, 19 * kMiB, 5);  // same tenth
        d.reporter->warn("w");
        d.at(2, 100 * kMiB, 40);
        d.stats.deltasTotal = 2;
        d.reporter->phase("verifying", 10 * kMiB);
        d.at(1, 0, 40);
    }
    ::close(fd);
    // Plain lines: no carriage returns, no escapes.
    EXPECT_EQ(testsupport::readFile(log), "scanning\n"
                                          "packing: 0% 0.0/100.0 MiB  files 0/40  -- MiB/s  --:-- left\n"
                                          "packing: 12% 12.0/100.0 MiB  files 4/40  6.0 MiB/s  0:15 left\n"
                                          "patcher-publish: warning: w\n"
                                          "packing: 100% 100.0/100.0 MiB  files 40/40  20.0 MiB/s  0:00 left\n"
                                          "verifying: 0% 0.0/10.0 MiB  files 40/40  deltas 0/2  -- MiB/s  --:-- left\n");
}
