// Where a publication comes from: HTTPS (the fall-back to HTTP after a failed
// HTTPS attempt is what the signed runs go through), a files location in a
// subfolder, and sources that are wrong in every way a player meets (refused
// before any installed file changes).
#include "tests/engine/EndToEndSupport.h"

#include "tests/support/FaultServer.h"

#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

namespace e2e {
namespace {

class EndToEndSource : public EndToEndTest {};

// A description whose files location is a subfolder holding the control
// files, the packages and a description of its own with the deltas.
TEST_F(EndToEndSource, FilesLocationInSubfolderWithItsOwnDescription) {
    publishTree(smallGame(30), "1.0");
    const std::string v2 = publishTree(smallGameNext(30), "1.1", "game", {"--previous", "1.0"});
    for (const char* version : {"1.0", "1.1"}) {
        const std::string from = site() + "game/" + version;
        const std::string to = site() + "alt/" + version;
        copyDir(from, to + "/data");
        // The top description: the distribution block with files in "data/",
        // and no deltas (those are found in data/version-info.txt).
        std::istringstream in(readFile(from + "/version-info.txt"));
        std::string top;
        for (std::string line; std::getline(in, line) && line.rfind("delta", 0) != 0; top += line + "\n")
            if (line.find("files=./") != std::string::npos)
                line.replace(line.find("./"), 2, "data/");
        top += "delta {0}\r\n";
        writeFile(to + "/version-info.txt", top);
    }
    Updater updater;
    ASSERT_RUN(update(updater, url("alt/1.0/")), 0);
    Outcome r = installs(updater, url("alt/1.1/"), v2);
    EXPECT_LOGS(r, "Outdated items recoverable by delta: 1 from 1");
    EXPECT_GT(bytesFor(nginx().requests(), "alt/1.1/data/deltas/1.0/"), 0);
    EXPECT_EQ(0, bytesFor(nginx().requests(), "game/"));
}

// An HTTPS source with the test certificate trusted; bad sources (that one
// untrusted among them): exit 70 with the reason, installed files untouched,
// and the next good run completes.
TEST_F(EndToEndSource, HttpsSourceAndBadSourcesRefusedBeforeAnyChange) {
    const std::string v1 = publishTree(smallGame(40), "1.0");
    const std::string v2 = publishTree(smallGameNext(40), "1.1", "game", {"--previous", "1.0"});
    // A copy of 1.1 whose description names another control file.
    copyDir(site() + "game/1.1", site() + "bad/1.1");
    std::string info = readFile(site() + "bad/1.1/version-info.txt");
    const std::size_t at = info.find("control-hash=") + 13;
    info[at] = info[at] == '0' ? '1' : '0';
    writeFile(site() + "bad/1.1/version-info.txt", info);
    fs::create_directories(site() + "empty/1.1");
    const std::string dead = testsupport::FaultServer::deadUrl();
    const std::string https = "https://localhost:" + std::to_string(nginx().httpsPort()) + "/game/";
    const std::pair<std::string, const char*> cases[] = {
        {https + "1.1/", "The server's certificate was refused"},
        {site() + "nowhere/1.1", "version-info.txt"},
        {url("empty/1.1/"), "version-info.txt"},
        {url("bad/1.1/"), "SHA1 verification failed for the file: control.txt.7z"},
        {dead.substr(0, dead.rfind('/') + 1) + "game/1.1/", "onnection refused"},
    };
    // Short retry pauses: a refused connection is tried again.
    Updater updater({{"app.retry-delay", "0.01"}, {"app.retry-delay-max", "0.05"}});
    // With the test certificate trusted, over HTTPS alone.
    installs(updater, https + "1.0/", readTree(v1), {}, {{"PATCHER_CA_FILE", nginx().certificateFile()}});
    ASSERT_FALSE(nginx().requests().empty());
    for (const auto& q : nginx().requests())
        EXPECT_EQ("https", q.scheme) << q.uri;
    for (const auto& [source, reason] : cases) {
        SCOPED_TRACE(source);
        fs::remove_all(dest());
        installs(updater, url("game/1.0/"), v1);
        Outcome bad = update(updater, source);
        EXPECT_RUN(bad, 70);
        EXPECT_LOGS(bad, reason);
        EXPECT_EQ(readTree(v1), without(readTree(dest()), ".kvo."));
        EXPECT_EQ("1.0", readFile(dest() + ".kvo.meta.dir/.kvo.installed.control.txt"));
        installs(updater, url("game/1.1/"), v2);
    }
}

} // namespace
} // namespace e2e
