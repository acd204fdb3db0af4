#pragma once

#include "base/CmdHandler.h"

#include <string>

namespace Poco {
class Logger;
namespace Util {
class AbstractConfiguration;
}
} // namespace Poco

namespace Patcher {

// The command handler of the updater: reads the run's settings and drives one
// update, full update or uninstall of the destination.
class DistrUpdater : public CmdHandler {
public:
    // Throws Poco::NullPointerException for a null configuration.
    explicit DistrUpdater(const Poco::Util::AbstractConfiguration* config);

    void run() override;
    void onStop() override;

    const std::string& source() const { return source_; }
    const std::string& destination() const { return destination_; }
    bool isUninstall() const { return uninstall_; }
    bool isFullUpdate() const { return fullUpdate_; }

private:
    Poco::Logger& logger_;
    const Poco::Util::AbstractConfiguration& config_;
    bool uninstall_ = false;
    bool fullUpdate_ = false;
    std::string source_;
    std::string destination_;
};

} // namespace Patcher
