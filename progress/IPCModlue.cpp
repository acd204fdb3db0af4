#include "progress/IPCModlue.h"

#include "base/CmdHandler.h"
#include "progress/IpcMessages.h"

#include <Poco/Logger.h>

#include <json/reader.h>

#include <memory>

namespace Patcher {

IPCModlue::IPCModlue(CmdHandler* handler, int gameId) : handler_(handler) { setId(gameId); }

IPCModlue::~IPCModlue() { disconnect(); }

// Called under the progress model's lock: queue, never wait for the launcher.
void IPCModlue::onTotalProgress(const TotalProgressRecord& record) { post(progressMessage(record)); }

void IPCModlue::onMessage(const std::string& text) {
    Poco::Logger& root = Poco::Logger::root();
    if (root.information())
        root.information("MSG RCVD from IPC: " + text);

    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
        root.error("Message parsing failed.");
        return;
    }
    if (!value.isObject())
        return;
    const Json::Value& member = value["name"];
    // A "name" that is an object or an array names no command.
    std::string name = member.isConvertibleTo(Json::stringValue) && !member.isNull() ? member.asString() : "";

    if (!handler_)
        return;
    if (name == "stop")
        handler_->stop();
    else if (name == "resume")
        handler_->pause(false);
    else if (name == "pause")
        handler_->pause(true);
    else
        root.warning("IGNORING command: " + name);
}

void IPCModlue::onConnected() {
    Poco::Logger& root = Poco::Logger::root();
    if (root.information())
        root.information("Connected through IPC with ID: " + std::to_string(id()));
}

void IPCModlue::onConnectFailed() {
    Poco::Logger::root().information("Failed to connect through IPC with ID: " + std::to_string(id()));
    if (handler_)
        handler_->stop();
}

void IPCModlue::onDisconnected() {
    Poco::Logger::root().information("Disconnected from the IPC with ID: " + std::to_string(id()));
    if (handler_)
        handler_->stop();
}

void IPCModlue::onReceiveEnded() {
    Poco::Logger::root().information("No more commands from the IPC with ID: " + std::to_string(id()));
    if (handler_)
        handler_->stop();
}

std::string IPCModlue::registrationMessage() { return Patcher::registrationMessage(id()); }

} // namespace Patcher
