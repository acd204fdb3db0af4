// Runs stopped half way, from the launcher and by SIGINT, and the runs after
// them: they resume instead of starting over.
#include "tests/engine/EndToEndSupport.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;
using testsupport::ChildProcess;
using testsupport::readFile;

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

// Files under dir whose name contains fragment.
std::vector<std::string> filesLike(const std::string& dir, const std::string& fragment) {
    std::vector<std::string> out;
    if (!fs::is_directory(dir))
        return out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file() && e.path().filename().string().find(fragment) != std::string::npos)
            out.push_back(e.path().string());
    return out;
}

class EndToEndStop : public EndToEndTest {
protected:
    EndToEndStop() { nginxOptions_.slowRate = "64k"; }
};

// A run stopped by the launcher, and one whose server goes away, while the
// only package is coming in: each keeps what it had, and the run after it
// continues from there.
TEST_F(EndToEndStop, StoppedOrFailedRunKeepsItsDownload) {
    const std::string content =
        publishTree({{"movie.bin", noise(2 << 20, 1)}, {"readme.txt", text(1000, 2)}}, "1.0");
    const std::int64_t packSize = static_cast<std::int64_t>(fs::file_size(site() + "game/1.0/stage1-0001.pak"));
    // Short retry pauses, so that the run gives up on the vanished server soon.
    Updater updater({{"app.max-simultaneous-connection", "4"},
                     {"app.min-segment-size", "262144"},
                     {"app.retry-delay", "0.01"},
                     {"app.retry-delay-max", "0.05"},
                     {"app.retry-time", "2"}});
    const std::string source = slowUrl("game/1.0/");

    // The launcher's stop: the next run continues from the ".downloading#" record.
    ChildProcess launcher(launcherProgram(), {"--on-progress", "2=stop", "--timeout", "60"});
    const int port = launcherPort(launcher);
    ASSERT_NE(0, port) << launcher.err();
    // No console display: the launcher hears of the progress all the same.
    Outcome stopped = update(updater, source,
                         {"--game-id", "7", "--server-port", std::to_string(port), "--progress-update-freq", "200"});
    EXPECT_RUN(stopped, 70);
    EXPECT_LOGS(stopped, "INTERRUPTED: ");
    EXPECT_EQ(0, launcher.wait(20000)) << launcher.out() << launcher.err();
    EXPECT_NE(std::string::npos, launcher.out().find("\"exit\"")) << launcher.out();
    EXPECT_FALSE(filesLike(dest() + ".kvo.tmp.dir", ".downloading#").empty()) << "the download went\n" << stopped.log;
    const std::int64_t first = bytesFor(nginx().requests(), ".pak");
    EXPECT_LT(first, packSize) << "the stop came after the download ended";

    std::size_t before = nginx().requests().size();
    installs(updater, source, content);
    const std::int64_t second = bytesFor(nginx().requests(), ".pak", before);
    EXPECT_LT(second, packSize);
    EXPECT_GE(first + second, packSize);
    bool fromMiddle = false;
    for (const auto& q : requestsFor(nginx(), ".pak", before))
        fromMiddle = fromMiddle || (q.range.rfind("bytes=", 0) == 0 && q.range.rfind("bytes=0-", 0) != 0);
    EXPECT_TRUE(fromMiddle) << "no range request starting inside the package";

    // The server gone: the run fails after its retries.
    fs::remove_all(dest());
    auto child = updater.start({"--url", source, "--dest", dest()});
    waitFor([&] { return !filesLike(dest() + ".kvo.tmp.dir", "stage1-0001.pak").empty() || !child->running(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    nginx().stopServing();
    Outcome failed = updater.finish(*child);
    EXPECT_RUN(failed, 70);
    EXPECT_FALSE(failed.logs("INTERRUPTED: ")) << failed.log;
    EXPECT_FALSE(filesLike(dest() + ".kvo.tmp.dir", ".downloading#").empty())
        << "the download was thrown away: " << testing::PrintToString(filesLike(dest(), "")) << "\n"
        << failed.describe();
    EXPECT_EQ(Tree{}, readTree(dest() + "movie.bin"));

    nginx().resumeServing();
    before = nginx().requests().size();
    installs(updater, source, content);
    EXPECT_LT(bytesFor(nginx().requests(), ".pak", before), packSize);
}

// A SIGINT once the files of a package start to appear, so that the package is
// downloaded but not yet extracted: the next run uses it, not fetching it again.
class EndToEndInterrupted : public EndToEndTest {};

TEST_F(EndToEndInterrupted, PendingPackageAfterSigint) {
    // Many small files (extracted slowly enough to be caught in the act) and
    // one larger file, in two packages.
    Tree tree;
    for (int i = 0; i < 600; ++i)
        tree["many/file" + std::to_string(i) + ".bin"] = noise(1200, 100 + i);
    tree["big/archive.bin"] = noise(600000, 3);
    const std::string content = publishTree(tree, "1.0", "game", {"--package-size", "512K"});
    Updater updater;
    auto child = updater.start({"--url", url("game/1.0/"), "--dest", dest()});
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    while (filesLike(dest() + "many", "").size() < 20 && child->running() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    child->signal(SIGINT);
    Outcome stopped = updater.finish(*child, 120000);
    ASSERT_RUN(stopped, 70);
    EXPECT_LOGS(stopped, "INTERRUPTED: ");
    const std::string list = dest() + ".kvo.tmp.dir/.kvo.pending.packs.txt";
    ASSERT_TRUE(exists(list)) << "no pending package list after the stop\n" << stopped.describe();
    const std::string pending = readFile(list).substr(0, readFile(list).find('\r'));
    ASSERT_TRUE(exists(pending)) << readFile(list);
    const std::size_t before = nginx().requests().size();
    installs(updater, url("game/1.0/"), content);
    const std::string name = fs::path(pending).filename().string();
    EXPECT_TRUE(requestsFor(nginx(), name.substr(name.find('}') + 1), before).empty()) << name;
}

} // namespace
} // namespace e2e
