// The updater's application shell with a test double for its command handler,
// so that the run's exit codes, log lines and signal handling can be checked
// end to end. PATCHER_TEST_MODE chooses what the handler does.
#include "base/CmdHandler.h"
#include "app/UpdaterApp.h"

#include <Poco/Environment.h>
#include <Poco/Exception.h>

#include <chrono>
#include <iostream>
#include <stdexcept>
#include <thread>

namespace {

class FakeHandler : public Patcher::CmdHandler {
public:
    FakeHandler(std::string mode, Poco::Util::AbstractConfiguration& config) : mode_(std::move(mode)), config_(config) {}

    void run() override {
        if (mode_ == "ok")
            return;
        if (mode_ == "poco")
            throw Poco::FileNotFoundException("missing.bin", 404);
        if (mode_ == "std")
            throw std::runtime_error("boom");
        if (mode_ == "int")
            throw 42;
        if (mode_ == "keys") {
            for (const char* key : {"app.min-segment-size", "logic.pack-download-by-missing", "src.url", "dest.dir",
                                    "dest.uninstall", "dest.full-update"})
                std::cout << key << "=" << config_.getString(key, "<none>") << std::endl;
            return;
        }
        if (mode_ == "loop") {
            stopState().setMessage("FakeHandler::loop");
            std::cout << "ready" << std::endl;
            for (int i = 0; i < 3000; ++i) {
                stopState().check();
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            throw std::runtime_error("no stop arrived");
        }
        throw std::runtime_error("unknown mode " + mode_);
    }
    void onStop() override { std::cout << "onStop" << std::endl; }

private:
    const std::string mode_;
    Poco::Util::AbstractConfiguration& config_;
};

class FakeApp : public Patcher::UpdaterApp {
protected:
    std::shared_ptr<Patcher::CmdHandler> createCmdHandler() override {
        std::string mode = Poco::Environment::get("PATCHER_TEST_MODE", "");
        if (mode.empty())
            return nullptr;
        return std::make_shared<FakeHandler>(mode, config());
    }
};

} // namespace

int main(int argc, char** argv) { return Patcher::runApplication(new FakeApp, argc, argv); }
