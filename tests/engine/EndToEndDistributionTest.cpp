// What a publication may carry besides files: stages with an adapter, a
// commands script (environment redirects are the signature tests'); and an
// update that goes wrong on the way: a corrupted delta.
#include "tests/engine/EndToEndSupport.h"

#include <filesystem>

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

namespace e2e {
namespace {

class EndToEndDistribution : public EndToEndTest {};

// Two stages with an adapter, and a commands script run at its points.
TEST_F(EndToEndDistribution, TwoStagesWithAdapterAndScripts) {
    const Tree tree = {
        {"core/game.bin", noise(60000, 1)},
        {"core/start.txt", text(8000, 2)},
        {"stage2/world.dat", text(150000, 3)},
        {"stage2/music.ogg", noise(70000, 4)},
    };
    writeFile(path("stages.txt"), "2 stage2/**\n");
    const std::string calls = path("calls.txt");
    writeFile(path("cmds.bat"), "echo \"$1 $(pwd)\" >> '" + calls + "'\n[ \"$1\" = pre-update ] && exit 3\nexit 0\n");
    const Tree content = readTree(publishTree(tree, "1.0", "game",
                                                  {"--stages", path("stages.txt"), "--adapter", fakeAdapterProgram(),
                                                   "--commands", path("cmds.bat")}));

    const std::string destination = path("My Game/");
    const std::string adapterLog = path("adapter.log");
    Updater updater;
    // No console display: the adapter hears of the progress all the same.
    Outcome r = updater.run({"--url", url("game/1.0/"), "--dest", destination, "--progress-update-freq", "100"},
                        {{"FAKE_ADAPTER_LOG", adapterLog}});
    ASSERT_RUN(r, 0);
    EXPECT_EQ(std::string::npos, r.out.find("Progress monitoring started")) << "a banner without a display";
    EXPECT_EQ("", treeDifferences(destination, content)); // no ".cmd" copy left
    EXPECT_LOGS(r, "Multi-staged distribution. Stages: 2");
    EXPECT_TRUE(exists(destination + ".kvo.meta.dir/adapter-my-game.exe"));
    EXPECT_FALSE(r.logs("Error in adapter: ")) << r.log;

    // The adapter heard of the progress, then of the end of its input.
    ASSERT_TRUE(exists(adapterLog)) << r.log;
    const std::string messages = readFile(adapterLog);
    EXPECT_NE(std::string::npos, messages.find("\"progress\"")) << messages;
    EXPECT_NE(std::string::npos, messages.find("\neof\n")) << messages;

    const std::string destDir = destination.substr(0, destination.size() - 1);
    EXPECT_EQ("pre-update " + destDir + "\npost-update " + destDir + "\n", readFile(calls));
    const std::string from = "\" from \"" + destination + ".kvo.cmd.1.0.control.txt.cmd\" ";
    EXPECT_LOGS(r, "Command \"pre-update" + from + "exit with errors");
    EXPECT_LOGS(r, "Command \"post-update" + from + "successfully executed");

    ASSERT_RUN(updater.run({"--url", url("game/1.0/"), "--dest", destination, "--uninstall"}), 0);
    EXPECT_EQ("pre-update " + destDir + "\npost-update " + destDir + "\ncleanup " + destDir + "\n", readFile(calls));

    // An adapter that fails does not fail the run.
    Outcome failing = updater.run({"--url", url("game/1.0/"), "--dest", destination},
                              {{"FAKE_ADAPTER_LOG", adapterLog}, {"FAKE_ADAPTER_EXIT", "2"}});
    ASSERT_RUN(failing, 0);
    EXPECT_LOGS(failing, "Adapter exit code: 2");
    EXPECT_EQ("", treeDifferences(destination, content));
}

// A delta that cannot restore its file gives way to the file fetched alone, in
// the same run: a corrupted delta package, or an installed file that is not
// what the file cache says (changed without its time moving).
TEST_F(EndToEndDistribution, BrokenDeltaFallsBackToSingleEntry) {
    Tree v1 = {{"world.dat", text(200000, 40)}, {"game.bin", noise(20000, 41)}};
    Tree v2 = v1;
    v2["world.dat"].insert(70000, "a castle on the hill\n");
    publishTree(v1, "1.0");
    const std::string content = publishTree(v2, "1.1", "game", {"--previous", "1.0"});
    const std::string pack = site() + "game/1.1/deltas/1.0/delta-0001.pak";
    ASSERT_TRUE(exists(pack));
    const std::string good = readFile(pack);
    Updater updater;
    for (const bool deltaPackage : {true, false}) {
        SCOPED_TRACE(deltaPackage ? "delta package" : "installed file");
        fs::remove_all(dest());
        writeFile(pack, good);
        ASSERT_RUN(update(updater, url("game/1.0/")), 0);
        if (deltaPackage) {
            std::string bytes = good;
            for (std::size_t i = bytes.size() / 3; i < bytes.size() / 3 + 16; ++i)
                bytes[i] = static_cast<char>(~bytes[i]);
            writeFile(pack, bytes);
        } else {
            const std::string file = dest() + "world.dat";
            const auto time = fs::last_write_time(file);
            std::string bytes = readFile(file);
            bytes.replace(1000, 40, text(40, 99));
            writeFile(file, bytes);
            fs::last_write_time(file, time);
        }
        const std::size_t before = nginx().requests().size();
        Outcome r = installs(updater, url("game/1.1/"), content);
        EXPECT_GT(bytesFor(nginx().requests(), "deltas/1.0/", before), 0);
        EXPECT_GT(bytesFor(nginx().requests(), "game/1.1/stage1-", before), 0) << r.log;
        EXPECT_LOGS(r, deltaPackage ? "SHA1 verification failed for the file: world.dat"
                                    : "Restored file SHA1 differs from expected one. Expected: ");
    }
}

} // namespace
} // namespace e2e
