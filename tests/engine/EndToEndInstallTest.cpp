// The updater as a player runs it: fresh install, no-op, full and plain
// updates, uninstall, from nginx and from a local directory.
#include "tests/engine/EndToEndSupport.h"

#include <chrono>
#include <filesystem>

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

namespace e2e {
namespace {

// A small game: stored and compressed files, an empty one, names with blanks
// and non-ASCII letters, three packages.
Tree gameV1() {
    return {
        {"game.bin", noise(180000, 1)},
        {"data/levels/level1.dat", text(260000, 2)},
        {"data/levels/level2.dat", text(90000, 3)},
        {"data/sounds/theme.ogg", noise(120000, 4)},
        {"data/empty.bin", ""},
        {"docs/read me.txt", text(3000, 5)},
        {"docs/caf\xc3\xa9.txt", text(1500, 6)},
        {"old/obsolete.txt", text(5000, 7)},
        {"old/edited-by-player.txt", text(4000, 8)},
        {"art/hd/stone.tex", noise(9000, 9)}, // "art/" holds no file of its own
    };
}

// Its next release: an edited level (delta), a rewritten sound (single entry),
// new files in a package of their own (whole package), two files removed, and
// a name and its folder's whose letters only change case.
Tree gameV2() {
    Tree t = gameV1();
    std::string& level = t["data/levels/level1.dat"];
    level.insert(100000, "a new room with a chest\n");
    level.replace(200000, 16, "the dragon sleeps");
    t["data/sounds/theme.ogg"] = noise(120000, 40);
    t["video/intro.vid"] = noise(300000, 41); // larger than a package: one of its own
    t["data/new/intro.txt"] = text(20000, 42);
    t.erase("old/obsolete.txt");
    t.erase("old/edited-by-player.txt");
    t["Docs/Read me.txt"] = t.at("docs/read me.txt");
    t.erase("docs/read me.txt");
    return t;
}

const std::vector<std::string> kPackaging = {"--package-size", "200K"};

class EndToEndInstall : public EndToEndTest {};

TEST_F(EndToEndInstall, InstallNoOpFullUpdateAndUninstall) {
    const Tree content = readTree(publishTree(gameV1(), "1.0", "game", kPackaging));
    const std::string source = url("game/1.0/");
    Updater updater;

    Outcome install = installs(updater, source, content);
    EXPECT_LOGS(install, "No previous version is detected");
    // Unsigned and no trusted key configured: installed as ever, said once.
    const std::string notice = "Notice [0] DistrMngr: Publications are not verified";
    EXPECT_NE(std::string::npos, install.log.find(notice)) << install.log;
    EXPECT_EQ(install.log.find(notice), install.log.rfind(notice));

    // Nothing to do: descriptions only, not one package byte.
    expectUpToDate(updater, source);
    EXPECT_EQ("", treeDifferences(dest(), content));

    // A damaged file (its time moved, as any edit does) comes back with a full
    // update, fetched alone rather than with its package.
    std::string level = readFile(dest() + "data/levels/level1.dat");
    level[1234] ^= 0x20;
    writeFile(dest() + "data/levels/level1.dat", level);
    fs::last_write_time(dest() + "data/levels/level1.dat", fs::last_write_time(dest()) - std::chrono::hours(1));
    fs::remove(dest() + "docs/read me.txt");
    const std::size_t before = nginx().requests().size();
    installs(updater, source, content, {"--full"});
    const std::int64_t fetched = bytesFor(nginx().requests(), ".pak", before);
    EXPECT_GT(fetched, 0);
    EXPECT_LT(fetched, 200000) << "whole packages fetched for two files";

    // Uninstall removes what the installation put there, and only that.
    writeFile(dest() + "saves/slot1.sav", "the player's own progress");
    writeFile(dest() + "data/levels/custom.map", "a map the player made");
    Outcome uninstall = updater.run({"--url", source, "--dest", dest(), "--uninstall"});
    ASSERT_RUN(uninstall, 0);
    EXPECT_LOGS(uninstall, "Unidentified files are: ");
    EXPECT_EQ((Tree{{"saves/slot1.sav", "the player's own progress"},
                    {"data/levels/custom.map", "a map the player made"}}),
              readTree(dest()));
    EXPECT_FALSE(exists(dest() + ".kvo.meta.dir"));
    EXPECT_FALSE(exists(dest() + "docs"));
    EXPECT_FALSE(exists(dest() + "art")) << "an empty directory left behind";

    // Uninstalling a clean installation removes the destination itself.
    ASSERT_RUN(update(updater, source), 0);
    fs::remove_all(dest() + "saves");
    fs::remove(dest() + "data/levels/custom.map");
    ASSERT_RUN(updater.run({"--url", source, "--dest", dest(), "--uninstall"}), 0);
    EXPECT_FALSE(exists(dest()));
}

// The update from 1.0 to 1.1, from nginx and from the publication's directory.
TEST_F(EndToEndInstall, DeltasWholePackageSingleEntriesAndDeletedItems) {
    publishTree(gameV1(), "1.0", "game", kPackaging);
    const std::string v2 = publishTree(gameV2(), "1.1", "game", plus(kPackaging, {"--previous", "1.0"}));
    Updater updater;
    for (const bool overHttp : {true, false}) {
        SCOPED_TRACE(overHttp ? "over HTTP" : "from the directory");
        const auto source = [&](const std::string& version) {
            return overHttp ? url("game/" + version + "/") : site() + "game/" + version;
        };
        fs::remove_all(dest());
        ASSERT_RUN(update(updater, source("1.0")), 0);

        // The player edited a file that 1.1 drops: it stays.
        writeFile(dest() + "old/edited-by-player.txt", "my notes");
        fs::last_write_time(dest() + "old/edited-by-player.txt", fs::last_write_time(dest()) - std::chrono::hours(1));

        const std::size_t before = nginx().requests().size();
        Tree expected = readTree(v2);
        expected["old/edited-by-player.txt"] = "my notes";
        Outcome r = installs(updater, source("1.1"), expected);
        for (const char* line : {"Current installed version: 1.0", "Delta files are available",
                                 "Outdated items recoverable by delta: 1 from", "Whole package "})
            EXPECT_LOGS(r, line);
        EXPECT_FALSE(r.logs("Single entries to be processed: 0 from")) << r.log;

        // Metadata of 1.0 gone, that of 1.1 in place.
        Tree meta = readTree(dest() + ".kvo.meta.dir");
        EXPECT_TRUE(meta.count(".kvo.version.1.1.control.txt"));
        EXPECT_TRUE(meta.count(".kvo.files.1.1.control.txt"));
        EXPECT_FALSE(meta.count(".kvo.files.1.0.control.txt"));

        // From the packages only the rewritten sound and the new files (the
        // video whole): the edited level came as a delta.
        if (overHttp) {
            const std::int64_t fetched = bytesFor(nginx().requests(), "game/1.1/stage", before);
            EXPECT_GT(fetched, 300000);
            EXPECT_LE(fetched, 120000 + 300000 + 20000);
            EXPECT_GT(bytesFor(nginx().requests(), "deltas/1.0/", before), 0);
        }

        // And the next run has nothing left to do.
        expectUpToDate(updater, source("1.1"));
        EXPECT_EQ("", treeDifferences(dest(), expected));
    }
}

} // namespace
} // namespace e2e
