#include "app/UpdaterApp.h"

#include "base/CmdHandler.h"
#include "engine/DistrUpdater.h"

#include <Poco/Environment.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/Util/Option.h>
#include <Poco/Util/OptionSet.h>

namespace Patcher {

using Poco::Util::Option;

void UpdaterApp::initialize(Poco::Util::Application& self) {
    BaseApp::initialize(self);
    // An extra certificate authority (a private server, a test one) trusted
    // besides the system's, read when the first secure connection is made.
    const std::string caFile = Poco::Environment::get("PATCHER_CA_FILE", "");
    if (!caFile.empty())
        config().setString("openSSL.client.caConfig", caFile);
    Poco::Net::initializeSSL();
}

void UpdaterApp::uninitialize() {
    Poco::Net::uninitializeSSL();
    BaseApp::uninitialize();
}

void UpdaterApp::handleOption(const std::string& name, const std::string& value) {
    if (name == "uninstall")
        config().setString("dest.uninstall", "1");
    else if (name == "full")
        config().setString("dest.full-update", "1");
    BaseApp::handleOption(name, value);
}

void UpdaterApp::defineAppOptions(Poco::Util::OptionSet& options) {
    auto bound = [&options](const char* name, const char* shortName, const char* help, const char* key,
                            bool required) {
        options.addOption(Option(name, shortName, help)
                              .required(required)
                              .repeatable(true)
                              .argument("value", true)
                              .binding(key));
    };
    auto flag = [&options](const char* name, const char* shortName, const char* help) {
        options.addOption(Option(name, shortName, help).required(false).repeatable(true).argument("value", false));
    };
    bound("url", "u", "url or local path of the distribution", "src.url", true);
    bound("dest", "d", "destination directory", "dest.dir", true);
    flag("uninstall", "U", "uninstall destination content");
    flag("full", "f", "perform full update");
    bound("name", "n", "name of the distribution", "src.name", false);
    bound("handle", "H", "handle for text label under the windows os.", "wnd.handle", false);
}

std::shared_ptr<CmdHandler> UpdaterApp::createCmdHandler() {
    return std::make_shared<DistrUpdater>(&config());
}

} // namespace Patcher
