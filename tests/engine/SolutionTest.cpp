// The engine's plan for real publications in temporary directories.
#include "base/CmdHandler.h"
#include "base/RootStorage.h"
#include "base/Singleton.h"
#include "base/Task.h"
#include "distr/DiscGuard.h"
#include "engine/DistrManager.h"
#include "engine/Wraps.h"
#include "tests/ravel/RavelTestUtil.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

#include <Poco/File.h>
#include <Poco/Path.h>

#include <gtest/gtest.h>

using namespace Patcher;

namespace {

// Bytes that do not compress, so a file is stored as is and its stored size is
// its size.
const auto noise = raveltest::randomBytes;

// With the process-wide objects the engine needs, made and dropped per test.
class SolutionTest : public ::testing::Test {
protected:
    void SetUp() override {
        Singleton<RootStorage>::create();
        Singleton<DiscGuard>::create();
    }
    void TearDown() override {
        Singleton<DiscGuard>::destroy();
        Singleton<RootStorage>::destroy();
    }

    // Publishes files as version under the site, with the built publisher.
    std::string publishVersion(const std::string& version, const std::map<std::string, std::string>& files) {
        const std::string content = dir.file("content-" + version + "/");
        testsupport::makeTree(content, files);
        // Generous: a sanitizer build of the publisher is slow.
        const auto published = testsupport::runProgram(
            testsupport::buildDir() + "tools/publish/patcher-publish",
            {"--content", content, "--version", version, "--out", site(), "--jobs", "1"}, {}, 300000);
        EXPECT_EQ(0, published.code) << published.out << published.err;
        return site() + version + "/";
    }
    std::string site() const { return dir.file("site/"); }
    std::string dest() const { return dir.file("dest/"); }

    // One whole update run of the destination from source, with the interned
    // paths of a fresh process.
    void update(const std::string& source) {
        Singleton<RootStorage>::destroy();
        Singleton<RootStorage>::create();
        StopState stop;
        DistrManager engine(source, dest(), nullptr);
        engine.update(stop);
    }

    // An engine over a publication, analysed, with the given files known to the
    // cache as installed.
    std::unique_ptr<DistrManager> plan(const std::string& source, const std::vector<std::string>& present,
                                       const DistrManagerSettings& settings = DistrManagerSettings()) {
        auto engine = std::make_unique<DistrManager>(source, dest(), nullptr);
        engine->setSettings(settings);
        engine->createTemporaryFolder();
        engine->analyzeDistribution();
        for (const std::string& path : present) {
            const ControlEntryPtr entry = engine->files().find(path);
            EXPECT_TRUE(entry) << path;
            if (entry)
                engine->cache().put(path, entry->sha1, entry->storedSize, 1);
        }
        engine->findSolution();
        return engine;
    }
    static const PackContent& onlyPackage(const DistrManager& engine) {
        EXPECT_EQ(1u, engine.packages().size());
        return *engine.packages().begin()->second;
    }

    testsupport::TempDir dir;
};

} // namespace

// Past either limit a package is taken whole: more than 90 percent of its
// stored bytes missing (900 of 1000 is not), or more missing entries than the
// limit (scaled down from 500, so the publication stays small).
TEST_F(SolutionTest, APackageIsTakenWholePastALimitOrWhenLeftInTheTemporaryFolder) {
    const std::string at90 = publishVersion("1.0", {{"a.bin", noise(900, 1)}, {"b.bin", noise(100, 2)}});
    const std::string at901 = publishVersion("2.0", {{"a.bin", noise(901, 3)}, {"b.bin", noise(99, 4)}});
    std::map<std::string, std::string> files;
    std::vector<std::string> present;
    for (int i = 0; i < 60; ++i) {
        files["f/" + std::to_string(i) + ".bin"] = noise(10, static_cast<unsigned>(i));
        if (i < 10)
            present.push_back("f/" + std::to_string(i) + ".bin");
    }
    const std::string many = publishVersion("3.0", files);
    DistrManagerSettings settings;
    settings.packDownloadByMissing = 50;
    testsupport::LogCapture log("DistrMngr");
    std::unique_ptr<DistrManager> engine;
    const auto replan = [&](const std::string& source, const std::vector<std::string>& present) {
        engine.reset();
        if (Poco::File(dest()).exists())
            Poco::File(dest()).remove(true);
        log.clear();
        engine = plan(source, present, settings);
        engine->createTasks();
        engine->computeEstimations();
        return &onlyPackage(*engine);
    };

    const PackContent* pack = replan(at90, {"b.bin"});
    EXPECT_EQ(1000, pack->storedTotal);
    EXPECT_EQ(900, pack->missingBytes);
    EXPECT_FALSE(pack->wholeDownload);
    // Only the missing file is fetched, as a single entry.
    EXPECT_EQ(900, engine->task(TaskType::Download)->total());
    const StageBytes& stage = engine->stageBytes()[1];
    EXPECT_EQ((std::vector<std::int64_t>{900, 100, 1000}),
              (std::vector<std::int64_t>{stage.fetchBytes, stage.presentBytes, stage.allBytes}));
    // A package left in the temporary folder is used whole.
    const std::string left = pack->localPath;
    engine.reset();
    Poco::File(Poco::Path(left).parent()).createDirectories();
    testsupport::writeFile(left, "partial");
    EXPECT_TRUE(onlyPackage(*plan(at90, {"b.bin"}, settings)).wholeDownload);

    EXPECT_TRUE(replan(at901, {"b.bin"})->wholeDownload);
    EXPECT_TRUE(log.contains("Whole package " + engine->packages().begin()->first + " will be downloaded."));
    // The whole package is fetched, present file included.
    EXPECT_EQ(1000, engine->task(TaskType::Download)->total());
    EXPECT_EQ(901, engine->task(TaskType::Extract)->total());

    pack = replan(many, present); // 50 missing of 60: 83 percent
    EXPECT_EQ(50, pack->missingCount);
    EXPECT_FALSE(pack->wholeDownload);
    present.pop_back();
    pack = replan(many, present);
    EXPECT_EQ(51, pack->missingCount);
    EXPECT_TRUE(pack->wholeDownload);
    EXPECT_TRUE(log.contains("Whole package " + engine->packages().begin()->first +
                             " will be downloaded. Large number of items."));
    // Missing entries come in package order, for one pass over the file.
    for (std::size_t i = 1; i < pack->missingEntries.size(); ++i)
        EXPECT_LT(pack->missingEntries[i - 1]->offset, pack->missingEntries[i]->offset);
}

// What a plan may add to the disk: files less the ones they replace, plus the
// largest replaced one; downloads by their largest batch.
TEST_F(SolutionTest, DiskNeedOfAFreshInstallAndOfAnUpdate) {
    const std::string v1 = publishVersion("1.0", {{"a.bin", noise(1000, 1)}, {"b.bin", noise(3000, 2)}});
    const std::string v2 =
        publishVersion("2.0", {{"a.bin", noise(1500, 3)}, {"b.bin", noise(3000, 2)}, {"c.bin", noise(500, 4)}});
    {
        auto engine = plan(v2, {});
        ASSERT_TRUE(onlyPackage(*engine).wholeDownload);
        EXPECT_EQ(5000, engine->diskNeed().destination);
        EXPECT_EQ(5000, engine->diskNeed().temporary);
    }
    update(v1);
    // a.bin grows by 500 bytes over its 1000, c.bin is new; both come alone.
    auto engine = plan(v2, {});
    ASSERT_FALSE(onlyPackage(*engine).wholeDownload);
    EXPECT_EQ(500 + 500 + 1000, engine->diskNeed().destination);
    EXPECT_EQ(1500 + 500, engine->diskNeed().temporary);
}

// Handled pieces leave the temporary folder, so a batch far larger than the
// look-ahead needs only the look-ahead, one overshooting item and one handled.
TEST_F(SolutionTest, DiskNeedOfABatchIsBoundedByTheLookAhead) {
    std::map<std::string, std::string> files;
    for (int i = 0; i < 10; ++i)
        files["f" + std::to_string(i) + ".bin"] = noise(i == 0 ? 1500 : 1000, static_cast<unsigned>(i));
    const std::string source = publishVersion("1.0", files);
    DistrManagerSettings settings;
    settings.packDownloadByPercent = 100; // every file comes alone
    settings.aheadLimit = 2000;
    auto engine = plan(source, {}, settings);
    ASSERT_FALSE(onlyPackage(*engine).wholeDownload);
    EXPECT_EQ(10500, engine->diskNeed().destination);
    EXPECT_EQ(2000 + 2 * 1500, engine->diskNeed().temporary);
    EXPECT_EQ(1500, engine->diskNeed().largestProduced);
}
