// Runs killed at random moments (SIGKILL mostly, SIGINT and the launcher's
// stop too), and leftovers damaged between runs: the next run always completes
// with the new content byte for byte, and the one after it has nothing to do.
//
// PATCHER_CRASH_TRIALS and PATCHER_CRASH_SEED set the number of trials (4) and
// the seed (1); scripts/crash-trials.sh runs many.
#include "tests/engine/EndToEndSupport.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>

namespace fs = std::filesystem;
using testsupport::ChildProcess;
using testsupport::readFile;
using testsupport::sha1Hex;
using testsupport::writeFile;

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

int envNumber(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::atoi(value) : fallback;
}

// Names in the metadata directory, but for the stamped copies a failed cache
// load preserves.
std::set<std::string> metaNames(const std::string& dest) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dest + ".kvo.meta.dir"))
        if (!std::regex_match(e.path().filename().string(), std::regex(R"(\.kvo\.cache\.txt\..*\.[0-9]+)")))
            names.insert(e.path().filename().string());
    return names;
}

// What is wrong with the installed state of dest for content, as the third run
// left it; empty when nothing. metaExpected: the metadata names of a clean run.
std::string stateProblems(const std::string& dest, const Tree& content, const std::string& version,
                          const std::set<std::string>& metaExpected) {
    std::ostringstream out;
    out << treeDifferences(dest, content);
    const std::string meta = dest + ".kvo.meta.dir/";
    if (!exists(meta + ".kvo.installed.control.txt") || readFile(meta + ".kvo.installed.control.txt") != version)
        out << "installed version is not " << version << "\n";
    if (metaNames(dest) != metaExpected)
        out << "metadata names differ: " << testing::PrintToString(metaNames(dest)) << "\n";
    std::set<std::string> cached;
    std::istringstream lines(exists(meta + ".kvo.cache.txt") ? readFile(meta + ".kvo.cache.txt") : "");
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::vector<std::string> fields = testsupport::split(line, '|');
        if (fields.size() < 4 || fields.back().empty()) {
            out << "cache line torn: " << line << "\n";
            continue;
        }
        cached.insert(fields[0]);
        if (!exists(dest + fields[0]))
            out << "cache names a missing file: " << fields[0] << "\n";
        else if (content.count(fields[0]) && sha1Hex(content.at(fields[0])) != fields[1])
            out << "cache has a wrong hash for " << fields[0] << "\n";
    }
    for (const auto& [relative, bytes] : content)
        if (!cached.count(relative))
            out << "not in the cache: " << relative << "\n";
    return out.str();
}

// Two versions with every kind of work between them: whole packages, a package
// of many small files, single entries, deltas and a deleted file.
Tree versionOne() {
    Tree t;
    t["video/intro.bin"] = noise(1200000, 1);
    t["bin/game"] = noise(300000, 2);
    for (int i = 0; i < 8; ++i)
        t["data/level" + std::to_string(i) + ".dat"] = text(40000, 10 + i);
    for (int i = 0; i < 150; ++i)
        t["many/file" + std::to_string(i) + ".bin"] = noise(2000, 100 + i);
    t["old/gone.txt"] = text(5000, 3);
    return t;
}

Tree versionTwo() {
    Tree t = versionOne();
    std::string& game = t["bin/game"];
    game.replace(100000, 20000, noise(20000, 4));
    t["data/level3.dat"] = text(40000, 5) + text(3000, 6);
    for (int i = 0; i < 5; ++i)
        t["many/file" + std::to_string(i) + ".bin"] = noise(2100, 300 + i);
    t["many/added.bin"] = noise(3000, 7);
    t["new/movie.bin"] = noise(700000, 8);
    t.erase("old/gone.txt");
    return t;
}

const std::vector<std::string> kPackaging = {"--package-size", "512K"};

class EndToEndCrash : public EndToEndTest {
protected:
    EndToEndCrash() { nginxOptions_.slowRate = "192k"; }

    void SetUp() override {
        EndToEndTest::SetUp();
        if (IsSkipped())
            return;
        publishTree(versionOne(), "1.0", "game", kPackaging);
        v2_ = readTree(publishTree(versionTwo(), "2.0", "game", plus(kPackaging, {"--previous", "1.0"})));
    }

    std::vector<std::string> into(const std::string& source, const std::string& destination) {
        return {"--url", source, "--dest", destination};
    }

    Tree v2_;
};

TEST_F(EndToEndCrash, KilledAnywhereTheNextRunCompletes) {
    const int trials = envNumber("PATCHER_CRASH_TRIALS", 4);
    const unsigned seed = static_cast<unsigned>(envNumber("PATCHER_CRASH_SEED", 1));
    Updater updater(std::map<std::string, std::string>{{"app.min-segment-size", "262144"}});
    const std::string v1 = url("game/1.0/"), v2 = url("game/2.0/"), slow = slowUrl("game/2.0/");

    // Uninterrupted runs of both kinds: how long they last, what they fetch,
    // and the metadata they leave.
    struct Baseline {
        double seconds = 0;
        std::int64_t bytes = 0;
        std::set<std::string> meta;
    } base[2]; // [0] fresh install, [1] update from 1.0
    for (int kind = 0; kind < 2; ++kind) {
        const std::string d = path("base" + std::to_string(kind) + "/");
        if (kind == 1) {
            ASSERT_RUN(updater.run(into(v1, d)), 0);
        }
        const std::size_t before = nginx().requests().size();
        const auto start = Clock::now();
        ASSERT_RUN(updater.run(into(slow, d)), 0);
        base[kind].seconds = std::chrono::duration<double>(Clock::now() - start).count();
        base[kind].bytes = dataBytes(nginx().requests(), before);
        ASSERT_RUN(updater.run(into(v2, d)), 0);
        base[kind].meta = metaNames(d);
        ASSERT_EQ("", treeDifferences(d, v2_));
        fs::remove_all(d);
    }
    std::cout << "uninterrupted: install " << base[0].seconds << " s, " << base[0].bytes << " bytes; update "
              << base[1].seconds << " s, " << base[1].bytes << " bytes\n";

    std::mt19937 rng(seed);
    int identical = 0, landed = 0;
    std::vector<std::int64_t> again; // bytes fetched again per trial
    std::map<std::string, int> phases; // where the killed run was
    const char* const markers[] = {"Refreshing cache content", "Applying delta", "Applying package",
                                   "Applying single entries", "Cleaning up obsolete metadata"};
    for (int trial = 0; trial < trials; ++trial) {
        const int kind = static_cast<int>(rng() % 2);
        const int how = static_cast<int>(rng() % 10); // 0-6 SIGKILL, 7-8 SIGINT, 9 the launcher's stop
        // Over the whole run, and a third of the time within its first quarter,
        // where the short phases are (descriptions, cache, deltas).
        const double span = trial % 3 == 2 ? 0.25 : 1.05;
        const double at = std::uniform_real_distribution<double>(0.0, span)(rng) * base[kind].seconds;
        const std::string d = path("trial" + std::to_string(trial) + "/");
        std::ostringstream name;
        name << "trial " << trial << ": " << (kind ? "update" : "install") << ", "
             << (how < 7 ? "SIGKILL" : how < 9 ? "SIGINT" : "launcher stop") << " at " << at << " s";
        SCOPED_TRACE(name.str());
        if (kind == 1) {
            ASSERT_RUN(updater.run(into(v1, d)), 0);
        }

        const std::size_t before = nginx().requests().size();
        std::vector<std::string> args = into(slow, d);
        std::unique_ptr<ChildProcess> launcher;
        if (how == 9) {
            // The launcher stops at a progress report sent every 100 ms.
            const std::string nth = std::to_string(1 + static_cast<int>(at * 10));
            launcher = std::make_unique<ChildProcess>(
                launcherProgram(), std::vector<std::string>{"--on-progress", nth + "=stop", "--timeout", "60"});
            const int port = launcherPort(*launcher);
            ASSERT_NE(0, port) << launcher->err();
            args.insert(args.end(), {"--game-id", "7", "--server-port", std::to_string(port), "--progress", "dummy",
                                     "--progress-update-freq", "100"});
        }
        auto child = updater.start(args);
        if (how < 9) {
            std::this_thread::sleep_for(std::chrono::microseconds(static_cast<std::int64_t>(at * 1e6)));
            child->signal(how < 7 ? SIGKILL : SIGINT);
        }
        Outcome cut = updater.finish(*child);
        if (launcher)
            launcher->wait(20000);
        if (cut.code != 0) {
            ++landed;
            std::string phase = "start";
            std::size_t last = 0;
            for (const char* marker : markers) // the one logged last
                if (cut.log.rfind(marker) != std::string::npos && cut.log.rfind(marker) >= last)
                    last = cut.log.rfind(marker), phase = marker;
            ++phases[phase];
        }
        // A SIGINT before the console handler is installed ends the process
        // by the signal's default action.
        EXPECT_TRUE(cut.code == 0 || cut.code == 70 || cut.code == 128 + (how < 7 ? SIGKILL : SIGINT))
            << cut.describe();

        Outcome next = updater.run(into(v2, d));
        EXPECT_RUN(next, 0);
        again.push_back(std::max<std::int64_t>(0, dataBytes(nginx().requests(), before) - base[kind].bytes));
        expectUpToDate(updater, v2, d);
        const std::string problems = stateProblems(d, v2_, "2.0", base[kind].meta);
        EXPECT_EQ("", problems) << next.describe();
        identical += problems.empty() && next.code == 0;
        fs::remove_all(d);
    }

    std::cout << "crash trials: " << trials << " run, " << identical << " byte-identical, " << landed
              << " cut before their end (seed " << seed << ")\n";
    // Counted by nginx: bytes already in the socket buffers when a run died
    // are among them.
    std::sort(again.begin(), again.end());
    if (!again.empty())
        std::cout << "bytes fetched again per trial: median " << again[again.size() / 2] << ", max " << again.back()
                  << "\n";
    for (const auto& [phase, count] : phases)
        std::cout << "cut during \"" << phase << "\": " << count << "\n";
}

// Leftovers damaged between runs: each is repaired by the next run, which
// completes; what was right is not fetched again.
TEST_F(EndToEndCrash, DamagedLeftoversAreRepairedByTheNextRun) {
    Updater updater;
    const std::string v2 = url("game/2.0/");
    // What is damaged: an installation of 2.0, or what a killed run leaves of
    // the first package of a fresh install, of the piece of a single file of an
    // update from 1.0, or of the packed control file of a fresh install.
    enum class From { Installed, Package, Piece, Control };
    using Damage = std::function<void(const std::string& dest, const std::string& leftover, std::int64_t size)>;
    struct Case {
        const char* name;
        From from;
        Damage damage;
        bool fetchesNothing = false;
        std::vector<std::string> args = {};
    };
    const std::string cache = ".kvo.meta.dir/.kvo.cache.txt";
    // A download record vouching for every byte of a file of zeros.
    const Damage claimNeverStored = [](const std::string&, const std::string& file, std::int64_t size) {
        writeFile(file, std::string(static_cast<std::size_t>(size), '\0'));
        writeFile(file + ".downloading#", "1\n0 " + std::to_string(size) + "\n\n");
    };
    const Case cases[] = {
        {"garbage cache", From::Installed,
         [&](auto& d, auto&, auto) { writeFile(d + cache, std::string("\x01\x02|||\r\nnot a line\r\n", 20)); }, true},
        {"truncated cache", From::Installed,
         [&](auto& d, auto&, auto) {
             const std::string bytes = readFile(d + cache);
             writeFile(d + cache, bytes.substr(0, bytes.size() / 2 + 7));
         },
         true},
        {"deleted metadata directory", From::Installed,
         [&](auto& d, auto&, auto) { fs::remove_all(d + ".kvo.meta.dir"); }, true},
        {"garbage download record", From::Package,
         [&](auto&, auto& pack, auto) { writeFile(pack + ".downloading#", "3\nzz 12\n-5 x\n"); }},
        {"download record claiming bytes never stored", From::Package, claimNeverStored},
        {"truncated package", From::Package,
         [&](auto&, auto& pack, auto size) {
             fs::resize_file(pack, static_cast<std::uintmax_t>(size / 4));
             writeFile(pack + ".downloading#", "1\n0 " + std::to_string(size / 2) + "\n\n");
         }},
        {"single file's piece claiming bytes never stored", From::Piece, claimNeverStored},
        {"control file claiming bytes never stored", From::Control, claimNeverStored},
        {"stale pending packages list", From::Package,
         [&](auto& d, auto& pack, auto size) {
             fs::resize_file(pack, static_cast<std::uintmax_t>(size / 2));
             fs::remove(pack + ".downloading#");
             writeFile(d + ".kvo.tmp.dir/.kvo.pending.packs.txt",
                       pack + "\r\n" + d + ".kvo.tmp.dir/gone.pak\r\n\x01\x02\r\n");
         }},
        {"file edited within the second of its install, full update", From::Installed,
         [&](auto& d, auto&, auto) {
             const std::string file = d + "data/level0.dat";
             struct stat st {};
             ASSERT_EQ(0, ::stat(file.c_str(), &st));
             std::string bytes = readFile(file);
             bytes[100] ^= 0x20;
             writeFile(file, bytes);
             struct timespec times[2] = {st.st_mtim, st.st_mtim};
             times[1].tv_nsec = (times[1].tv_nsec + 1) % 1000000000;
             ASSERT_EQ(0, ::utimensat(AT_FDCWD, file.c_str(), times, 0));
         },
         false, {"--full"}},
        {"update cut after its last file was placed", From::Installed,
         [&](auto& d, auto&, auto) {
             // What 1.0 had beside the files of 2.0: its cache, metadata and deleted file.
             const std::string old = path("v1/");
             ASSERT_RUN(updater.run(into(url("game/1.0/"), old)), 0);
             for (const auto& e : fs::directory_iterator(old + ".kvo.meta.dir"))
                 if (!fs::exists(d + ".kvo.meta.dir/" + e.path().filename().string()))
                     fs::copy_file(e.path(), d + ".kvo.meta.dir/" + e.path().filename().string());
             fs::copy_file(old + cache, d + cache, fs::copy_options::overwrite_existing);
             fs::create_directories(d + "old");
             fs::copy_file(old + "old/gone.txt", d + "old/gone.txt");
             fs::remove_all(old);
         },
         true},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string d = path("leftover" + std::to_string(n++) + "/");
        std::string leftover;
        std::int64_t size = 0;
        std::set<std::string> cleanMeta;
        if (c.from == From::Installed) {
            ASSERT_RUN(updater.run(into(v2, d)), 0);
            cleanMeta = metaNames(d);
        } else if (c.from == From::Piece) {
            // Noise is stored as it is: the piece is as large as the file.
            const std::string relative = "many/file3.bin";
            ASSERT_RUN(updater.run(into(url("game/1.0/"), d)), 0);
            leftover = d + ".kvo.tmp.dir/" + sha1Hex(v2_.at(relative)) + "_" + sha1Hex(relative) + ".down";
            size = static_cast<std::int64_t>(v2_.at(relative).size());
        } else if (c.from == From::Control) {
            leftover = d + ".kvo.tmp.dir/.kvo.files.2.0.control.txt";
            size = static_cast<std::int64_t>(fs::file_size(site() + "game/2.0/control.txt.7z"));
        } else {
            // Killed while its first package comes in.
            auto child = updater.start(into(slowUrl("game/2.0/"), d));
            ASSERT_TRUE(waitFor([&] {
                if (fs::is_directory(d + ".kvo.tmp.dir"))
                    for (const auto& e : fs::directory_iterator(d + ".kvo.tmp.dir"))
                        if (e.path().extension() == ".pak")
                            leftover = e.path().string();
                return !leftover.empty();
            }));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            child->signal(SIGKILL);
            updater.finish(*child);
            const std::string name = fs::path(leftover).filename().string();
            size = static_cast<std::int64_t>(fs::file_size(site() + "game/2.0/" + name.substr(name.find('}') + 1)));
        }
        if (!leftover.empty())
            fs::create_directories(d + ".kvo.tmp.dir");
        c.damage(d, leftover, size);
        ASSERT_FALSE(HasFatalFailure());

        const std::size_t before = nginx().requests().size();
        Outcome next = updater.run(plus(into(v2, d), c.args));
        EXPECT_RUN(next, 0);
        EXPECT_EQ("", treeDifferences(d, v2_)) << next.describe();
        if (c.fetchesNothing) {
            EXPECT_EQ(0, dataBytes(nginx().requests(), before)) << "correct files fetched again";
        }
        expectUpToDate(updater, v2, d);
        if (c.from == From::Installed) {
            EXPECT_EQ("", stateProblems(d, v2_, "2.0", cleanMeta));
        }
        fs::remove_all(d);
    }
}

// Power loss cannot be staged here; what it needs can be watched: the installed
// files are forced to the disk before the cache that vouches for them replaces
// the old one, or a lost file would stay "verified" for every later run.
TEST_F(EndToEndCrash, InstalledFilesReachTheDiskBeforeTheCache) {
    if (!fs::exists("/usr/bin/strace"))
        GTEST_SKIP() << "no strace";
    Updater updater;
    const std::string d = path("synced/"), trace = path("trace.txt");
    // The leak checker cannot run under ptrace; the rest of a sanitized build can.
    ChildProcess::Options traced;
    const char* asan = std::getenv("ASAN_OPTIONS");
    traced.env["ASAN_OPTIONS"] = std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "detect_leaks=0";
    ChildProcess run("/usr/bin/strace",
                     {"-f", "-qq", "-o", trace, "-e", "trace=syncfs,rename,renameat,renameat2", updater.executable(),
                      "--url", url("game/2.0/"), "--dest", d, "--log-dir", path("log"), "--log-file", "run"},
                     traced);
    ASSERT_EQ(0, run.wait(60000)) << run.err();
    ASSERT_EQ("", treeDifferences(d, v2_));
    // Every rename that gives the cache its name follows a file system flush.
    std::istringstream lines(readFile(trace));
    bool flushed = false;
    int cacheRenames = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("syncfs(") != std::string::npos && line.find("= 0") != std::string::npos)
            flushed = true;
        else if (line.find(".kvo.cache.txt\"") != std::string::npos && line.find("rename") != std::string::npos) {
            ++cacheRenames;
            EXPECT_TRUE(flushed) << line;
            flushed = false;
        }
    }
    EXPECT_LT(0, cacheRenames) << readFile(trace);
}

} // namespace
} // namespace e2e
