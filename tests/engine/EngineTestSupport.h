#pragma once

#include "base/CmdHandler.h"
#include "base/RootStorage.h"
#include "base/Singleton.h"
#include "distr/DiscGuard.h"
#include "engine/DistrManager.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

#include <Poco/File.h>
#include <Poco/Path.h>

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace enginetest {

// Bytes that do not compress, so a file is stored as is and its stored size is
// its size.
inline std::string noise(std::size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string out(size, '\0');
    for (char& c : out)
        c = static_cast<char>(gen() & 0xff);
    return out;
}

using testsupport::makeTree;

// Runs the built publisher; the test fails when it does.
inline void publish(const std::vector<std::string>& args) {
    // Generous: a sanitizer build of the publisher is slow.
    const auto result =
        testsupport::runProgram(testsupport::buildDir() + "tools/publish/patcher-publish", args, {}, 300000);
    ASSERT_EQ(0, result.code) << result.out << result.err;
}

// The process-wide objects the engine needs, made and dropped per test.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        Patcher::Singleton<Patcher::RootStorage>::create();
        Patcher::Singleton<Patcher::DiscGuard>::create();
    }
    void TearDown() override {
        Patcher::Singleton<Patcher::DiscGuard>::destroy();
        Patcher::Singleton<Patcher::RootStorage>::destroy();
    }

    // Publishes files as version under the site; previous versions for deltas.
    std::string publishVersion(const std::string& version, const std::map<std::string, std::string>& files,
                               const std::vector<std::string>& previous = {}) {
        const std::string content = dir.file("content-" + version + "/");
        makeTree(content, files);
        std::vector<std::string> args{"--content", content, "--version", version, "--out", site(), "--jobs", "1"};
        for (const std::string& p : previous) {
            args.push_back("--previous");
            args.push_back(p);
        }
        publish(args);
        return site() + version + "/";
    }
    std::string site() const { return dir.file("site/"); }
    std::string dest() const { return dir.file("dest/"); }

    // One whole update run of the destination from source, with the interned
    // paths of a fresh process (their first spelling is the one a path keeps).
    void update(const std::string& source) {
        Patcher::Singleton<Patcher::RootStorage>::destroy();
        Patcher::Singleton<Patcher::RootStorage>::create();
        Patcher::StopState stop;
        Patcher::DistrManager engine(source, dest(), nullptr);
        engine.update(stop);
    }

    testsupport::TempDir dir;
};

} // namespace enginetest
