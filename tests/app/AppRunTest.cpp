// The application run end to end: the built executables as child processes.
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

#include <Poco/DirectoryIterator.h>
#include <Poco/File.h>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

using namespace testsupport;

namespace {

std::string patcherBinary() { return buildDir() + "app/patcher"; }
std::string fakeBinary() { return buildDir() + "tests/app/fake_app"; }

// A copy of an executable in a directory of its own, with the configuration
// files the test gives it beside it.
class Installed {
public:
    Installed(const TempDir& dir, const std::string& binary, const std::string& properties,
              const std::string& userProperties = "") {
        std::string name = binary.substr(binary.rfind('/') + 1);
        path_ = dir.file("bin/" + name);
        Poco::File(dir.file("bin")).createDirectories();
        Poco::File(binary).copyTo(path_);
        if (!properties.empty())
            writeFile(dir.file("bin/" + name + ".properties"), properties);
        if (!userProperties.empty())
            writeFile(dir.file("bin/" + name + ".user.properties"), userProperties);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The application file as shipped, read from the source tree.
std::string shippedProperties() { return readFile(sourceDir() + "app/patcher.properties"); }

// The one log file in a directory.
std::string onlyLogIn(const std::string& dir) {
    std::vector<std::string> found;
    if (Poco::File(dir).exists())
        for (Poco::DirectoryIterator it(dir), end; it != end; ++it)
            found.push_back(it->path());
    EXPECT_EQ(1u, found.size()) << "log files in " << dir;
    return found.empty() ? std::string() : readFile(found.front());
}

void expectInOrder(const std::string& text, const std::vector<std::string>& parts) {
    std::size_t pos = 0;
    for (const std::string& part : parts) {
        std::size_t found = text.find(part, pos);
        ASSERT_NE(std::string::npos, found) << "missing or out of order: " << part << "\nin:\n" << text;
        pos = found + part.size();
    }
}

} // namespace

TEST(AppRunTest, HelpListsTheOptionsInOrderAndEndsWithZero) {
    for (const char* flag : {"--help", "-h"}) {
        RunResult r = runProgram(patcherBinary(), {flag, "--bogus-after-help"});
        EXPECT_EQ(0, r.code) << r.err;
        expectInOrder(r.out, {"usage: patcher [options] ...", "--help", "display help information",
                              "--progress=value", "--log-dir=value", "--log-file=value", "--game-id=value",
                              "--server-port=value", "--progress-update-freq=value", "--url=value",
                              "url or local path of the distribution", "--dest=value", "--uninstall", "--full",
                              "--name=value", "--handle=value", "handle for text label under the windows"});
    }
}

TEST(AppRunTest, OptionErrorsEndWith78AndDoNothingElse) {
    TempDir dir;
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {}, {"-u", "x"}, {"-u", "x", "-d", "y", "--bogus"}, {"-d", "y", "-u"}}) {
        RunResult r = runProgram(patcherBinary(), args, {dir.path(), {}});
        EXPECT_EQ(78, r.code) << r.err;
        EXPECT_FALSE(r.err.empty()) << "the option error must be reported";
        EXPECT_EQ(std::string::npos, r.out.find("Dummy launch.")) << r.out;
    }
}

TEST(AppRunTest, AFailedRunWritesTheBannersAndReturnValueToTheLog) {
    TempDir dir;
    RunResult r = runProgram(patcherBinary(), {"-u", dir.file("nowhere"), "-d", dir.file("dest"), "-l", dir.file("logs"), "-r", "run"});
    EXPECT_EQ(70, r.code) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("PocoException: File not found: " + dir.file("nowhere/version-info.txt")))
        << r.out;
    std::string log = onlyLogIn(dir.file("logs"));
    expectInOrder(log, {" Application started (v", "application.path", " = " + patcherBinary(), "system.",
                        "BaseApp::main running", "Creating cmdHandler", "Configuring DistrManager",
                        "PocoException: File not found: ", "CPU usage: userTime ", " seconds, kernelTime ",
                        "Return value: 70", std::string(30, '=') + " Application ended " + std::string(31, '=')});
}

TEST(AppRunTest, WithoutLogFileNothingIsLoggedButTheFailureReachesStandardError) {
    TempDir dir;
    RunResult r = runProgram(patcherBinary(), {"-u", dir.file("nowhere"), "-d", dir.file("dest"), "-l", dir.file("logs")});
    EXPECT_EQ(70, r.code);
    EXPECT_EQ("", r.out) << "logging off: nothing on the console";
    EXPECT_EQ(0u, r.err.find("PocoException: File not found: ")) << r.err;
    EXPECT_FALSE(Poco::File(dir.file("logs")).exists()) << "no log file, no log directory";

    // Nor a failure to report when the log directory could not be made.
    writeFile(dir.file("plain-file"), "x");
    r = runProgram(patcherBinary(), {"-u", dir.file("nowhere"), "-d", dir.file("dest"), "-l", dir.file("plain-file/logs")});
    EXPECT_EQ(70, r.code);
    EXPECT_EQ(std::string::npos, r.err.find("Failed to create log file root directory")) << r.err;
}

TEST(AppRunTest, UserOverrideFillsKeysTheApplicationFileLacksAndOptionsWin) {
    TempDir dir;
    Installed app(dir, fakeBinary(), "logic.pack-download-by-missing = 300\n",
                  "app.min-segment-size = 65536\nlogic.pack-download-by-missing = 1\n");
    ChildProcess::Options env{dir.path(), {{"PATCHER_TEST_MODE", "keys"}}};
    RunResult r = runProgram(app.path(), {"-u", "from-option", "-d", "y"}, env);
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("app.min-segment-size=65536")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("src.url=from-option")) << r.out;

    // An option beats both files: the log file name comes from the user file
    // unless the option gives one.
    Installed logging(dir, patcherBinary(), shippedProperties(), "log.file = fromuser\n");
    r = runProgram(logging.path(), {"-u", dir.file("nowhere"), "-d", dir.file("dest"), "-l", dir.file("a")});
    // Said before logging is set up, so the framework's start-up logger has it.
    EXPECT_NE(std::string::npos, r.err.find("Loading user override: " + dir.file("bin/patcher.user.properties")));
    EXPECT_NE(std::string::npos, onlyLogIn(dir.file("a")).find("Configuring DistrManager"));
    runProgram(logging.path(), {"-u", dir.file("nowhere"), "-d", dir.file("dest"), "-l", dir.file("b"), "-r", "fromoption"});
    Poco::DirectoryIterator it(dir.file("b"));
    EXPECT_EQ(0u, it.name().rfind("fromoption-", 0)) << it.name();
}

TEST(AppRunTest, FailuresMapToTheirLogLinesAndExitCodes) {
    struct Case {
        const char* mode;
        int code;
        const char* line;
    };
    for (const Case& c : {Case{"ok", 0, "cmdHandler ended"},
                          Case{"sha1", 70, "UpdateError: SHA1 check error: SHA1 verification failed for the file: "
                                           "control.txt.7z, Code: 4"},
                          Case{"poco", 70, "PocoException: File not found: missing.bin, Code: 404"},
                          Case{"std", 70, "std::exception: boom"},
                          Case{"int", 70, "unknown exception at BaseApp::main"}}) {
        TempDir dir;
        ChildProcess::Options env{dir.path(), {{"PATCHER_TEST_MODE", c.mode}}};
        RunResult r = runProgram(fakeBinary(), {"-u", dir.file("nowhere"), "-d", dir.file("dest"), "-l", dir.file("logs"), "-r", "run"}, env);
        EXPECT_EQ(c.code, r.code) << c.mode << "\n" << r.err;
        std::string log = onlyLogIn(dir.file("logs"));
        expectInOrder(log, {"Starting cmdHandler", c.line, "Return value: " + std::to_string(c.code)});
        if (c.code != 0) // the timer's line comes before the error's
            expectInOrder(log, {"Application working time: ", c.line});
    }
}

TEST(AppRunTest, ConsoleSignalsStopTheRunAsInterrupted) {
    for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
        TempDir dir;
        ChildProcess::Options env{dir.path(), {{"PATCHER_TEST_MODE", "loop"}}};
        ChildProcess child(fakeBinary(), {"-u", dir.file("nowhere"), "-d", dir.file("dest"), "-l", dir.file("logs"), "-r", "run"}, env);
        ASSERT_TRUE(child.waitForOutput("ready")) << child.err();
        child.signal(sig);
        EXPECT_EQ(70, child.wait());
        EXPECT_NE(std::string::npos, child.out().find("onStop"));
        expectInOrder(onlyLogIn(dir.file("logs")), {"INTERRUPTED: FakeHandler::loop", "Return value: 70"});
    }
}

TEST(AppRunTest, BadNumbersAndBadLogPathsAreReportedWithoutCrashing) {
    TempDir dir;
    RunResult r = runProgram(patcherBinary(), {"-g", "abc", "-s", "1", "-u", "x", "-d", "y"});
    EXPECT_EQ(70, r.code);
    EXPECT_NE(std::string::npos, r.err.find("Syntax error")) << r.err;

    writeFile(dir.file("plain-file"), "x");
    r = runProgram(patcherBinary(), {"-u", dir.file("nowhere"), "-d", dir.file("dest"), "-l", dir.file("plain-file/logs"), "-r", "run"});
    EXPECT_EQ(70, r.code);
    EXPECT_NE(std::string::npos, r.err.find("Failed to create log file root directory. Logging disabled. Details: ")) << r.err;
    EXPECT_EQ(std::string::npos, r.out.find("Application ended")) << "logging is off: " << r.out;

    // A log path that names a directory cannot be opened for writing.
    Poco::File(dir.file("logdir/taken.log")).createDirectories();
    Installed app(dir, patcherBinary(), "log.file = x\napp.log-file = " + dir.file("logdir/taken.log") + "\n" +
                                            shippedProperties().substr(shippedProperties().find("# --- Loggers")));
    r = runProgram(app.path(), {"-u", dir.file("nowhere"), "-d", dir.file("dest")});
    EXPECT_EQ(70, r.code);
    EXPECT_EQ(0u, r.err.find("Logging will be disabled. Details: ")) << r.err;
}

TEST(AppRunTest, UninstallAndFullWriteTheirKeysWhateverTheirArgument) {
    TempDir dir;
    ChildProcess::Options env{dir.path(), {{"PATCHER_TEST_MODE", "keys"}}};
    RunResult r = runProgram(fakeBinary(), {"--url=a", "--dest=b"}, env);
    EXPECT_NE(std::string::npos, r.out.find("dest.dir=b\ndest.uninstall=<none>\ndest.full-update=<none>")) << r.out;
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--uninstall=0", "--full=0"}, {"-U", "-f"}, {"-U0", "--full"}}) {
        args.insert(args.end(), {"-u", "a", "-d", "b"});
        r = runProgram(fakeBinary(), args, env);
        EXPECT_EQ(0, r.code) << r.err;
        EXPECT_NE(std::string::npos, r.out.find("dest.uninstall=1\ndest.full-update=1")) << args[0] << "\n" << r.out;
    }
}

TEST(AppRunTest, UserOverrideThatIsNotAFileEndsTheStartWithAnError) {
    TempDir dir;
    Installed app(dir, patcherBinary(), shippedProperties());
    Poco::File(dir.file("bin/patcher.user.properties")).createDirectories();
    RunResult r = runProgram(app.path(), {"-u", dir.file("nowhere"), "-d", dir.file("dest")}, {dir.path(), {}}, 10000);
    EXPECT_EQ(78, r.code);
    EXPECT_NE(std::string::npos, r.err.find("Not a file: " + dir.file("bin/patcher.user.properties"))) << r.err;
    EXPECT_EQ("", r.out);
}

TEST(AppRunTest, LogFileThatStopsTakingWritesIsDroppedAndTheRunGoesOn) {
    if (!Poco::File("/dev/full").exists())
        GTEST_SKIP() << "no /dev/full";
    TempDir dir;
    // Every write to /dev/full fails as on a full disk.
    Installed app(dir, patcherBinary(), "log.file = x\napp.log-file = /dev/full\n" +
                                            shippedProperties().substr(shippedProperties().find("# --- Loggers")));
    RunResult r = runProgram(app.path(), {"-u", dir.file("nowhere"), "-d", dir.file("dest")}, {dir.path(), {}});
    EXPECT_EQ(70, r.code) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("PocoException: File not found: ")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("= Application ended =")) << "the console keeps its log lines";
    const std::string warning = "Failed to write the log file. File logging disabled. Details: ";
    EXPECT_EQ(0u, r.err.find(warning)) << r.err;
    EXPECT_EQ(r.err.rfind(warning), r.err.find(warning)) << "said once: " << r.err;
}
