#include "tests/engine/EndToEndSupport.h"

#include <Poco/DigestEngine.h>
#include <Poco/SHA1Engine.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testsupport::ChildProcess;
using testsupport::NginxServer;

namespace e2e {

namespace {

// The tail of a long output, enough to see why a run failed.
std::string tail(const std::string& s, std::size_t n = 6000) {
    return s.size() <= n ? s : "..." + s.substr(s.size() - n);
}

} // namespace

std::string text(std::size_t size, unsigned seed) {
    static const char* const words[] = {"castle ", "dragon ", "sword ", "level ", "quest ", "42 ", "map\n",
                                        "tower ",  "gold ",   "npc ",   "spell ", "7 ",     "door\n"};
    std::mt19937 rng(seed);
    std::string out;
    out.reserve(size + 8);
    while (out.size() < size)
        out += words[rng() % 13];
    out.resize(size);
    return out;
}

std::string noise(std::size_t size, unsigned seed) {
    std::mt19937_64 rng(seed * 7919u + 1);
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        out[i] = static_cast<char>(rng() >> 56);
    return out;
}

Tree smallGame(unsigned seed) {
    return {
        {"bin/game.bin", noise(40000, seed)},
        {"data/world.dat", text(120000, seed + 1)},
        {"data/notes.txt", text(2000, seed + 2)},
    };
}

Tree smallGameNext(unsigned seed) {
    Tree t = smallGame(seed);
    t["data/world.dat"].insert(5000, "a new island in the east\n");
    t["data/extra.txt"] = text(3000, seed + 3);
    return t;
}

std::string treeDifferences(const std::string& dest, const Tree& content) {
    std::ostringstream diff;
    if (!fs::is_directory(dest))
        return "no destination directory " + dest + "\n";
    Tree actual;
    for (auto it = fs::recursive_directory_iterator(dest); it != fs::recursive_directory_iterator(); ++it) {
        const std::string relative = fs::relative(it->path(), dest).generic_string();
        if (it.depth() == 0 && relative == ".kvo.meta.dir") {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_regular_file())
            actual[relative] = testsupport::readFile(it->path().string());
        else if (it->is_directory() && it.depth() == 0 && relative.rfind(".kvo.", 0) == 0)
            diff << "left over: " << relative << "/\n";
    }
    for (const auto& [relative, bytes] : content) {
        auto found = actual.find(relative);
        if (found == actual.end())
            diff << "missing: " << relative << "\n";
        else if (found->second != bytes)
            diff << "differs: " << relative << " (" << found->second.size() << " bytes, expected " << bytes.size()
                 << ")\n";
    }
    for (const auto& [relative, bytes] : actual)
        if (!content.count(relative))
            diff << "extra: " << relative << "\n";
    return diff.str();
}

std::string wrongFiles(const std::string& dest, const Tree& content) {
    std::string wrong;
    if (fs::is_directory(dest))
        for (const std::string& line : testsupport::split(treeDifferences(dest, content), '\n'))
            if (!line.empty() && line.rfind("missing: ", 0) != 0 && line.find(".kvo.tmp.dir/") == std::string::npos)
                wrong += line + "\n";
    return wrong;
}

std::string Outcome::describe() const {
    return "exit code " + std::to_string(code) + "\n--- stdout\n" + tail(out) + "\n--- stderr\n" + tail(err) +
           "\n--- log\n" + tail(log, 12000);
}

// ---- Updater

Updater::Updater(const std::map<std::string, std::string>& overrides) {
    const std::string built = testsupport::buildDir() + "app/patcher";
    exe_ = dir_.file("patcher");
    // A hard link is cheap; the executable's own path (not the link target)
    // decides where the configuration is looked for.
    if (::link(built.c_str(), exe_.c_str()) != 0)
        fs::copy_file(built, exe_, fs::copy_options::overwrite_existing);

    // The file's parser keeps the last value of a key.
    std::string properties = testsupport::readFile(testsupport::buildDir() + "app/patcher.properties") + "\n";
    for (const auto& [key, value] : overrides)
        properties += key + " = " + value + "\n";
    testsupport::writeFile(dir_.file("patcher.properties"), properties);
}

std::vector<std::string> Updater::withLog(const std::vector<std::string>& args) {
    lastLogDir_ = dir_.file("logs/" + std::to_string(++runs_));
    return plus(args, {"--log-dir", lastLogDir_, "--log-file", "run"});
}

std::unique_ptr<ChildProcess> Updater::start(const std::vector<std::string>& args,
                                             const std::map<std::string, std::string>& env) {
    ChildProcess::Options options;
    options.env = env;
    return std::make_unique<ChildProcess>(exe_, withLog(args), options);
}

Outcome Updater::finish(ChildProcess& child, int timeoutMs) {
    Outcome r{child.wait(timeoutMs), child.out(), child.err(), ""};
    if (fs::is_directory(lastLogDir_))
        for (const auto& e : fs::directory_iterator(lastLogDir_))
            r.log += testsupport::readFile(e.path().string());
    return r;
}

Outcome Updater::run(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                 int timeoutMs) {
    auto child = start(args, env);
    return finish(*child, timeoutMs);
}

// ---- helpers

std::string publishProgram() { return testsupport::buildDir() + "tools/publish/patcher-publish"; }
std::string launcherProgram() { return testsupport::buildDir() + "tools/launcher/patcher-launcher"; }
std::string fakeAdapterProgram() { return testsupport::buildDir() + "tests/engine/fake_adapter"; }

void publish(const std::string& content, const std::string& version, const std::string& root,
             const std::vector<std::string>& extra) {
    testsupport::RunResult r = testsupport::runProgram(
        publishProgram(), plus({"--content", content, "--version", version, "--out", root, "--jobs", "2"}, extra), {},
        300000);
    ASSERT_EQ(0, r.code) << "patcher-publish failed\n" << r.out << r.err;
}

std::int64_t bytesFor(const std::vector<NginxServer::Request>& requests, const std::string& fragment,
                      std::size_t from) {
    std::int64_t sum = 0;
    for (std::size_t i = from; i < requests.size(); ++i)
        if (requests[i].uri.find(fragment) != std::string::npos)
            sum += requests[i].bodyBytes;
    return sum;
}

std::int64_t dataBytes(const std::vector<NginxServer::Request>& requests, std::size_t from) {
    std::int64_t sum = 0; // a delta package once, not as a package and again as a delta
    for (std::size_t i = from; i < requests.size(); ++i)
        if (requests[i].uri.find(".pak") != std::string::npos || requests[i].uri.find("deltas/") != std::string::npos)
            sum += requests[i].bodyBytes;
    return sum;
}

std::vector<NginxServer::Request> requestsFor(const NginxServer& server, const std::string& fragment,
                                              std::size_t from) {
    std::vector<NginxServer::Request> all = server.requests(), out;
    for (std::size_t i = from; i < all.size(); ++i)
        if (all[i].uri.find(fragment) != std::string::npos)
            out.push_back(all[i]);
    return out;
}

std::vector<std::string> plus(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Tree without(Tree tree, const std::string& prefix) {
    for (auto it = tree.begin(); it != tree.end();)
        it = it->first.rfind(prefix, 0) == 0 ? tree.erase(it) : std::next(it);
    return tree;
}

void copyDir(const std::string& from, const std::string& to) {
    fs::create_directories(fs::path(to).parent_path());
    fs::copy(from, to, fs::copy_options::recursive);
}

bool waitFor(const std::function<bool()>& done, int seconds) {
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
         std::chrono::steady_clock::now() < deadline;) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

int launcherPort(ChildProcess& launcher) {
    int port = 0;
    waitFor(
        [&] {
            const std::string err = launcher.err();
            const auto at = err.find("listening on port ");
            if (at != std::string::npos && err.find('\n', at) != std::string::npos)
                port = std::stoi(err.substr(at + 18));
            return port != 0;
        },
        10);
    return port;
}

bool exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

void makeOnce(const std::string& dir, const std::function<void(const std::string& staging)>& make) {
    if (fs::is_directory(dir))
        return;
    // Made aside and renamed, so that a test running alongside sees all or nothing.
    const std::string staging = dir + ".tmp" + std::to_string(::getpid());
    fs::remove_all(staging);
    make(staging);
    std::error_code ec;
    fs::rename(staging, dir, ec);
    if (ec)
        fs::remove_all(staging);
}

// ---- EndToEndTest

void EndToEndTest::SetUp() {
    if (!NginxServer::available())
        GTEST_SKIP() << "nginx or openssl is not installed";
    if (!exists("/usr/bin/xdelta3"))
        GTEST_SKIP() << "xdelta3 is not installed";
    fs::create_directories(site());
}

namespace {

void digestTree(Poco::SHA1Engine& sha, const Tree& tree) {
    for (const auto& [relative, bytes] : tree) {
        sha.update(relative + '\0' + std::to_string(bytes.size()) + '\0');
        sha.update(bytes);
    }
}

// What decides a publication's bytes: the publisher itself, what was published
// into the same root before, the version, the tree and the options (paths by
// their content).
std::string publicationKey(const std::string& before, const Tree& tree, const std::string& version,
                           const std::vector<std::string>& extra) {
    Poco::SHA1Engine sha;
    struct stat st {};
    ::stat(publishProgram().c_str(), &st);
    sha.update(std::to_string(st.st_size) + ":" + std::to_string(st.st_mtime) + ":" + before + ":" + version);
    digestTree(sha, tree);
    for (const auto& arg : extra) {
        sha.update(std::string("\0arg\0", 5));
        if (fs::is_regular_file(arg))
            sha.update(testsupport::readFile(arg));
        else if (fs::is_directory(arg))
            digestTree(sha, readTree(arg));
        else
            sha.update(arg);
    }
    return Poco::DigestEngine::digestToHex(sha.digest());
}

} // namespace

std::string EndToEndTest::publishTree(const Tree& tree, const std::string& version, const std::string& root,
                                      const std::vector<std::string>& extra) {
    const std::string content = work_.file("content/" + root + "-" + version);
    testsupport::makeTree(content, tree);
    const std::string target = site() + root + "/" + version;

    // Publishing is the slow part of a test under the sanitizers: each
    // publication is made once per build and copied from there.
    std::string& chain = publishedKeys_[root];
    chain = publicationKey(chain, tree, version, extra);
    const std::string cached = testsupport::buildDir() + "tests/engine/e2e-publications/" + chain;
    bool published = false;
    makeOnce(cached, [&](const std::string& staging) {
        publish(content, version, site() + root, extra);
        published = true;
        if (!::testing::Test::HasFatalFailure())
            copyDir(target, staging);
    });
    if (!published)
        copyDir(cached, target);
    return content;
}

NginxServer& EndToEndTest::nginx() {
    if (!nginx_) {
        nginxOptions_.root = site();
        nginx_ = std::make_unique<NginxServer>(nginxOptions_);
    }
    return *nginx_;
}

Outcome EndToEndTest::update(Updater& updater, const std::string& source, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env) {
    return updater.run(plus({"--url", source, "--dest", dest()}, args), env);
}

Outcome EndToEndTest::installs(Updater& updater, const std::string& source, const Tree& content,
                               const std::vector<std::string>& args, const std::map<std::string, std::string>& env) {
    Outcome r = update(updater, source, args, env);
    EXPECT_RUN(r, 0);
    EXPECT_EQ("", treeDifferences(dest(), content)) << r.describe();
    return r;
}

void EndToEndTest::expectRefused(Updater& updater, const std::string& source, const std::string& message) {
    const Tree before = state();
    Outcome r = update(updater, source);
    EXPECT_RUN(r, 70);
    EXPECT_LOGS(r, message);
    EXPECT_TRUE(before == state()) << "the destination changed";
}

void EndToEndTest::expectUpToDate(Updater& updater, const std::string& source, const std::string& destination) {
    const std::size_t before = nginx().requests().size();
    Outcome again = updater.run({"--url", source, "--dest", destination.empty() ? dest() : destination});
    EXPECT_RUN(again, 0);
    EXPECT_TRUE(again.logs("Distribution is not outdated, so update not needed")) << again.describe();
    EXPECT_EQ(0, dataBytes(nginx().requests(), before)) << "package data fetched again";
}

} // namespace e2e
