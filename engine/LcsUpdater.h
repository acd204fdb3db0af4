#pragma once

#include "progress/TotalProgress.h"

#include <Poco/Pipe.h>
#include <Poco/Process.h>

#include <cstdint>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace Patcher {

class ControlFile;

// The stage range of a distribution.
class LcsCommon {
public:
    std::uint32_t firstStage() const { return firstStage_; }
    std::uint32_t lastStage() const { return lastStage_; }

protected:
    std::uint32_t firstStage_ = 1;
    std::uint32_t lastStage_ = 1;
};

// The stages of the distribution being installed, and the channel to its stage
// adapter: a process fed with framed messages (16-bit little-endian length, then
// the text) on its standard input, first "setup", then every progress record.
class LcsUpdater : public TotalProgressObserver, public LcsCommon {
public:
    static constexpr std::size_t kBufferSize = 8192;
    // How long a write to the adapter and its exit at the end may take before
    // the adapter is given up on (killed at the end): the run never waits on it.
    static constexpr int kDefaultTimeoutMs = 30000;

    // With an adapter path: makes the file executable, starts it with pipes on
    // its standard streams in workDir (empty: the directory of the running
    // executable) and sends the setup message; start failures propagate.
    // Registers with notifier (may be null) in any case.
    LcsUpdater(MulticastNotifier<TotalProgressObserver>* notifier, const std::string& adapterPath,
               const std::string& workDir = std::string());
    // Unregisters, closes the adapter's input, waits for it (killing it after
    // the timeout), and logs "Error in adapter: " / "Adapter exit code: " (root
    // logger, error).
    ~LcsUpdater() override;
    LcsUpdater(const LcsUpdater&) = delete;
    LcsUpdater& operator=(const LcsUpdater&) = delete;

    // Widens the range over the stages of every entry.
    void assignStageRange(const ControlFile& files);

    void onTotalProgress(const TotalProgressRecord& record) override;

    bool hasAdapter() const { return static_cast<bool>(adapter_); }
    // Frames and writes one message; failures only set the error text.
    void send(const std::string& text);

    // Both known once the object is gone; for the engine's end-of-run report.
    std::string errorText() const;

    void setTimeout(int milliseconds) { timeoutMs_ = milliseconds; }

private:
    // Shared with the reader threads: a reader left behind by an adapter
    // whose streams outlive it (a child holding them) still has its pipes.
    struct Adapter {
        Poco::Pipe input, output, errors;
        std::unique_ptr<Poco::ProcessHandle> process;
        std::thread outputReader, errorReader;
        std::mutex mutex;
        std::condition_variable readersDone;
        int readersLeft = 2;        // guarded by mutex
        std::string standardOutput; // guarded by mutex
        std::string errorOutput;    // guarded by mutex
    };

    void start(const std::string& adapterPath, const std::string& workDir);
    void stop();

    MulticastNotifier<TotalProgressObserver>* notifier_; // not owned
    std::shared_ptr<Adapter> adapter_;
    int timeoutMs_ = kDefaultTimeoutMs;

    mutable std::mutex mutex_; // one send at a time
    unsigned char buffer_[kBufferSize];  // guarded by mutex_
    std::uint16_t unsentStart_ = 0;      // guarded by mutex_
    std::uint16_t packedEnd_ = 0;        // guarded by mutex_
    std::string error_;                  // guarded by mutex_
    bool givenUp_ = false;               // guarded by mutex_; a write timed out
};

} // namespace Patcher
