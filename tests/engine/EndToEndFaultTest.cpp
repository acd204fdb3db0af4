// Misbehaving servers: the real updater installs a publication from the fault
// server with one misbehaviour at a time. Each run ends with a correct
// installation, or with exit 70 and a message naming the URL, and never with a
// wrong byte under a final name; a run against a good server then completes.
#include "tests/engine/EndToEndSupport.h"

#include "tests/support/FaultServer.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

using testsupport::FaultServer;
using Fault = FaultServer::Fault;

namespace e2e {
namespace {

struct Case {
    const char* name;
    Fault fault;
    int times; // -1: every request
    std::int64_t param;
    const char* prefix;   // put before the publication's path in the source URL
    const char* only;     // the fault meets only requests whose path contains this
    bool installs;        // a correct installation; otherwise exit 70
    const char* message;  // part of the failure's output, besides the URL
    const char* console = nullptr; // part of the run's console output while it works
    bool quiet = false;            // logging off, as a player runs it
};

const Case kCases[] = {
    {"dropped mid-body", Fault::DropAfterBytes, 3, 100, "", "", true, nullptr},
    {"reset mid-body", Fault::Reset, 3, 100, "", "", true, nullptr},
    {"burst of 503 with Retry-After", Fault::Status503, 4, 1, "", "", true, nullptr, "retrying (2 of 10): "},
    {"burst of 503, logging off", Fault::Status503, 3, 0, "", "", true, nullptr, "retrying (2 of 10): ", true},
    {"200 for a range", Fault::RangeAsFull, -1, 0, "", "", true, nullptr},
    {"chunked", Fault::Chunked, -1, 0, "", "", true, nullptr},
    {"slow answers", Fault::Slow, 4, 0, "", "", true, nullptr},
    {"headers then silence, twice", Fault::Stall, 2, 0, "", "", true, nullptr},
    {"one redirect", Fault::None, 0, 0, "/hop/1", "", true, nullptr},
    {"five redirects", Fault::None, 0, 0, "/hop/5", "", true, nullptr},
    {"flipped byte once", Fault::FlipByte, 1, 5, "", ".pak", true, nullptr},
    {"206 starting late", Fault::LateRange, -1, 10, "", ".pak", false, nullptr},
    {"HTML error page", Fault::HtmlPage, -1, 0, "", "", false, "does not hold the requested range"},
    {"body cut short", Fault::DropAfterBytes, -1, 100, "", "", false, "Connection closed by the server"},
    {"headers then silence", Fault::Stall, -1, 0, "", "", false, "bytes/s from 127.0.0.1"},
    {"a byte every 300 ms", Fault::Drip, -1, 0, "", "", false, "bytes/s from 127.0.0.1"},
    {"redirect loop", Fault::None, 0, 0, "/loop", "", false, "Redirect loop"},
    {"404", Fault::Status404, -1, 0, "", "", false, "The file is not on the server (HTTP 404 Not Found)"},
};

class EndToEndFault : public EndToEndTest {};

TEST_F(EndToEndFault, EveryMisbehaviourEndsCorrectOrWithTheUrlAndTheNextRunCompletes) {
    const Tree content = readTree(publishTree(smallGame(3), "1.0"));
    // Pauses, windows and the retry bound small, so that a failing case ends in
    // seconds.
    Updater updater({{"app.retry-delay", "0.01"},
                     {"app.retry-delay-max", "0.05"},
                     {"app.retry-after-max", "0.2"},
                     {"app.retry-time", "3"},
                     {"app.low-speed-window", "1"},
                     {"app.max-simultaneous-connection", "2"},
                     {"app.min-segment-size", "16384"}});
    Updater quiet({{"app.retry-delay", "0.01"},
                   {"logging.loggers.file.level", "none"},
                   {"logging.loggers.console.level", "none"}});
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(dest());
        FaultServer server(FaultServer::Directory{site()});
        server.setStallMs(c.fault == Fault::Stall ? 10000 : 300);
        server.setFault(c.fault, c.times, c.param);
        server.setFaultPath(c.only);
        const std::string source = server.url(std::string(c.prefix) + "/game/1.0/");
        Outcome r = update(c.quiet ? quiet : updater, source);
        if (c.console) {
            EXPECT_NE(std::string::npos, r.out.find(c.console)) << r.out;
        }
        if (c.installs) {
            EXPECT_RUN(r, 0);
            EXPECT_EQ("", treeDifferences(dest(), content));
        } else {
            EXPECT_RUN(r, 70);
            const std::string said = r.out + r.err;
            EXPECT_NE(std::string::npos, said.find(server.url("/"))) << said;
            if (c.message) {
                EXPECT_NE(std::string::npos, said.find(c.message)) << said;
            }
            // The report itself names the URL: with logging off (a player's
            // default) it is all that is said.
            for (const std::string& line : testsupport::split(said, '\n')) {
                if (line.find("Download error: ") != std::string::npos) {
                    EXPECT_NE(std::string::npos, line.find(server.url("/"))) << line;
                }
            }
            EXPECT_EQ("", wrongFiles(dest(), content));
        }
        installs(updater, url("game/1.0/"), content);
    }
}

// A stop must not wait for a silent server's timeout (20 s by default).
TEST_F(EndToEndFault, StopWhileTheServerIsSilentEndsTheRunAtOnce) {
    publishTree(smallGame(3), "1.0");
    Updater updater;
    FaultServer server(FaultServer::Directory{site()});
    server.setStallMs(60000);
    server.setFault(Fault::Stall);
    auto child = updater.start({"--url", server.url("/game/1.0/"), "--dest", dest()});
    const auto faulted = [&server] {
        const auto requests = server.requests();
        return std::any_of(requests.begin(), requests.end(), [](const auto& r) { return r.faulted; });
    };
    ASSERT_TRUE(waitFor([&] { return faulted() || !child->running(); }) && faulted())
        << updater.finish(*child).describe();
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the headers are out
    child->signal(SIGINT);
    Outcome stopped = updater.finish(*child, 10000);
    EXPECT_RUN(stopped, 70);
    EXPECT_TRUE(stopped.logs("INTERRUPTED: ")) << stopped.describe();
}

} // namespace
} // namespace e2e
