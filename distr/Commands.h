#pragma once

#include <memory>
#include <string>

namespace Poco {
class Logger;
}

namespace Patcher {

class MetadataNames;
class VersionInfo;

// A run of the distribution's command script at one point of the work.
class Command {
public:
    Command(std::string script, std::string workDir) : script_(std::move(script)), workDir_(std::move(workDir)) {}
    virtual ~Command() = default;
    // Runs the script with name() as its one argument in the working directory;
    // the script's exit code.
    virtual int execute() = 0;
    virtual std::string name() const = 0;

    const std::string& script() const { return script_; }
    const std::string& workDir() const { return workDir_; }

private:
    std::string script_;
    std::string workDir_;
};

class CommandCommon : public Command {
public:
    using Command::Command;
    int execute() override;
};

class PreUpdate : public CommandCommon {
public:
    using CommandCommon::CommandCommon;
    std::string name() const override { return "pre-update"; }
};

class PostUpdate : public CommandCommon {
public:
    using CommandCommon::CommandCommon;
    std::string name() const override { return "post-update"; }
};

class Cleanup : public CommandCommon {
public:
    using CommandCommon::CommandCommon;
    std::string name() const override { return "cleanup"; }
};

enum class CommandKind { PreUpdate, PostUpdate, Cleanup };

std::shared_ptr<Command> makeCommand(CommandKind kind, const std::string& script, const std::string& workDir);

struct CommandsFile {
    bool valid = false;
    std::string path; // the stored script when valid
};

// Whether the stored commands file of the current version is exactly the one
// its version info describes. The version is loaded's latest (loaded may be
// null), else the installed one. A changed file logs a warning, a failed check
// an error; neither throws. The version info copy's name joins keep.
CommandsFile verifyCommandsFile(const std::string& destination, const VersionInfo* loaded, MetadataNames& keep,
                                Poco::Logger& logger);

// Runs a verified commands file from a temporary copy (destination + its name +
// ".cmd", always deleted afterwards) and logs the outcome on logger. Returns the
// exit code, or -1 when nothing ran. Copy and launch errors propagate.
int runCommand(CommandKind kind, const std::string& destination, const VersionInfo* loaded, MetadataNames& keep,
               Poco::Logger& logger);

} // namespace Patcher
