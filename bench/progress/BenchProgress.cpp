// Costs of the work accounting, so a change that makes the engine pay for its
// own bookkeeping shows up:
//   bench_progress reports  MIB      MIB of 64 KiB blocks through TaskUpdater into
//                                    a task observed by a running progress model
//   bench_progress pipeline ITEMS    ITEMS empty wraps through one pipeline batch
//   bench_progress batches  COUNT    COUNT batches of one wrap each
// Prints the workload's wall time and the cost per unit.
#include "base/CmdHandler.h"
#include "base/Task.h"
#include "engine/UpdateParallelizer.h"
#include "progress/ConsoleProgress.h"

#include <Poco/Logger.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <string>

using namespace Patcher;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

class EmptyWrap : public Wrap {
public:
    explicit EmptyWrap(std::atomic<long>& handled) : handled_(handled) {}
    bool isNeeded() override { return true; }
    void download() override {}
    void handle() override { ++handled_; }

private:
    std::atomic<long>& handled_;
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: bench_progress reports|pipeline|batches COUNT\n";
        return 2;
    }
    Poco::Logger::root().setLevel(Poco::Message::PRIO_ERROR);
    Poco::Logger::get("UpdPrlzr").setLevel(Poco::Message::PRIO_ERROR);
    const std::string mode = argv[1];
    const long count = std::stol(argv[2]);
    StopState stop;

    if (mode == "reports") {
        DummyProgress model(1000, ""); // a running model without console output
        auto task = std::make_shared<Task>(TaskType::Download, nullptr, 1000);
        model.registerTask(*task);
        const std::int64_t block = 64 * 1024;
        task->start(count * 1024 * 1024, 0, "bench");
        model.start("");
        auto start = Clock::now();
        {
            TaskUpdater updater(task, stop);
            for (long i = 0; i < count * 16; ++i) {
                if (i % 256 == 0)
                    updater.onItem("item" + std::to_string(i / 256), 256 * block);
                updater.onBytes(block);
            }
        }
        double s = secondsSince(start);
        model.stop();
        std::cout << "reports: " << count << " MiB in " << s << " s, " << s * 1e9 / (count * 16.0)
                  << " ns per 64 KiB block, task done " << task->done() << " bytes\n";
    } else if (mode == "pipeline" || mode == "batches") {
        const bool batches = mode == "batches";
        std::atomic<long> handled{0};
        UpdateParallelizer pipeline(stop);
        auto start = Clock::now();
        for (long i = 0; i < count; ++i) {
            pipeline.push(std::make_shared<EmptyWrap>(handled));
            if (batches || i == count - 1)
                pipeline.finish();
        }
        double s = secondsSince(start);
        if (batches)
            std::cout << "batches: " << count << " in " << s << " s, " << s * 1e3 / count << " ms per batch\n";
        else
            std::cout << "pipeline: " << handled << " items in " << s << " s, " << s * 1e6 / count << " us per item\n";
    } else {
        std::cerr << "unknown workload " << mode << "\n";
        return 2;
    }
    return 0;
}
