#include "app/PatcherConsoleChannel.h"

#include "base/ConsoleOutput.h"
#include "base/Singleton.h"

#include <Poco/Message.h>

namespace Patcher {

void PatcherConsoleChannel::log(const Poco::Message& msg) {
    // Lines logged before the writer exists or after it is gone are dropped: the
    // console is the one place they could go.
    if (Singleton<ConsoleOutput>::exists())
        Singleton<ConsoleOutput>::instance().print(msg.getText() + "\r\n", false);
}

} // namespace Patcher
