#include "platform/FileMode.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

mode_t modeOf(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(0, ::stat(path.c_str(), &st));
    return st.st_mode & 07777;
}

} // namespace

TEST(FileModeTest, ProgramsAreRecognisedByTheirFirstBytes)
{
    const std::pair<std::string, bool> cases[] = {{std::string("\x7f" "ELF\x02", 5), true}, {"#!", true},
                                                  {"\x7f" "EL", false}, {"#", false}, {"PK\x03\x04", false}};
    for (const auto& [bytes, program] : cases)
        EXPECT_EQ(program, platform::looksLikeProgram(reinterpret_cast<const unsigned char*>(bytes.data()),
                                                      bytes.size())) << bytes;
    EXPECT_FALSE(platform::looksLikeProgram(nullptr, 0));
}

TEST(FileModeTest, PlacedModesFollowTheUmaskAndAChosenExecuteBitStays)
{
    testsupport::TempDir dir;
    // The umask is read once per process, so this test keeps the process's own.
    const mode_t mask = ::umask(022);
    ::umask(mask);

    testsupport::writeFile(dir.file("run.sh"), "#!/bin/sh\nexit 0\n");
    testsupport::writeFile(dir.file("data.bin"), "plain");
    platform::setPlacedMode(dir.file("run.sh"), true);
    platform::setPlacedMode(dir.file("data.bin"), false);
    EXPECT_EQ(0755 & ~mask, modeOf(dir.file("run.sh")));
    EXPECT_EQ(0644 & ~mask, modeOf(dir.file("data.bin")));

    // A lost execute bit coming back is the end-to-end runs'; one already
    // there is left as the owner chose it.
    ::chmod(dir.file("run.sh").c_str(), 0700);
    platform::ensureProgramMode(dir.file("run.sh"));
    EXPECT_EQ(0700u, modeOf(dir.file("run.sh")));
}
