#include "engine/DistrUpdater.h"

#include "engine/DistrManager.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/Util/AbstractConfiguration.h>

namespace Patcher {
namespace {

const Poco::Util::AbstractConfiguration& checked(const Poco::Util::AbstractConfiguration* config) {
    if (!config)
        throw Poco::NullPointerException("DistrUpdater needs a configuration");
    return *config;
}

} // namespace

DistrUpdater::DistrUpdater(const Poco::Util::AbstractConfiguration* config)
    : logger_(Poco::Logger::get("tolvane")), config_(checked(config)) {
    source_ = config_.getString("src.url", "");
    destination_ = config_.getString("dest.dir", "");
    uninstall_ = config_.getBool("dest.uninstall", false);
    fullUpdate_ = config_.getBool("dest.full-update", false);
}

void DistrUpdater::onStop() { logger_.notice("Stop requested"); }

void DistrUpdater::run() {
    if (source_.empty() && !uninstall_)
        throw Poco::InvalidArgumentException("No distribution source given");
    if (destination_.empty())
        throw Poco::InvalidArgumentException("No destination directory given");
    const DistrManagerSettings settings = DistrManagerSettings::fromConfig(config_);
    logger_.notice("Configuring DistrManager");
    DistrManager engine(source_, destination_, progress());
    engine.setSettings(settings);
    if (uninstall_) {
        logger_.information("Uninstalling from: " + destination_);
        engine.uninstall(stopState());
        return;
    }
    if (fullUpdate_) {
        logger_.information("Full update requested");
        engine.refreshCache();
    }
    logger_.information("Updating from: " + source_);
    engine.update(stopState());
}

} // namespace Patcher
