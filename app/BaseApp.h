#pragma once

#include <Poco/AutoPtr.h>
#include <Poco/Util/Application.h>

#include <memory>
#include <string>
#include <vector>

namespace Patcher {

class CmdHandler;
class IPCModlue;

// The process from options to exit code: options and configuration layers,
// process-wide singletons, logging, and one run of the command handler with
// every failure mapped to its log line and exit code.
class BaseApp : public Poco::Util::Application {
public:
    enum ExitCode { kExitOk = 0, kExitFailure = 70, kExitUsage = 78 };

    BaseApp();

protected:
    void initialize(Poco::Util::Application& self) override;
    void uninitialize() override;
    void defineOptions(Poco::Util::OptionSet& options) override;
    int main(const std::vector<std::string>& args) override;

    virtual void defineAppOptions(Poco::Util::OptionSet& options) = 0;
    // Null means there is nothing to run ("Dummy launch.").
    virtual std::shared_ptr<CmdHandler> createCmdHandler() = 0;

    void handleHelp(const std::string& name, const std::string& value);
    void displayHelp();
    void loadUserOverride();

private:
    // Sends one message on the launcher link when there is one; a failure is
    // only logged.
    void sendToIpc(IPCModlue* ipc, const std::string& message);
    void loadTaskWeights();
    void setupLogging();
    void disableLogging();
    void logConfiguration();

    bool helpRequested_ = false;
};

// The entry: options, then the run. Returns the process exit code.
int runApplication(Poco::AutoPtr<BaseApp> app, int argc, char** argv);

// Version compiled into the executable ("major.minor.patch").
std::string applicationVersion();

} // namespace Patcher
