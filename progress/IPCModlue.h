#pragma once

#include "progress/Client.h"
#include "progress/TotalProgress.h"

namespace Patcher {

class CmdHandler;

// The launcher link: registration, progress, error and exit reports out;
// "stop", "pause" and "resume" in, acting on the command handler. Losing the
// link, failing to make it, no longer receiving on it, or a launcher that reads
// nothing for the send timeout stops the command handler: a run the launcher
// cannot stop must not go on. Progress never waits for the launcher; a slow one
// gets the newest record.
class IPCModlue : public Client, public TotalProgressObserver {
public:
    // handler: not owned, may be null; gameId: the registration id.
    IPCModlue(CmdHandler* handler, int gameId);
    ~IPCModlue() override;

    void onTotalProgress(const TotalProgressRecord& record) override;

protected:
    void onMessage(const std::string& text) override;
    void onConnected() override;
    void onConnectFailed() override;
    void onDisconnected() override;
    void onReceiveEnded() override;
    std::string registrationMessage() override;

private:
    CmdHandler* const handler_;
};

} // namespace Patcher
