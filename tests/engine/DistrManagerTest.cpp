#include "tests/engine/EngineTestSupport.h"

#include "distr/Metadata.h"

#include <Poco/File.h>

using namespace Patcher;
using enginetest::EngineTest;
using enginetest::noise;
using enginetest::digest;
using enginetest::readTree;

namespace {

class DistrManagerTest : public EngineTest {
protected:
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

TEST_F(DistrManagerTest, APackageThatVanishedMidRunFailsItLeavingEveryFileOldOrNew) {
    const std::string v1 = publishVersion("1.0", kVersion1);
    const std::string v2 = publishVersion("1.1", version2(), {"1.0"});
    update(v1);

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
