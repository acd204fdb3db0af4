// A game's programs must start after an install or update on a system with
// permission bits, though the publication carries none.

#include "tests/engine/EndToEndSupport.h"

#include <cstdlib>

#include <sys/stat.h>

using testsupport::readFile;

namespace e2e {
namespace {

bool executable(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & 0111) != 0;
}

int runs(const std::string& path) { return std::system(("'" + path + "' >/dev/null 2>&1").c_str()); }

class EndToEndModes : public EndToEndTest {};

TEST_F(EndToEndModes, ProgramsRunAfterInstallDeltaSingleEntryAndFullUpdate) {
    // An ELF program still runs with bytes appended, which gives the new
    // version a delta of it.
    const std::string elf = readFile("/bin/true");
    const Tree v1 = {{"bin/game", elf},
                     {"start.sh", "#!/bin/sh\nexit 0\n"},
                     {"data.pak", "PK\x03\x04" + text(3000, 60)},
                     {"empty.txt", ""}};
    Tree v2 = v1;
    v2["bin/game"] += text(5000, 61);
    v2["start.sh"] = "#!/bin/sh\n# 1.1\nexit 0\n";
    publishTree(v1, "1.0");
    publishTree(v2, "1.1", "game", {"--previous", "1.0"});

    // No package is ever taken whole: every file comes as a single entry.
    Updater singles({{"logic.pack-download-by-percent", "100"}, {"logic.pack-download-by-missing", "100000"}});
    ASSERT_RUN(update(singles, url("game/1.0/")), 0);
    for (const auto& request : requestsFor(nginx(), ".pak"))
        EXPECT_NE("", request.range) << request.uri;
    EXPECT_EQ(0, runs(dest() + "bin/game"));
    EXPECT_EQ(0, runs(dest() + "start.sh"));
    EXPECT_FALSE(executable(dest() + "data.pak"));
    EXPECT_FALSE(executable(dest() + "empty.txt"));

    Outcome next = installs(singles, url("game/1.1/"), v2);
    EXPECT_LOGS(next, "Outdated items recoverable by delta");
    EXPECT_EQ(0, runs(dest() + "bin/game")); // restored by its delta
    EXPECT_EQ(0, runs(dest() + "start.sh"));

    // Losing the bit changes no content and no time: only a full update looks.
    ::chmod((dest() + "bin/game").c_str(), 0644);
    ::chmod((dest() + "data.pak").c_str(), 0600);
    ASSERT_RUN(update(singles, url("game/1.1/"), {"--full"}), 0);
    EXPECT_EQ(0, runs(dest() + "bin/game"));
    struct stat st {};
    ASSERT_EQ(0, ::stat((dest() + "data.pak").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777); // a data file keeps the mode its owner gave it
}

} // namespace
} // namespace e2e
