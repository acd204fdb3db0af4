#include "distr/Commands.h"

#include "distr/LocalFile.h"
#include "distr/Metadata.h"
#include "distr/VersionInfo.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

using namespace Patcher;
using namespace testsupport;

TEST(CommandsTest, ChangedMissingOrUncheckableScriptsNeverRun) {
    // A destination whose metadata holds version 1.0 with a commands file.
    TempDir dir;
    const std::string meta = dir.file(".kvo.meta.dir/");
    const auto describe = [&](const std::string& commandHash) {
        writeFile(meta + ".kvo.version.1.0.control.txt",
                  "distribution {1}\nversion=1.0\ntype=full\nenv=\nfiles=f/\ncontrol-hash=a\n"
                  "deleted-control-hash=b\ncommand-hash=" +
                      commandHash + "\ncompressed-size=1\nsize=2\n\ndelta {0}\n");
    };
    writeFile(meta + ".kvo.cmd.1.0.control.txt", "echo \"$1\"\n");
    describe(sha1OfFile(meta + ".kvo.cmd.1.0.control.txt"));
    Poco::Logger& engine = Poco::Logger::get("DistrMngr");
    LogCapture log{engine};
    MetadataNames keep;

    VersionInfo info;
    info.load(meta + ".kvo.version.1.0.control.txt");
    describe(""); // a distribution without commands
    EXPECT_FALSE(verifyCommandsFile(dir.path(), &info, keep, engine).valid);

    Poco::File(meta + ".kvo.version.1.0.control.txt").remove();
    log.clear();
    EXPECT_FALSE(verifyCommandsFile(dir.path(), &info, keep, engine).valid);
    EXPECT_TRUE(log.contains("Unable to perform commands file signature verification."));

    Poco::File(meta + ".kvo.cmd.1.0.control.txt").remove();
    log.clear();
    EXPECT_FALSE(verifyCommandsFile(dir.path(), &info, keep, engine).valid);
    EXPECT_TRUE(log.lines().empty());
    // No version at all: nothing to check.
    EXPECT_FALSE(verifyCommandsFile(dir.path(), nullptr, keep, engine).valid);
}
