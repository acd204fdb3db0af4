#pragma once

#include "app/BaseApp.h"

namespace Patcher {

// The updater: its own options and its command handler.
class UpdaterApp : public BaseApp {
protected:
    void initialize(Poco::Util::Application& self) override;
    void uninitialize() override;
    void handleOption(const std::string& name, const std::string& value) override;
    void defineAppOptions(Poco::Util::OptionSet& options) override;
    std::shared_ptr<CmdHandler> createCmdHandler() override;
};

} // namespace Patcher
