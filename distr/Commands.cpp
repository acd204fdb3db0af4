#include "distr/Commands.h"

#include "distr/LocalFile.h"
#include "distr/Metadata.h"
#include "distr/VersionInfo.h"
#include "platform/Process.h"

#include <Poco/File.h>
#include <Poco/Logger.h>
#include <Poco/Path.h>

namespace Patcher {
namespace {

std::string directoryOf(const std::string& destination) {
    Poco::Path path(destination);
    path.makeDirectory();
    return path.toString();
}

} // namespace

int CommandCommon::execute() {
    return platform::runScript(script(), name(), workDir());
}

std::shared_ptr<Command> makeCommand(CommandKind kind, const std::string& script, const std::string& workDir) {
    switch (kind) {
    case CommandKind::PreUpdate: return std::make_shared<PreUpdate>(script, workDir);
    case CommandKind::PostUpdate: return std::make_shared<PostUpdate>(script, workDir);
    case CommandKind::Cleanup: return std::make_shared<Cleanup>(script, workDir);
    }
    return nullptr;
}

CommandsFile verifyCommandsFile(const std::string& destination, const VersionInfo* loaded, MetadataNames& keep,
                                Poco::Logger& logger) {
    const std::string dest = directoryOf(destination);
    const std::string metaDir = dest + kMetaDirName + "/";
    std::string version = loaded ? loaded->latestVersion() : std::string();
    if (version.empty() && !readInstalledVersion(metaDir, version))
        return {};
    try {
        const std::string stored = metaDir + commandsName(version);
        if (!Poco::File(stored).exists())
            return {};
        const std::string copyName = versionInfoName(version);
        keep.add(copyName);
        VersionInfo copy;
        copy.load(metaDir + copyName);
        const DistrPtr latest = copy.latestDistr();
        const std::string expected = latest ? latest->commandHash : std::string();
        if (sha1OfFile(stored) == expected)
            return {true, stored};
        logger.warning("Commands file external modification is detected!!! Commands will not be executed.");
    } catch (...) {
        logger.error("Unable to perform commands file signature verification.");
    }
    return {};
}

int runCommand(CommandKind kind, const std::string& destination, const VersionInfo* loaded, MetadataNames& keep,
               Poco::Logger& logger) {
    const CommandsFile file = verifyCommandsFile(destination, loaded, keep, logger);
    if (!file.valid)
        return -1;
    const std::string dest = directoryOf(destination);
    const std::string copyPath = dest + Poco::Path(file.path).getFileName() + ".cmd";
    // Held first, so that the copy goes whatever happens below.
    LocalFile copy(copyPath, true);
    LocalFile(file.path, false).placeAt(copyPath);
    const auto command = makeCommand(kind, copyPath, dest);
    const int code = command->execute();
    const std::string line = "Command \"" + command->name() + "\" from \"" + copyPath + "\" ";
    if (code != 0)
        logger.warning(line + "exit with errors");
    else
        logger.information(line + "successfully executed");
    return code;
}

} // namespace Patcher
