// Publications that lie about their sizes or try to exhaust memory and disk,
// and destinations on a small file system: a plan that does not fit, and a
// disk that fills up in the middle of a run.
#include "tests/engine/EndToEndSupport.h"

#include <filesystem>
#include <functional>

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::runProgram;
using testsupport::sha1Hex;
using testsupport::writeFile;

namespace e2e {
namespace {

bool shell(const std::string& command) {
    return runProgram("/bin/sh", {"-c", command}, {}, 120000).code == 0;
}

const Tree kGame = {
    {"game.bin", noise(300000, 1)},          // stored as is
    {"data/world.txt", text(400000, 2)},     // compressed
    {"data/sounds.ogg", noise(200000, 3)},
};

// A tree of `size` bytes of noise spread over files of `each` bytes.
Tree noiseTree(std::size_t size, std::size_t each) {
    Tree tree;
    for (std::size_t i = 0; i * each < size; ++i)
        tree["data/part" + std::to_string(i) + ".bin"] = noise(each, 100 + static_cast<unsigned>(i));
    return tree;
}

class EndToEndHostile : public EndToEndTest {
public:
    std::string release() { return site() + "game/1.0/"; }

    std::string control() {
        const auto r = runProgram("/bin/sh", {"-c", "xz --format=lzma -dc < '" + release() + "control.txt.7z'"});
        EXPECT_EQ(0, r.code) << r.err;
        return r.out;
    }

    // Publishes text as the control file, packed by xz and hashed in the description.
    void setControl(const std::string& text) {
        const std::string old = sha1Hex(control());
        writeFile(release() + "control.txt", text);
        ASSERT_TRUE(shell("xz --format=lzma -c < '" + release() + "control.txt' > '" + release() +
                          "control.txt.7z' && rm '" + release() + "control.txt'"));
        std::string info = readFile(release() + "version-info.txt");
        const std::size_t at = info.find("control-hash=" + old);
        ASSERT_NE(std::string::npos, at);
        info.replace(at + 13, old.size(), sha1Hex(text));
        writeFile(release() + "version-info.txt", info);
    }

    // Adds delta to field `field` of the line for path, or puts value there.
    void editEntry(const std::string& path, std::size_t field, std::int64_t delta, const char* value = nullptr) {
        std::string text = control();
        const std::size_t at = text.find("|" + path + "|");
        ASSERT_NE(std::string::npos, at) << text;
        const std::size_t begin = text.rfind('\n', at) + 1, end = text.find('\r', begin); // npos + 1 == 0
        std::vector<std::string> fields = testsupport::split(text.substr(begin, end - begin), '|');
        fields.at(field) = value ? value : std::to_string(std::stoll(fields.at(field)) + delta);
        std::string line = fields[0]; // the entry's status, never empty
        for (std::size_t i = 1; i < fields.size(); ++i)
            line += "|" + fields[i];
        setControl(text.replace(begin, end - begin, line));
    }
};

struct HostileCase {
    const char* name;
    std::function<void(EndToEndHostile&)> spoil;
    const char* message;
    const char* singleMessage = nullptr; // when files are fetched one by one, if it differs
};

const HostileCase kHostile[] = {
    {"ControlFileDecodesToGigabytes",
     [](EndToEndHostile& t) {
         ASSERT_TRUE(shell("head -c 300M /dev/zero | xz --format=lzma -0 -c > '" + t.release() + "control.txt.7z'"));
     },
     "control.txt.7z is larger than 256 MiB: not a file of a distribution"},
    {"VersionInfoOf100MB",
     [](EndToEndHostile& t) { fs::resize_file(t.release() + "version-info.txt", 100 << 20); },
     "version-info.txt is larger than 4 MiB: not a file of a distribution"},
    {"RangePastItsPackage", [](EndToEndHostile& t) { t.editEntry("game.bin", 6, 5000000); },
     "Entry reaches past the end of its package: game.bin", "Requested Range Not Satisfiable"},
    {"StoredSizeShortOfTheData", [](EndToEndHostile& t) { t.editEntry("game.bin", 6, -10); },
     "SHA1 verification failed for the file: game.bin"},
    {"CompressedEntryLargerThanItsSize", [](EndToEndHostile& t) { t.editEntry("data/world.txt", 7, -1); },
     "Entry decodes to more than its size of 399999 bytes: data/world.txt"},
    {"SizeOfAnExabyte", [](EndToEndHostile& t) { t.editEntry("data/world.txt", 7, 0, "1000000000000000000"); },
     "The sizes of the distribution add up to more than 8 PiB"},
    {"SizeOfAPetabyte", [](EndToEndHostile& t) { t.editEntry("data/world.txt", 7, 0, "1000000000000000"); },
     "Not enough disk space on "},
};

class EndToEndHostileCase : public EndToEndHostile, public ::testing::WithParamInterface<HostileCase> {};

// Each fails at once with its own message, exit 70, and places nothing wrong;
// single entries and whole packages alike.
TEST_P(EndToEndHostileCase, FailsClearly) {
    if (!shell("command -v xz >/dev/null"))
        GTEST_SKIP() << "xz is not installed";
    publishTree(kGame, "1.0");
    GetParam().spoil(*this);
    if (HasFatalFailure())
        return;
    for (const bool whole : {true, false}) {
        // Whole: more missing files (3) than the configured limit.
        Updater updater(
            {{"logic.pack-download-by-percent", "100"}, {"logic.pack-download-by-missing", whole ? "2" : "9"}});
        fs::remove_all(dest());
        const std::size_t before = nginx().requests().size();
        Outcome r = update(updater, url("game/1.0/"));
        EXPECT_RUN(r, 70);
        // Refused as soon as the server states a size: a hostile file is not
        // fetched just to be thrown away (the honest publication is a megabyte).
        EXPECT_LT(nginx().bodyBytesSince(before), 4 << 20);
        const char* message = !whole && GetParam().singleMessage ? GetParam().singleMessage : GetParam().message;
        EXPECT_LOGS(r, message);
        EXPECT_EQ("", wrongFiles(dest(), kGame));
    }
}

INSTANTIATE_TEST_SUITE_P(Publications, EndToEndHostileCase, ::testing::ValuesIn(kHostile),
                         [](const ::testing::TestParamInfo<HostileCase>& info) { return std::string(info.param.name); });

// A tmpfs of the given size mounted at dir for the test's life; skipped where
// mounting is not allowed.
class SmallDisk {
public:
    SmallDisk(const std::string& dir, const std::string& size) : dir_(dir) {
        fs::create_directories(dir);
        mounted_ = shell("mount -t tmpfs -o size=" + size + " tmpfs '" + dir + "' 2>/dev/null");
    }
    ~SmallDisk() {
        if (mounted_)
            shell("umount -l '" + dir_ + "'");
    }
    bool mounted() const { return mounted_; }

private:
    std::string dir_;
    bool mounted_ = false;
};

class EndToEndDisk : public EndToEndTest {};

TEST_F(EndToEndDisk, PlanThatDoesNotFitFailsBeforeAnythingChanges) {
    const Tree game = noiseTree(3 << 20, 256 << 10);
    publishTree(game, "1.0", "game", {"--package-size", "1M"});
    SmallDisk disk(path("disk"), "4m");
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    const std::string destination = path("disk/dest/");
    Updater updater;
    Outcome r = updater.run({"--url", url("game/1.0/"), "--dest", destination});
    EXPECT_RUN(r, 70);
    // Packages (3 MiB) and files (3 MiB) both.
    EXPECT_LOGS(r, "Not enough disk space on " + path("disk") + ": need 6 MiB, free 3 MiB");
    EXPECT_FALSE(exists(destination + "data"));
    EXPECT_EQ(0, bytesFor(nginx().requests(), ".pak"));
}

// The disk fills while packages download, or while files are extracted: the
// run names the file it could not write and ends with 70; once there is room
// again the next run completes. A pre-update script takes the room after the
// space check, at a point that decides which of the two fails.
class EndToEndFullDisk : public EndToEndTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(EndToEndFullDisk, NextRunCompletesOnceThereIsRoom) {
    const std::string phase = GetParam();
    const Tree game = noiseTree(3 << 20, 256 << 10);
    SmallDisk disk(path("disk"), "16m");
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    const std::string filler = path("disk/filler");
    const std::string armed = path("armed");
    // One package; left free: half of it, or all of it and half the files.
    const std::int64_t keep = phase == "Download" ? (3 << 20) / 2 : (3 << 20) + (3 << 20) / 2;
    writeFile(path("cmds.bat"), "[ \"$1\" = pre-update ] && [ -f '" + armed + "' ] && head -c $(( $(df -B1 --output=avail '" +
                                    path("disk") + "' | tail -1) - " + std::to_string(keep) + " )) /dev/zero > '" +
                                    filler + "'\nexit 0\n");
    const std::string content = publishTree(game, "1.0", "game", {"--package-size", "4M", "--commands", path("cmds.bat")});
    writeFile(armed, "");
    const std::string destination = path("disk/dest/");
    Updater updater;
    Outcome full = updater.run({"--url", url("game/1.0/"), "--dest", destination});
    EXPECT_RUN(full, 70);
    EXPECT_TRUE(exists(filler));
    EXPECT_TRUE(full.logs(std::string(phase == "Download" ? "Failed to allocate file: " : "Failed to write into file: ") +
                          destination))
        << full.describe();
    EXPECT_EQ("", wrongFiles(destination, game));

    fs::remove(filler);
    fs::remove(armed);
    Outcome next = updater.run({"--url", url("game/1.0/"), "--dest", destination});
    ASSERT_RUN(next, 0);
    EXPECT_EQ("", treeDifferences(destination, readTree(content)));
}

INSTANTIATE_TEST_SUITE_P(Phases, EndToEndFullDisk, ::testing::Values("Download", "Extraction"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

} // namespace
} // namespace e2e
