#include "tests/engine/EngineTestSupport.h"

#include "base/Errors.h"
#include "distr/Metadata.h"
#include "tests/support/LogCapture.h"

#include <Poco/File.h>

#include <fstream>

using namespace Patcher;
using enginetest::EngineTest;
using enginetest::noise;
using enginetest::digest;
using enginetest::readTree;
using testsupport::LogCapture;

namespace {

class DistrManagerTest : public EngineTest {
protected:
    std::vector<std::string> metadataFiles() {
        std::vector<std::string> names;
        Poco::File(dest() + kMetaDirName).list(names);
        std::sort(names.begin(), names.end());
        return names;
    }
    bool exists(const std::string& path) { return Poco::File(path).exists(); }
};

const std::map<std::string, std::string> kVersion1 = {
    {"game.bin", noise(40000, 1)},  {"data/level.dat", noise(3000, 2)}, {"old/gone.txt", "gone\n"},
    {"old/edited.txt", "as shipped\n"}, {"Data/Readme.TXT", "read me\n"}};

std::map<std::string, std::string> version2() {
    std::map<std::string, std::string> files = kVersion1;
    files.erase("old/gone.txt");
    files.erase("old/edited.txt");
    files.erase("Data/Readme.TXT");
    files["data/readme.txt"] = "read me\n"; // the same file, spelt anew
    files["game.bin"] += "patched tail";
    files["new.txt"] = "new\n";
    return files;
}

} // namespace

TEST_F(DistrManagerTest, UpdateRemovesListedItemsOnlyWithTheirContentAndOldSpellings) {
    const std::string v1 = publishVersion("1.0", kVersion1);
    const std::string v2 = publishVersion("1.1", version2(), {"1.0"});
    update(v1);
    EXPECT_EQ(digest(kVersion1), readTree(dest()));
    EXPECT_FALSE(exists(dest() + kTempDirName)) << "a successful run leaves no temporary folder";

    testsupport::writeFile(dest() + "old/edited.txt", "changed by the player\n");
    testsupport::writeFile(dest() + "mine.txt", "the player's own\n");
    update(v2);

    auto expected = version2();
    expected["old/edited.txt"] = "changed by the player\n";
    expected["mine.txt"] = "the player's own\n";
    EXPECT_EQ(digest(expected), readTree(dest()));
    EXPECT_FALSE(exists(dest() + "Data")) << "the old spelling's folder is gone with it";

    // Only what belongs to 1.1 stays in the metadata directory.
    EXPECT_EQ((std::vector<std::string>{".kvo.cache.txt", ".kvo.cache.txt.tmp.copy", ".kvo.deleted.control.txt",
                                        ".kvo.delta.1.0_1.1.control.txt", ".kvo.files.1.1.control.txt",
                                        ".kvo.installed.control.txt", ".kvo.version.1.0.control.txt",
                                        ".kvo.version.1.1.control.txt"}),
              metadataFiles());

    // Up to date: nothing planned, nothing fetched.
    LogCapture log("DistrMngr");
    update(v2);
    EXPECT_TRUE(log.contains("Distribution is not outdated, so update not needed"));
    EXPECT_FALSE(log.contains("Creating Update Tasks"));
}

TEST_F(DistrManagerTest, AFailingDeltaFallsBackToTheWholeFileInTheSameRun) {
    const std::string v1 = publishVersion("1.0", kVersion1);
    const std::string v2 = publishVersion("1.1", version2(), {"1.0"});
    update(v1);
    // The cache still vouches for the old content, so the delta is chosen, but
    // the disk holds other bytes of the same size and time: the delta cannot work.
    const std::string game = dest() + "game.bin";
    const Poco::Timestamp time = Poco::File(game).getLastModified();
    std::string damaged = testsupport::readFile(game);
    for (std::size_t i = 0; i < damaged.size(); i += 97)
        damaged[i] = static_cast<char>(damaged[i] ^ 0x5a);
    testsupport::writeFile(game, damaged);
    Poco::File(game).setLastModified(time);

    LogCapture log;
    update(v2);
    EXPECT_EQ(version2().at("game.bin"), testsupport::readFile(game));
    EXPECT_TRUE(log.contains("Delta failed for game.bin, the file will be fetched whole"));
}

TEST_F(DistrManagerTest, ADamagedPackageLeftByAnEarlierRunIsReplaced) {
    const std::string v1 = publishVersion("1.0", kVersion1);
    std::string localPath;
    {
        StopState stop;
        DistrManager engine(v1, dest(), nullptr);
        engine.createTemporaryFolder();
        engine.analyzeDistribution();
        ASSERT_EQ(1u, engine.packages().size());
        localPath = engine.packages().begin()->second->localPath;
    }
    // As an interrupted run leaves it: the package recorded as downloaded, but
    // its bytes are not the published ones.
    Poco::File(Poco::Path(localPath).parent()).createDirectories();
    testsupport::writeFile(localPath, noise(60000, 9));
    testsupport::writeFile(dest() + kTempDirName + "/" + kPendingPacksName, localPath + "\r\n");

    LogCapture log("DistrMngr");
    update(v1);
    EXPECT_EQ(digest(kVersion1), readTree(dest()));
    EXPECT_TRUE(log.contains("is damaged"));
    EXPECT_FALSE(exists(localPath));
}

TEST_F(DistrManagerTest, BadInputEndsTheRunBeforeAnyInstalledFileChanges) {
    const std::string v1 = publishVersion("1.0", kVersion1);
    const std::string v2 = publishVersion("1.1", version2(), {"1.0"});
    update(v1);
    const auto installed = readTree(dest());

    // No description at the source.
    EXPECT_THROW(update(dir.file("nowhere/")), Poco::FileNotFoundException);

    // A control file whose bytes are not the ones the description hashed.
    const std::string control = v2 + "control.txt.7z";
    const std::string original = testsupport::readFile(control);
    std::string bad = original;
    bad[bad.size() / 2] = static_cast<char>(bad[bad.size() / 2] ^ 1);
    testsupport::writeFile(control, bad);
    try {
        update(v2);
        ADD_FAILURE() << "a control file failing its hash was accepted";
    } catch (const SHA1CheckError& e) {
        EXPECT_EQ("SHA1 verification failed for the file: control.txt.7z", e.message());
    }
    EXPECT_EQ(installed, readTree(dest()));
    testsupport::writeFile(control, original);

    // A package that vanished after the description was read: the run fails
    // with its downloads kept for the next one, every file old or new.
    Poco::File(v2 + "stage1-0001.pak").renameTo(v2 + "moved.pak");
    EXPECT_ANY_THROW(update(v2));
    EXPECT_TRUE(exists(dest() + kTempDirName)) << "a failed run keeps its temporary folder";
    const auto oldTree = digest(kVersion1);
    const auto newTree = digest(version2());
    for (const auto& [path, content] : readTree(dest())) {
        const bool isOld = oldTree.count(path) && oldTree.at(path) == content;
        const bool isNew = newTree.count(path) && newTree.at(path) == content;
        EXPECT_TRUE(isOld || isNew) << path;
    }
    Poco::File(v2 + "moved.pak").renameTo(v2 + "stage1-0001.pak");

    update(v2);
    EXPECT_EQ(digest(version2()), readTree(dest()));
    EXPECT_FALSE(exists(dest() + kTempDirName));
}

TEST_F(DistrManagerTest, UninstallLeavesOnlyWhatTheUserAdded) {
    const std::string v1 = publishVersion("1.0", kVersion1);
    std::map<std::string, std::string> files = kVersion1;
    files["art/hd/stone.tex"] = "stone"; // "art/" holds folders only
    update(publishVersion("1.1", files));
    testsupport::writeFile(dest() + "data/saves/slot1.sav", "progress");
    {
        StopState stop;
        LogCapture log("DistrMngr");
        DistrManager engine(v1, dest(), nullptr);
        engine.uninstall(stop);
        EXPECT_TRUE(log.contains("File: " + dest() + "data/saves/slot1.sav"));
        EXPECT_TRUE(log.contains("Distribution uninstalled successfully."));
    }
    EXPECT_EQ((std::map<std::string, std::string>{{"data/saves/slot1.sav", "progress"}}), readTree(dest()));
    EXPECT_FALSE(exists(dest() + kMetaDirName));
    EXPECT_FALSE(exists(dest() + "old"));
    EXPECT_FALSE(exists(dest() + "art"));
}
