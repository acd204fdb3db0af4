// Signed publications: with trusted keys configured, a description is used only
// when a trusted key signed its exact bytes, whatever the network path serves,
// and an older signed publication is not installed over a newer one; an
// environment redirect, signed.
#include "tests/engine/EndToEndSupport.h"

#include <Poco/Base64Encoder.h>
#include <Poco/DateTimeParser.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

namespace e2e {
namespace {

// A key pair made once per build with the publisher, so that the signed
// publications stay cached between runs; returns its directory.
std::string keyPair(const std::string& name) {
    const std::string dir = testsupport::buildDir() + "tests/engine/e2e-keys/" + name;
    makeOnce(dir, [](const std::string& staging) {
        const testsupport::RunResult r = testsupport::runProgram(publishProgram(), {"--gen-key", staging});
        EXPECT_EQ(0, r.code) << r.err;
    });
    return dir + "/";
}

// The PEM on one line, as a configuration value.
std::string inlinePem(const std::string& file) {
    std::string pem = readFile(file);
    pem.erase(std::remove(pem.begin(), pem.end(), '\n'), pem.end());
    return pem;
}

class EndToEndSignature : public EndToEndTest {
protected:
    // Signed 1.0 and 1.1 (with a delta from 1.0) under site()/game; their
    // contents. 1.1 is created in a later second than 1.0.
    std::pair<std::string, std::string> publishSigned() {
        const std::vector<std::string> sign = {"--sign-key", keyPair("maker") + "publish.key"};
        const std::string v1 = publishTree(smallGame(70), "1.0", "game", sign);
        waitPast(site() + "game/1.0/version-info.txt", "date-created");
        return {v1, publishTree(smallGameNext(70), "1.1", "game", plus(sign, {"--previous", "1.0"}))};
    }
    // Until the clock's second is later than the description's date `name`
    // ("date-created", "date-modified").
    static void waitPast(const std::string& description, const std::string& name) {
        const std::string text = readFile(description);
        const std::size_t at = text.find(name + "=") + name.size() + 1;
        int zone = 0;
        const auto when = Poco::DateTimeParser::parse(text.substr(at, text.find('\r', at) - at), zone).timestamp();
        while (std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()) <= when.epochTime())
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // A player's updater trusting the maker's key (by path) and another key
    // (inline), plus overrides.
    Updater trustingUpdater(std::map<std::string, std::string> overrides = {}) {
        overrides["app.trusted-keys"] =
            inlinePem(keyPair("other") + "publish.pub") + ", " + keyPair("maker") + "publish.pub";
        return Updater(overrides);
    }
    // Through the name "localhost": the HTTPS attempt meets the plain port and
    // fails, and descriptions and signatures come over HTTP.
    std::string localhostUrl(const std::string& relative) {
        return "http://localhost:" + std::to_string(nginx().port()) + "/" + relative;
    }
    // A copy of game/1.1 spoiled as named, under site()/bad/1.1/.
    void spoil(const std::string& name) {
        fs::remove_all(site() + "bad");
        copyDir(site() + "game/1.1", site() + "bad/1.1");
        const std::string info = site() + "bad/1.1/version-info.txt";
        if (name == "changed byte") {
            std::string bytes = readFile(info);
            const std::size_t at = bytes.find("size=") + 5;
            bytes[at] = bytes[at] == '9' ? '8' : '9';
            writeFile(info, bytes);
        } else if (name == "missing signature") {
            fs::remove(info + ".sig");
        } else if (name == "other key") {
            // Signed by the real tool with a key the player does not trust.
            const testsupport::RunResult r = testsupport::runProgram(
                "/usr/bin/openssl", {"pkeyutl", "-sign", "-rawin", "-inkey", keyPair("stranger") + "publish.key",
                                     "-in", info, "-out", info + ".bin"});
            ASSERT_EQ(0, r.code) << r.err;
            std::ostringstream base64;
            Poco::Base64Encoder encoder(base64);
            encoder.rdbuf()->setLineLength(0);
            encoder << readFile(info + ".bin");
            encoder.close();
            writeFile(info + ".sig", base64.str() + "\r\n");
        } else {
            writeFile(info + ".sig", "not a signature at all\r\n");
        }
    }
};

// Signatures fetched HTTPS first; each way a description can fail its
// signature: exit 70 with the reason and the destination as it was; the
// genuine update installs afterwards, and older signed publications are
// refused unless a downgrade is allowed.
TEST_F(EndToEndSignature, SignedInstallBadSignaturesRefusedSignedUpdateAndNoDowngrade) {
    const auto [v1, v2] = publishSigned();
    Updater updater = trustingUpdater();
    const std::string https = "https://localhost:" + std::to_string(nginx().port()) + "/game/";
    Outcome install = installs(updater, localhostUrl("game/1.0/"), v1);
    EXPECT_LOGS(install, "Publications are verified against 2 trusted key(s)");
    EXPECT_FALSE(install.logs("Publications are not verified")) << install.log;
    EXPECT_LOGS(install, https + "1.0/version-info.txt");

    const std::pair<const char*, const char*> cases[] = {{"changed byte", "not signed by a trusted key"},
                                                         {"missing signature", "missing"},
                                                         {"other key", "not signed by a trusted key"},
                                                         {"garbage signature", "malformed"}};
    for (const auto& [name, reason] : cases) {
        SCOPED_TRACE(name);
        spoil(name);
        const std::string bad = localhostUrl("bad/1.1/");
        expectRefused(updater, bad, "Signature verification failed for: " + bad + "version-info.txt (" + reason + ")");
        EXPECT_TRUE(requestsFor(nginx(), "bad/1.1/control.txt").empty());
    }

    Outcome next = installs(updater, localhostUrl("game/1.1/"), v2);
    EXPECT_GT(bytesFor(nginx().requests(), "game/1.1/deltas/1.0/"), 0);
    EXPECT_LOGS(next, https + "1.1/version-info.txt.sig");
    EXPECT_FALSE(requestsFor(nginx(), "game/1.1/version-info.txt.sig").empty());

    // Genuinely signed old builds kept for replaying: 1.0 at the place of 1.1,
    // and 1.1 as it was before the maker rebuilt it with a fix (a rebuild
    // keeps the creation date).
    copyDir(site() + "game/1.0", site() + "replay/1.1");
    copyDir(site() + "game/1.1", site() + "replay/1.1-unfixed");
    Tree fixed = smallGameNext(70);
    fixed["bin/game.bin"] = noise(40000, 74);
    testsupport::makeTree(path("fixed"), fixed);
    waitPast(site() + "game/1.1/version-info.txt", "date-modified");
    publish(path("fixed"), "1.1", site() + "game",
            {"--sign-key", keyPair("maker") + "publish.key", "--previous", "1.0", "--force"});

    ASSERT_RUN(update(updater, url("game/1.1/")), 0);
    for (const std::string& source : {url("game/1.0/"), url("replay/1.1/"), url("replay/1.1-unfixed/")})
        expectRefused(updater, source, "Refusing an older publication: " + source + "version-info.txt");

    Updater downgrading = trustingUpdater({{"app.allow-downgrade", "true"}});
    // The files only 1.1 has stay: 1.0's removal list cannot name them.
    Tree expected = readTree(v1);
    expected["data/extra.txt"] = fixed.at("data/extra.txt");
    installs(downgrading, url("game/1.0/"), expected);
    EXPECT_EQ("1.0", readFile(dest() + ".kvo.meta.dir/.kvo.installed.control.txt"));
}

// An environment "eu" overrides files of the main tree, and a file the main
// tree drops but the environment still has survives the removal of deleted
// items. When the root's description behind the redirect fails its signature,
// the environment's (which passes) is not stored either.
TEST_F(EndToEndSignature, EnvironmentRedirectWithTheRootsSignature) {
    const std::string shared = text(4000, 20);
    const Tree main1 = {{"game.bin", noise(30000, 21)}, {"lang/strings.txt", shared}, {"lang/menu.txt", text(900, 22)}};
    const Tree env = {{"lang/strings.txt", shared}, {"lang/menu.txt", text(950, 23)}, {"lang/eu.txt", text(700, 24)}};
    Tree main2 = main1;
    main2.erase("lang/strings.txt");
    main2["game.bin"] = noise(30000, 25);
    testsupport::makeTree(path("env"), env);
    const std::vector<std::string> sign = {"--sign-key", keyPair("maker") + "publish.key", "--env", "eu",
                                           "--env-content", path("env")};
    publishTree(main1, "1.0", "env", sign);
    publishTree(main2, "1.1", "env", plus(sign, {"--previous", "1.0"}));
    const auto overlay = [&env](Tree base) {
        for (const auto& [p, bytes] : env)
            base[p] = bytes;
        return base;
    };
    Updater updater = trustingUpdater();
    Outcome install = installs(updater, url("env/1.0/eu/"), overlay(main1));
    EXPECT_LOGS(install, "Detected environment is: eu");

    copyDir(site() + "env/1.1", site() + "bad/1.1");
    const std::string root = site() + "bad/1.1/version-info.txt";
    std::string bytes = readFile(root);
    bytes.insert(bytes.find('\n') + 1, "    note=x\r\n");
    writeFile(root, bytes);
    expectRefused(updater, url("bad/1.1/eu/"), "Signature verification failed for: " + url("bad/1.1/") +
                                                   "version-info.txt (not signed by a trusted key)");

    installs(updater, url("env/1.1/eu/"), overlay(main2));
    EXPECT_EQ("1.1", readFile(dest() + ".kvo.meta.dir/.kvo.installed.control.txt"));
}

} // namespace
} // namespace e2e
