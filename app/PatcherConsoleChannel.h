#pragma once

#include <Poco/Channel.h>

namespace Patcher {

// Log channel that hands each message, ended by "\r\n", to the console writer
// as plain text. Registered with the logging factory as "PatcherConsoleChannel".
class PatcherConsoleChannel : public Poco::Channel {
public:
    void log(const Poco::Message& msg) override;
};

} // namespace Patcher
