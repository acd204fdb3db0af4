#include "engine/LcsUpdater.h"

#include "distr/ControlFile.h"
#include "platform/ExePath.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "progress/IpcMessages.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/Path.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace Patcher {
namespace {

void drain(Poco::Pipe& pipe, std::mutex& mutex, std::string& keep) {
    char chunk[4096];
    for (;;) {
        int n = 0;
        try {
            n = pipe.readBytes(chunk, sizeof chunk);
        } catch (const Poco::Exception&) {
            break;
        }
        if (n <= 0)
            break;
        std::lock_guard<std::mutex> lock(mutex);
        if (keep.size() < 65536)
            keep.append(chunk, static_cast<std::size_t>(n));
    }
    pipe.close(Poco::Pipe::CLOSE_READ);
}

std::string trimmedText(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

} // namespace

LcsUpdater::LcsUpdater(MulticastNotifier<TotalProgressObserver>* notifier, const std::string& adapterPath,
                       const std::string& workDir)
    : notifier_(notifier) {
    if (!adapterPath.empty())
        start(adapterPath, workDir);
    if (notifier_)
        notifier_->add(this);
}

LcsUpdater::~LcsUpdater() {
    if (notifier_)
        notifier_->remove(this);
    try {
        stop();
    } catch (...) {
    }
}

void LcsUpdater::start(const std::string& adapterPath, const std::string& workDir) {
    platform::ignoreBrokenPipes();
    // A fetched adapter arrives as plain data.
    platform::makeExecutable(adapterPath);
    std::string dir = workDir;
    if (dir.empty())
        dir = Poco::Path(platform::executablePath()).parent().toString();
    auto adapter = std::make_shared<Adapter>();
    adapter->process = std::make_unique<Poco::ProcessHandle>(Poco::Process::launch(
        adapterPath, Poco::Process::Args(), dir, &adapter->input, &adapter->output, &adapter->errors));
    auto reader = [adapter](Poco::Pipe& pipe, std::string& keep) {
        drain(pipe, adapter->mutex, keep);
        std::lock_guard<std::mutex> lock(adapter->mutex);
        --adapter->readersLeft;
        adapter->readersDone.notify_all();
    };
    adapter->outputReader = std::thread(reader, std::ref(adapter->output), std::ref(adapter->standardOutput));
    adapter->errorReader = std::thread(reader, std::ref(adapter->errors), std::ref(adapter->errorOutput));
    adapter_ = std::move(adapter);

    const Poco::Path adapterFile(adapterPath);
    const std::string directory = Poco::Path(adapterFile).makeParent().makeParent().toString();
    const std::string logName = Poco::Path::temp() + adapterFile.getBaseName() + ".log";
    send(setupMessage(directory, "", logName));
}

void LcsUpdater::stop() {
    if (!adapter_)
        return;
    const std::shared_ptr<Adapter> adapter = adapter_;
    adapter->input.close(Poco::Pipe::CLOSE_WRITE);
    std::string failure;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs_);
    int code = adapter->process->tryWait();
    while (code == -1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        code = adapter->process->tryWait();
    }
    if (code == -1) {
        failure = "the adapter did not exit within " + std::to_string(timeoutMs_ / 1000) + " seconds and was killed";
        try {
            Poco::Process::kill(*adapter->process);
            code = adapter->process->wait();
        } catch (const Poco::Exception& e) {
            failure += ": " + e.displayText();
        }
    }
    // The streams end with the adapter unless something it started holds
    // them: such readers are left to finish on their own.
    std::string standardOutput;
    std::string errorOutput;
    {
        std::unique_lock<std::mutex> lock(adapter->mutex);
        const bool done =
            adapter->readersDone.wait_for(lock, std::chrono::seconds(2), [&] { return adapter->readersLeft == 0; });
        standardOutput = adapter->standardOutput;
        errorOutput = adapter->errorOutput;
        lock.unlock();
        if (done) {
            adapter->outputReader.join();
            adapter->errorReader.join();
        } else {
            adapter->outputReader.detach();
            adapter->errorReader.detach();
        }
    }
    // What the adapter writes is its error text; its error stream stands in
    // when it writes nothing else.
    std::string output = trimmedText(standardOutput);
    if (output.empty())
        output = trimmedText(errorOutput);
    std::string error;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (error_.empty())
            error_ = !failure.empty() ? failure : output;
        error = error_;
    }
    Poco::Logger& root = Poco::Logger::root();
    if (!error.empty())
        root.error("Error in adapter: " + error);
    if (code != 0)
        root.error("Adapter exit code: " + std::to_string(code));
    adapter_.reset();
}

void LcsUpdater::assignStageRange(const ControlFile& files) {
    for (const auto& item : files.entries()) {
        const auto stage = static_cast<std::uint32_t>(item.second->stage);
        firstStage_ = std::min(firstStage_, stage);
        lastStage_ = std::max(lastStage_, stage);
    }
}

void LcsUpdater::onTotalProgress(const TotalProgressRecord& record) {
    if (adapter_)
        send(progressMessage(record));
}

void LcsUpdater::send(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!adapter_)
        return;
    try {
        unsentStart_ = packedEnd_ = 0;
        if (text.size() > 65535)
            throw std::logic_error("message size is too big for packing with single call");
        if (text.size() + 2 > kBufferSize - packedEnd_)
            return;
        buffer_[packedEnd_] = static_cast<unsigned char>(text.size() & 0xff);
        buffer_[packedEnd_ + 1] = static_cast<unsigned char>(text.size() >> 8);
        std::copy(text.begin(), text.end(), buffer_ + packedEnd_ + 2);
        packedEnd_ = static_cast<std::uint16_t>(packedEnd_ + 2 + text.size());
        if (givenUp_)
            return; // an adapter that stopped taking messages gets no more
        if (!platform::writeWithin(adapter_->input.writeHandle(), buffer_ + unsentStart_, packedEnd_ - unsentStart_,
                                   timeoutMs_)) {
            givenUp_ = true;
            throw Poco::TimeoutException("the adapter did not read its input within " +
                                         std::to_string(timeoutMs_ / 1000) + " seconds");
        }
        unsentStart_ = packedEnd_;
    } catch (const Poco::Exception& e) {
        if (error_.empty())
            error_ = e.displayText();
    } catch (const std::exception& e) {
        if (error_.empty())
            error_ = e.what();
    }
}

std::string LcsUpdater::errorText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

} // namespace Patcher
