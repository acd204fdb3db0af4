#include "platform/FileMode.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>

#include <sys/stat.h>

namespace {

mode_t modeOf(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(0, ::stat(path.c_str(), &st));
    return st.st_mode & 07777;
}

std::string writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

} // namespace

TEST(FileModeTest, ProgramsAreRecognisedByTheirFirstBytes)
{
    const unsigned char elf[] = {0x7F, 'E', 'L', 'F', 2};
    const unsigned char script[] = {'#', '!', '/'};
    const unsigned char shortElf[] = {0x7F, 'E', 'L'};
    const unsigned char data[] = {'P', 'K', 3, 4};
    EXPECT_TRUE(platform::looksLikeProgram(elf, sizeof elf));
    EXPECT_TRUE(platform::looksLikeProgram(script, 2));
    EXPECT_FALSE(platform::looksLikeProgram(shortElf, sizeof shortElf));
    EXPECT_FALSE(platform::looksLikeProgram(script, 1));
    EXPECT_FALSE(platform::looksLikeProgram(data, sizeof data));
    EXPECT_FALSE(platform::looksLikeProgram(nullptr, 0));
}

TEST(FileModeTest, PlacedModesFollowTheUmaskAndAChosenExecuteBitStays)
{
    testsupport::TempDir dir;
    // The umask is read once per process, so this test keeps the process's own.
    const mode_t mask = ::umask(022);
    ::umask(mask);

    const std::string program = writeFile(dir.path() + "run.sh", "#!/bin/sh\nexit 0\n");
    const std::string data = writeFile(dir.path() + "data.bin", "plain");
    platform::setPlacedMode(program, true);
    platform::setPlacedMode(data, false);
    EXPECT_EQ(0755 & ~mask, modeOf(program));
    EXPECT_EQ(0644 & ~mask, modeOf(data));

    // A lost execute bit coming back is the end-to-end runs'; one already
    // there is left as the owner chose it.
    ::chmod(program.c_str(), 0700);
    platform::ensureProgramMode(program);
    EXPECT_EQ(0700u, modeOf(program));
}
