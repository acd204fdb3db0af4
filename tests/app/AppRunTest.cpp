// The application run end to end: the built executables as child processes.
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

#include <Poco/DirectoryIterator.h>
#include <Poco/File.h>

#include <gtest/gtest.h>

#include <csignal>

using namespace testsupport;

namespace {

const std::string kPatcher = buildDir() + "app/patcher";
const std::string kFake = buildDir() + "tests/app/fake_app";

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

class AppRunTest : public ::testing::Test {
protected:
    // A run whose source holds no distribution: it fails once started.
    std::vector<std::string> failing(const std::vector<std::string>& more = {}) const {
        std::vector<std::string> args{"-u", dir.file("nowhere"), "-d", dir.file("dest")};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
    ChildProcess::Options mode(const std::string& name) const { return {dir.path(), {{"PATCHER_TEST_MODE", name}}}; }
    // A copy of an executable in bin/, with the configuration files given beside it.
    std::string install(const std::string& binary, const std::string& properties, const std::string& user = "") {
        const std::string path = dir.file("bin/" + binary.substr(binary.rfind('/') + 1));
        Poco::File(dir.file("bin")).createDirectories();
        Poco::File(binary).copyTo(path);
        if (!properties.empty())
            writeFile(path + ".properties", properties);
        if (!user.empty())
            writeFile(path + ".user.properties", user);
        return path;
    }
    // The shipped application file with its own log file replaced.
    static std::string logFileAt(const std::string& path) {
        const std::string shipped = readFile(sourceDir() + "app/patcher.properties");
        return "log.file = x\napp.log-file = " + path + "\n" + shipped.substr(shipped.find("# --- Loggers"));
    }
    TempDir dir;
};

} // namespace

TEST_F(AppRunTest, HelpListsTheOptionsInOrderAndEndsWithZero) {
    for (const char* flag : {"--help", "-h"}) {
        RunResult r = runProgram(kPatcher, {flag, "--bogus-after-help"});
        EXPECT_EQ(0, r.code) << r.err;
        expectInOrder(r.out, {"usage: patcher [options] ...", "--help", "display help information",
                              "--progress=value", "--log-dir=value", "--log-file=value", "--game-id=value",
                              "--server-port=value", "--progress-update-freq=value", "--url=value",
                              "url or local path of the distribution", "--dest=value", "--uninstall", "--full",
                              "--name=value", "--handle=value", "handle for text label under the windows"});
    }
}

TEST_F(AppRunTest, OptionErrorsEndWith78AndDoNothingElse) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"-u", "x"}, {"-u", "x", "-d", "y", "--bogus"}, {"-d", "y", "-u"}}) {
        RunResult r = runProgram(kPatcher, args, {dir.path(), {}});
        EXPECT_EQ(78, r.code) << r.err;
        EXPECT_FALSE(r.err.empty()) << "the option error must be reported";
        EXPECT_EQ(std::string::npos, r.out.find("Dummy launch.")) << r.out;
    }
    // A user override that is not a file ends the start the same way.
    const std::string app = install(kPatcher, readFile(sourceDir() + "app/patcher.properties"));
    Poco::File(dir.file("bin/patcher.user.properties")).createDirectories();
    RunResult r = runProgram(app, failing(), {dir.path(), {}}, 10000);
    EXPECT_EQ(78, r.code);
    EXPECT_NE(std::string::npos, r.err.find("Not a file: " + dir.file("bin/patcher.user.properties"))) << r.err;
    EXPECT_EQ("", r.out);
}

TEST_F(AppRunTest, AFailedRunWritesTheBannersAndReturnValueToTheLog) {
    RunResult r = runProgram(kPatcher, failing({"-l", dir.file("logs"), "-r", "run"}));
    EXPECT_EQ(70, r.code) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("PocoException: File not found: " + dir.file("nowhere/version-info.txt")))
        << r.out;
    expectInOrder(onlyLogIn(dir.file("logs")),
                  {" Application started (v", "application.path", " = " + kPatcher, "system.", "BaseApp::main running",
                   "Creating cmdHandler", "Configuring DistrManager", "PocoException: File not found: ",
                   "CPU usage: userTime ", " seconds, kernelTime ", "Return value: 70",
                   std::string(30, '=') + " Application ended " + std::string(31, '=')});
}

TEST_F(AppRunTest, WithoutLogFileNothingIsLoggedButTheFailureReachesStandardError) {
    RunResult r = runProgram(kPatcher, failing({"-l", dir.file("logs")}));
    EXPECT_EQ(70, r.code);
    EXPECT_EQ("", r.out) << "logging off: nothing on the console";
    EXPECT_EQ(0u, r.err.find("PocoException: File not found: ")) << r.err;
    EXPECT_FALSE(Poco::File(dir.file("logs")).exists()) << "no log file, no log directory";

    // Nor a failure to report when the log directory could not be made; with a
    // log file it is reported.
    writeFile(dir.file("plain-file"), "x");
    r = runProgram(kPatcher, failing({"-l", dir.file("plain-file/logs")}));
    EXPECT_EQ(70, r.code);
    EXPECT_EQ(std::string::npos, r.err.find("Failed to create log file root directory")) << r.err;
    r = runProgram(kPatcher, failing({"-l", dir.file("plain-file/logs"), "-r", "run"}));
    EXPECT_EQ(70, r.code);
    EXPECT_NE(std::string::npos, r.err.find("Failed to create log file root directory. Logging disabled. Details: "))
        << r.err;
    EXPECT_EQ(std::string::npos, r.out.find("Application ended")) << "logging is off: " << r.out;
}

TEST_F(AppRunTest, UserOverrideFillsKeysTheApplicationFileLacksAndOptionsWin) {
    const std::string fake = install(kFake, "logic.pack-download-by-missing = 300\n",
                                     "app.min-segment-size = 65536\nlogic.pack-download-by-missing = 1\n");
    RunResult r = runProgram(fake, {"-u", "from-option", "-d", "y"}, mode("keys"));
    EXPECT_EQ(0, r.code) << r.err;
    expectInOrder(r.out, {"app.min-segment-size=65536", "src.url=from-option"});

    // An option beats both files: the log file name comes from the user file
    // unless the option gives one.
    const std::string app = install(kPatcher, readFile(sourceDir() + "app/patcher.properties"), "log.file = fromuser\n");
    r = runProgram(app, failing({"-l", dir.file("a")}));
    // Said before logging is set up, so the framework's start-up logger has it.
    EXPECT_NE(std::string::npos, r.err.find("Loading user override: " + dir.file("bin/patcher.user.properties")));
    EXPECT_NE(std::string::npos, onlyLogIn(dir.file("a")).find("Configuring DistrManager"));
    runProgram(app, failing({"-l", dir.file("b"), "-r", "fromoption"}));
    EXPECT_EQ(0u, Poco::DirectoryIterator(dir.file("b")).name().rfind("fromoption-", 0));
}

TEST_F(AppRunTest, FailuresMapToTheirLogLinesAndExitCodes) {
    struct Case {
        const char* mode;
        int code;
        const char* line;
    };
    for (const Case& c : {Case{"ok", 0, "cmdHandler ended"},
                          Case{"poco", 70, "PocoException: File not found: missing.bin, Code: 404"},
                          Case{"std", 70, "std::exception: boom"},
                          Case{"int", 70, "unknown exception at BaseApp::main"}}) {
        const std::string logs = dir.file(std::string("logs-") + c.mode);
        RunResult r = runProgram(kFake, failing({"-l", logs, "-r", "run"}), mode(c.mode));
        EXPECT_EQ(c.code, r.code) << c.mode << "\n" << r.err;
        const std::string log = onlyLogIn(logs);
        expectInOrder(log, {"Starting cmdHandler", c.line, "Return value: " + std::to_string(c.code)});
        if (c.code != 0) // the timer's line comes before the error's
            expectInOrder(log, {"Application working time: ", c.line});
    }
}

TEST_F(AppRunTest, ConsoleSignalsStopTheRunAsInterrupted) {
    for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
        const std::string logs = dir.file("logs-" + std::to_string(sig));
        ChildProcess child(kFake, failing({"-l", logs, "-r", "run"}), mode("loop"));
        ASSERT_TRUE(child.waitForOutput("ready")) << child.err();
        child.signal(sig);
        EXPECT_EQ(70, child.wait());
        EXPECT_NE(std::string::npos, child.out().find("onStop"));
        expectInOrder(onlyLogIn(logs), {"INTERRUPTED: FakeHandler::loop", "Return value: 70"});
    }
}

TEST_F(AppRunTest, BadNumbersAndBadLogFilesAreReportedWithoutCrashing) {
    RunResult r = runProgram(kPatcher, {"-g", "abc", "-s", "1", "-u", "x", "-d", "y"});
    EXPECT_EQ(70, r.code);
    EXPECT_NE(std::string::npos, r.err.find("Syntax error")) << r.err;

    // A log path that names a directory cannot be opened for writing.
    Poco::File(dir.file("logdir/taken.log")).createDirectories();
    r = runProgram(install(kPatcher, logFileAt(dir.file("logdir/taken.log"))), failing());
    EXPECT_EQ(70, r.code);
    EXPECT_EQ(0u, r.err.find("Logging will be disabled. Details: ")) << r.err;

    // A log file that stops taking writes (every write to /dev/full fails as on
    // a full disk) is dropped and the run goes on.
    if (!Poco::File("/dev/full").exists())
        GTEST_SKIP() << "no /dev/full";
    r = runProgram(install(kPatcher, logFileAt("/dev/full")), failing(), {dir.path(), {}});
    EXPECT_EQ(70, r.code) << r.err;
    expectInOrder(r.out, {"PocoException: File not found: ", "= Application ended ="}); // the console keeps its log lines
    const std::string warning = "Failed to write the log file. File logging disabled. Details: ";
    EXPECT_EQ(0u, r.err.find(warning)) << r.err;
    EXPECT_EQ(r.err.rfind(warning), r.err.find(warning)) << "said once: " << r.err;
}

TEST_F(AppRunTest, UninstallAndFullWriteTheirKeysWhateverTheirArgument) {
    RunResult r = runProgram(kFake, {"--url=a", "--dest=b"}, mode("keys"));
    EXPECT_NE(std::string::npos, r.out.find("dest.dir=b\ndest.uninstall=<none>\ndest.full-update=<none>")) << r.out;
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--uninstall=0", "--full=0"}, {"-U", "-f"}, {"-U0", "--full"}}) {
        args.insert(args.end(), {"-u", "a", "-d", "b"});
        r = runProgram(kFake, args, mode("keys"));
        EXPECT_EQ(0, r.code) << r.err;
        EXPECT_NE(std::string::npos, r.out.find("dest.uninstall=1\ndest.full-update=1")) << args[0] << "\n" << r.out;
    }
}
