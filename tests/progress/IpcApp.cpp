// The application shell with a command handler that stands in for the engine:
// it registers tasks with the progress model, reports progress, and then
// returns, fails or waits for a stop, as PATCHER_TEST_MODE says ("ok", "fail",
// "huge" (fails with a text too long for one frame), "flood" (reports progress
// records of nearly a whole frame as fast as it can until a stop)).
#include "app/BaseApp.h"
#include "base/CmdHandler.h"
#include "base/Errors.h"
#include "base/Task.h"
#include "base/TaskWeights.h"
#include "progress/TotalProgress.h"

#include <Poco/Environment.h>
#include <Poco/Util/OptionSet.h>

#include <stdexcept>

namespace {

using namespace Patcher;

class ReportingHandler : public CmdHandler {
public:
    explicit ReportingHandler(std::string mode) : mode_(std::move(mode)) {}

    void run() override {
        stopState().setMessage("ReportingHandler::run");
        stopState().check();
        TotalProgress* model = progress();
        if (!model)
            throw std::runtime_error("no progress model");
        model->setStage(1); // no task yet: "Prepare"

        Task download(TaskType::Download, &TaskWeights::instance(), 0);
        Task sha(TaskType::SHA1, &TaskWeights::instance(), 0);
        model->registerTask(download);
        model->registerTask(sha);
        download.start(1000, 0, "http://host/distr/");
        sha.start(1000, 0, "/games/demo");
        model->setEstimation(0, 2000, {{2000, 1000, 0}});

        if (mode_ == "flood") {
            stopState().setMessage("ReportingHandler::flood");
            download.setCurrentItem(std::string(3500, 'i'), 1000000);
            for (unsigned stage = 1;; ++stage) {
                stopState().check();
                model->setStage(stage);
            }
        }

        download.setCurrentItem("pack01", 1000);
        for (int i = 0; i < 4; ++i) {
            download.update(250);
            stopState().check();
            model->setStage(1);
        }
        if (mode_ == "fail")
            throw SHA1CheckError("SHA1 verification failed for the file: pack01", kSHA1CheckErrorCode);
        if (mode_ == "huge")
            throw std::runtime_error(std::string(70000, 'x'));
        sha.update(1000);
    }

    void onStop() override {}

private:
    const std::string mode_;
};

class IpcApp : public BaseApp {
protected:
    void defineAppOptions(Poco::Util::OptionSet&) override {}

    std::shared_ptr<CmdHandler> createCmdHandler() override {
        return std::make_shared<ReportingHandler>(Poco::Environment::get("PATCHER_TEST_MODE", "ok"));
    }
};

} // namespace

int main(int argc, char** argv) { return Patcher::runApplication(new IpcApp, argc, argv); }
