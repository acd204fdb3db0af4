#include "progress/Client.h"
#include "progress/IPCModlue.h"
#include "progress/IpcMessages.h"

#include "base/CmdHandler.h"
#include "base/Errors.h"
#include "tests/support/LogCapture.h"

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Timespan.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

using namespace Patcher;

namespace {

std::string frame(const std::string& text) {
    return std::string{static_cast<char>(text.size() & 0xFF), static_cast<char>(text.size() >> 8)} + text;
}

// Writes bytes into the buffer's free space as a receive would.
void feed(FrameBuffer& in, const std::string& bytes) {
    std::copy(bytes.begin(), bytes.end(), in.freeSpace());
    in.commit(bytes.size());
}

// Polls cond for up to ten seconds.
bool eventually(const std::function<bool()>& cond) {
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         !cond() && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return cond();
}

// The launcher's end of the link, driven by the test: raw bytes both ways.
class LauncherStub {
public:
    // A small receive buffer (the accepted socket inherits it): the link fills soon.
    LauncherStub() {
        server_.bind(Poco::Net::SocketAddress("127.0.0.1", 0));
        server_.setReceiveBufferSize(2048);
        server_.listen();
    }
    int port() const { return server_.address().port(); }

    void accept() {
        peer_ = server_.acceptConnection();
        peer_.setReceiveTimeout(Poco::Timespan(10, 0));
    }
    std::string readBytes(std::size_t n) {
        std::string out(n, '\0');
        if (n > 0 && peer_.receiveBytes(&out[0], static_cast<int>(n), MSG_WAITALL) != static_cast<int>(n))
            throw std::runtime_error("the updater closed the link");
        return out;
    }
    std::string readFrame() {
        const std::string head = readBytes(2);
        return readBytes(static_cast<unsigned char>(head[0]) | static_cast<unsigned char>(head[1]) << 8);
    }
    void sendRaw(const std::string& bytes) { peer_.sendBytes(bytes.data(), static_cast<int>(bytes.size())); }
    void send(const std::string& text) { sendRaw(frame(text)); }
    void close() { peer_.close(); }
    // The frames before the first that is last.
    std::vector<std::string> readUntil(const std::string& last) {
        std::vector<std::string> frames;
        for (std::string text; (text = readFrame()) != last;)
            frames.push_back(text);
        return frames;
    }

private:
    Poco::Net::ServerSocket server_;
    Poco::Net::StreamSocket peer_;
};

class CountingHandler : public CmdHandler {
public:
    void run() override {}
    void onStop() override { ++stops; }
    std::atomic<int> stops{0};
};

} // namespace

TEST(FrameBufferTest, CutsFramesThatArriveTogetherOrInPieces) {
    FrameBuffer in(Client::kBufferSize);
    std::string bytes = frame("{\"name\": \"pause\"}") + frame("") + frame("{\"name\": \"resume\"}");
    std::vector<std::string> got;
    // Every way of splitting the stream into two receives yields the same frames.
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
        got.clear();
        std::string text;
        for (const std::string& part : {bytes.substr(0, cut), bytes.substr(cut)}) {
            ASSERT_LE(part.size(), in.freeSize());
            feed(in, part);
            while (in.nextFrame(text))
                got.push_back(text);
        }
        EXPECT_EQ((std::vector<std::string>{"{\"name\": \"pause\"}", "", "{\"name\": \"resume\"}"}), got) << cut;
        EXPECT_EQ(0u, in.size());
    }
}

TEST(FrameBufferTest, SizeLimits) {
    FrameBuffer out(Client::kBufferSize);
    EXPECT_TRUE(out.pack(std::string(4094, 'x')));
    EXPECT_EQ(4096u, out.size());
    out.reset();
    EXPECT_FALSE(out.pack(std::string(4095, 'x')));
    EXPECT_EQ(0u, out.size());
    EXPECT_THROW(out.pack(std::string(65536, 'x')), std::logic_error);

    FrameBuffer in(Client::kBufferSize);
    EXPECT_THROW(in.commit(4097), std::logic_error);
    // A full buffer holding one frame of the largest size still yields it.
    feed(in, frame(std::string(4094, 'y')));
    std::string text;
    EXPECT_TRUE(in.nextFrame(text));
    EXPECT_EQ(4094u, text.size());

    feed(in, "\xff\x0f" "abc"); // 4095 announced; the module's test checks the text
    EXPECT_THROW(in.nextFrame(text), std::logic_error);
    EXPECT_EQ(0u, in.size());
}

TEST(IpcMessagesTest, TextsAreByteExact) {
    EXPECT_EQ("{\"name\": \"error\", \"type\": \"Patcher::SHA1CheckError\", \"desc\": \"SHA1 check error: a \\\"b\\\"\", "
              "\"code\": 4}",
              errorMessage("Patcher::SHA1CheckError", "SHA1 check error: a \"b\"", 4));
    EXPECT_EQ("{\"name\": \"error\", \"desc\": \"std::exception: x\\\\y\\n\", \"code\": 7}",
              errorMessage("std::exception: x\\y\n", 7));
    EXPECT_EQ("{\"name\": \"setup\", \"directory\": \"C:/Games/My Game\", \"exe\": \"\", \"lf_name\": \"/tmp/a.log\"}",
              setupMessage("C:/Games/My Game", "", "/tmp/a.log"));

    // speed, item done and total, done, total, eta, stage, percent, item, name, stages
    const TotalProgressRecord r{97, 5, 6, 7000000000, 8000000000, 12, 2, 42.4567, "pack01", "Download",
                                {{100, 30, 30}, {200, 50, 7}}};
    EXPECT_EQ("{\"name\": \"progress\", \"percent\": \"42.46\", \"stage\": 2, \"proc_vol\": 7000000000, "
              "\"totl_vol\": 8000000000, \"ci_proc_vol\": 5, \"ci_tot_vol\": 6, \"speed\": 97, \"eta\": 12, "
              "\"type\": \"Download\", \"item\": \"pack01\", \"stages\": [{\"stageSize\": 100, "
              "\"updateDownloaded\": 30, \"updateSize\": 30}, {\"stageSize\": 200, \"updateDownloaded\": 7, "
              "\"updateSize\": 50}]}",
              progressMessage(r));
    EXPECT_EQ("{\"name\": \"progress\", \"percent\": \"0.00\", \"stage\": 0, \"proc_vol\": 0, \"totl_vol\": 0, "
              "\"ci_proc_vol\": 0, \"ci_tot_vol\": 0, \"speed\": 0, \"eta\": 0, \"type\": \"\", \"item\": \"\", "
              "\"stages\": []}",
              progressMessage(TotalProgressRecord()));
}

class IpcModuleTest : public ::testing::Test {
protected:
    void connect() {
        module.connect(launcher.port());
        launcher.accept();
        ASSERT_EQ("{\"registration_id\": 77}", launcher.readFrame());
    }

    testsupport::LogCapture rootLog{""};
    testsupport::LogCapture ipcLog{"IPCLogger"};
    LauncherStub launcher;
    CountingHandler handler;
    IPCModlue module{&handler, 77};
};

// Registration, progress and exit frames reach the real launcher in the
// application and end-to-end tests. Here: bad messages either way are logged
// and the link goes on; the commands act on the handler.
TEST_F(IpcModuleTest, CommandsActOnTheHandlerAndBadMessagesEitherWayLeaveTheLinkUp) {
    connect();
    EXPECT_FALSE(module.send(std::string(5000, 'x')));
    EXPECT_TRUE(ipcLog.contains("Failed to pack message."));
    EXPECT_TRUE(module.isConnected());
    EXPECT_TRUE(module.send(exitMessage(0)));
    EXPECT_EQ(exitMessage(0), launcher.readFrame());
    launcher.send("{\"name\": ");
    launcher.send("[\"stop\"]"); // ignored silently
    launcher.send("{\"name\": {\"nested\": 1}}");

    launcher.send("{\"name\": \"pause\", \"extra\": 1}");
    ASSERT_TRUE(eventually([&] { return handler.stopState().isPaused(); }));
    EXPECT_EQ(0, handler.stops.load());
    std::thread poller([&] { handler.stopState().check(); }); // blocks while paused
    launcher.send("{\"name\": \"resume\"}");
    poller.join(); // bounded by the resume; a lost resume hangs here and times the test out

    // Two frames in one segment, the second split over two sends.
    std::string two = frame("{\"name\": \"Stop\"}") + frame("{\"name\": \"stop\"}");
    launcher.sendRaw(two.substr(0, 20));
    launcher.sendRaw(two.substr(20));
    ASSERT_TRUE(eventually([&] { return handler.stopState().isStopped(); }));
    EXPECT_EQ(1, handler.stops.load());
    EXPECT_EQ(1, rootLog.count("Message parsing failed."));
    EXPECT_EQ(1, rootLog.count("IGNORING command: ")); // the nested name
    EXPECT_TRUE(rootLog.contains("IGNORING command: Stop"));
    EXPECT_TRUE(rootLog.contains("MSG RCVD from IPC: {\"name\": \"pause\", \"extra\": 1}"));

    // No command can arrive after the receiving loop's end, so the run is stopped
    // (once more here); the link still carries the reports.
    launcher.sendRaw("\xff\xff" "abc");
    ASSERT_TRUE(eventually([&] { return handler.stops.load() == 2; }));
    EXPECT_TRUE(ipcLog.contains("std::exception: stream is too big: buffer size should be increased, headerLength: 65535"));
    EXPECT_TRUE(module.send(exitMessage(70)));
    EXPECT_EQ(exitMessage(70), launcher.readFrame());
}

TEST_F(IpcModuleTest, ALauncherThatIsNotListeningStopsTheRun) {
    // Closed at once: nobody listens there now.
    const int port = Poco::Net::ServerSocket(Poco::Net::SocketAddress("127.0.0.1", 0)).address().port();
    handler.stopState().setMessage("Patcher::DistrUpdater::run");
    module.connect(port);
    EXPECT_FALSE(module.isConnected());
    EXPECT_TRUE(ipcLog.contains("ERROR: Connect failed: "));
    EXPECT_TRUE(rootLog.contains("Failed to connect through IPC with ID: 77"));
    EXPECT_EQ(1, handler.stops.load());
    EXPECT_THROW(handler.stopState().check(), Interrupted);
    EXPECT_FALSE(module.send(exitMessage(70)));
}

// The estimation and the first stage are reported back to back: a launcher that
// keeps up must get both, not only the newer one.
TEST_F(IpcModuleTest, ALauncherThatKeepsUpGetsEveryProgressRecordOfABurst) {
    connect();
    for (int round = 0; round < 20; ++round) {
        std::vector<std::string> burst;
        for (const char* name : {"CalculationFinished", "Download", "Download"}) {
            TotalProgressRecord record;
            record.name = name;
            record.stage = static_cast<unsigned>(burst.size() + 1);
            burst.push_back(progressMessage(record));
            module.onTotalProgress(record);
        }
        ASSERT_TRUE(module.send(exitMessage(0)));
        ASSERT_EQ(burst, launcher.readUntil(exitMessage(0))) << "round " << round;
    }
    // Its going away while nothing is sent is seen by the receiving loop only:
    // nobody can stop the run any more, so it is stopped.
    EXPECT_EQ(0, handler.stops.load());
    launcher.close();
    EXPECT_TRUE(eventually([&] { return handler.stopState().isStopped(); }));
}

// A launcher that reads late gets the newest progress record, then every report
// in order; the records it had no time for are dropped. The run is over while it
// still has much to read, and it speaks once more (a late "pause"): it must
// still get the exit report. Disconnecting stops the handler once.
TEST_F(IpcModuleTest, ASlowLauncherGetsTheNewestProgressAndEveryReportThoughItSpeaksAfterTheEnd) {
    connect();
    TotalProgressRecord record;
    const int kRecords = 3000; // far more bytes than the link holds
    for (int i = 1; i <= kRecords; ++i) {
        record.item = std::to_string(i) + std::string(3000, '.');
        module.onTotalProgress(record);
    }
    std::vector<std::string> frames;
    std::thread reader([&] {
        try {
            while (frames.empty() || frames.back() != exitMessage(70)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                frames.push_back(launcher.readFrame());
            }
        } catch (const std::exception& e) {
            frames.push_back(e.what());
        }
    });
    EXPECT_TRUE(module.send(errorMessage("late", 8)));
    EXPECT_TRUE(module.send(exitMessage(70)));
    module.disconnect();
    module.disconnect(); // not connected: nothing
    EXPECT_EQ(1, handler.stops.load());
    launcher.send("{\"name\": \"pause\"}");
    reader.join();
    EXPECT_THROW(launcher.readFrame(), std::runtime_error) << "the socket was shut down";
    ASSERT_GE(frames.size(), 3u);
    EXPECT_LT(frames.size(), static_cast<std::size_t>(kRecords));
    record.item = std::to_string(kRecords) + std::string(3000, '.');
    EXPECT_EQ((std::vector<std::string>{progressMessage(record), errorMessage("late", 8), exitMessage(70)}),
              std::vector<std::string>(frames.end() - 3, frames.end()));
}

namespace {

class CountingClient : public Client {
public:
    ~CountingClient() override { disconnect(); }
    std::atomic<int> disconnects{0};

protected:
    void onDisconnected() override { ++disconnects; }
};

} // namespace

// The progress thread and the owner's thread both report. When the launcher
// goes away, a send that fails on one of them must not pull the socket from
// under the other (a use after free, or a race under the thread sanitizer).
TEST(ClientSendRaceTest, SendsFromTwoThreadsIntoALostLinkReportTheLossOnce) {
    for (int round = 0; round < 20; ++round) {
        Poco::Net::ServerSocket server(Poco::Net::SocketAddress("127.0.0.1", 0));
        CountingClient client;
        client.connect(server.address().port());
        ASSERT_TRUE(client.isConnected());
        server.acceptConnection().close(); // the launcher goes away at once

        auto sendUntilRefused = [&] {
            for (int i = 0; i < 100000 && client.send(std::string(200, 'p')); ++i) {
            }
        };
        std::thread progress(sendUntilRefused);
        sendUntilRefused();
        progress.join();

        EXPECT_FALSE(client.isConnected());
        EXPECT_FALSE(client.send("after the loss"));
        EXPECT_EQ(1, client.disconnects.load());
        client.disconnect(); // the owner releases the connection: no second report
        EXPECT_EQ(1, client.disconnects.load());
    }
}
