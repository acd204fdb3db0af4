#pragma once

#include "tests/support/ChildProcess.h"
#include "tests/support/NginxServer.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace e2e {

// A game tree: relative '/'-separated path -> bytes.
using Tree = std::map<std::string, std::string>;

// Deterministic bytes: `text` compresses well, `noise` not at all.
std::string text(std::size_t size, unsigned seed);
std::string noise(std::size_t size, unsigned seed);

// Three files; the next version edits one and adds another.
Tree smallGame(unsigned seed);
Tree smallGameNext(unsigned seed);

using testsupport::readTree;

// Empty when dest holds exactly the files of content, byte for byte, and
// nothing else but ".kvo.meta.dir"; otherwise what differs, one item a line.
std::string treeDifferences(const std::string& dest, const Tree& content);
// The differences but for missing files and the temporary folder (kept by a
// failed run): what lies under a final name and is not content's.
std::string wrongFiles(const std::string& dest, const Tree& content);

// One run of the updater.
struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
    std::string log; // the run's log file (debug level)
    bool logs(const std::string& fragment) const { return log.find(fragment) != std::string::npos; }
    // Everything, for failure messages.
    std::string describe() const;
};

// A private copy of the updater with its own configuration beside it, so that a
// test may change engine keys (and learn task weights) without touching the
// build's copy or another test's.
class Updater {
public:
    // overrides: configuration keys replaced in (or added to) patcher.properties.
    explicit Updater(const std::map<std::string, std::string>& overrides = {});

    // Runs the updater with args plus a log file of its own; env is added to
    // the environment.
    Outcome run(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
            int timeoutMs = 60000);
    // Starts it without waiting; finish() collects the result.
    std::unique_ptr<testsupport::ChildProcess> start(const std::vector<std::string>& args,
                                                     const std::map<std::string, std::string>& env = {});
    Outcome finish(testsupport::ChildProcess& child, int timeoutMs = 60000);

    const std::string& executable() const { return exe_; }

private:
    std::vector<std::string> withLog(const std::vector<std::string>& args);

    testsupport::TempDir dir_;
    std::string exe_;
    int runs_ = 0;
    std::string lastLogDir_;
};

// Paths of the build's programs.
std::string publishProgram();
std::string launcherProgram();
std::string fakeAdapterProgram();

// Runs the publisher: content published as version under root; fails the test
// (with the publisher's output) when it does not succeed.
void publish(const std::string& content, const std::string& version, const std::string& root,
             const std::vector<std::string>& extra = {});

// Body bytes nginx sent for requests whose URI contains fragment.
std::int64_t bytesFor(const std::vector<testsupport::NginxServer::Request>& requests, const std::string& fragment,
                      std::size_t from = 0);
// Package and delta bytes sent (descriptions are fetched by every run).
std::int64_t dataBytes(const std::vector<testsupport::NginxServer::Request>& requests, std::size_t from = 0);
// Requests from `from` on whose URI contains fragment.
std::vector<testsupport::NginxServer::Request> requestsFor(const testsupport::NginxServer& server,
                                                           const std::string& fragment, std::size_t from = 0);

// a followed by b, for option lists.
std::vector<std::string> plus(std::vector<std::string> a, const std::vector<std::string>& b);
// tree without the paths that start with prefix.
Tree without(Tree tree, const std::string& prefix);
// Copies the directory from to `to`, making to's parents.
void copyDir(const std::string& from, const std::string& to);
// Polls done() every 10 ms until it holds (true) or `seconds` pass (false).
bool waitFor(const std::function<bool()>& done, int seconds = 30);
// The port a started launcher says it listens on; 0 when it did not say in time.
int launcherPort(testsupport::ChildProcess& launcher);

// Unless dir exists, make(staging) fills a directory that is then renamed to
// dir: for what a build makes once and its tests share.
void makeOnce(const std::string& dir, const std::function<void(const std::string& staging)>& make);
bool exists(const std::string& path);

// The common base of the end-to-end tests: a work directory with the
// publication root "site/" served by nginx (started on first use) and the
// destination "dest/".
class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override;

    std::string site() const { return work_.file("site/"); }
    std::string dest() const { return work_.file("dest/"); }
    std::string path(const std::string& relative) const { return work_.file(relative); }

    // Writes tree as a content directory and publishes it as version under
    // site()/root (or copies the same publication made earlier in this build
    // tree); returns the content directory.
    std::string publishTree(const Tree& tree, const std::string& version, const std::string& root = "game",
                            const std::vector<std::string>& extra = {});

    testsupport::NginxServer& nginx();
    // URL of site()/relative on nginx's HTTP port, and through its rate-limited
    // "/slow/" location.
    std::string url(const std::string& relative) { return nginx().url(relative); }
    std::string slowUrl(const std::string& relative) { return nginx().url("slow/" + relative); }

    // Runs updater against source into dest() with args added.
    Outcome update(Updater& updater, const std::string& source, const std::vector<std::string>& args = {},
               const std::map<std::string, std::string>& env = {});

    // Runs updater from source into dest(): exit 0, and dest() holds content.
    Outcome installs(Updater& updater, const std::string& source, const Tree& content,
                     const std::vector<std::string>& args = {}, const std::map<std::string, std::string>& env = {});
    Outcome installs(Updater& updater, const std::string& source, const std::string& contentDir,
                     const std::vector<std::string>& args = {}) {
        return installs(updater, source, readTree(contentDir), args);
    }
    // One more run from source into destination (dest() when empty): it finds
    // nothing to do and fetches no package or delta byte.
    void expectUpToDate(Updater& updater, const std::string& source, const std::string& destination = "");
    // A run from source ends with 70 and message in its log, and leaves dest()
    // as it was but for the temporary folder (kept for the next run).
    void expectRefused(Updater& updater, const std::string& source, const std::string& message);
    Tree state() { return without(readTree(dest()), ".kvo.tmp.dir/"); }

    testsupport::TempDir work_;
    std::map<std::string, std::string> publishedKeys_; // root -> key of its latest publication
    std::unique_ptr<testsupport::NginxServer> nginx_;
    testsupport::NginxServer::Options nginxOptions_;
};

// Fails the current test with the run's output unless it exited with code.
#define EXPECT_RUN(run, expected) EXPECT_EQ((expected), (run).code) << (run).describe()
#define ASSERT_RUN(run, expected) ASSERT_EQ((expected), (run).code) << (run).describe()
#define EXPECT_LOGS(run, fragment) EXPECT_TRUE((run).logs(fragment)) << (run).describe()

} // namespace e2e
