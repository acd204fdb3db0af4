#include "progress/Client.h"

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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
