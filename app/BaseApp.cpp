#include "app/BaseApp.h"

#include "base/CmdHandler.h"
#include "base/ConsoleOutput.h"
#include "base/Errors.h"
#include "app/PatcherConsoleChannel.h"
#include "app/ScopedTimeCalculator.h"
#include "base/Singleton.h"
#include "distr/DiscGuard.h"
#include "distr/FileOps.h"
#include "base/RootStorage.h"
#include "base/TaskWeights.h"
#include "platform/ExePath.h"
#include "platform/LargeMemory.h"
#include "progress/ConsoleProgress.h"
#include "progress/IPCModlue.h"
#include "progress/IpcMessages.h"

#include <Poco/File.h>
#include <Poco/FileChannel.h>
#include <Poco/Instantiator.h>
#include <Poco/Logger.h>
#include <Poco/LoggingFactory.h>
#include <Poco/Message.h>
#include <Poco/Path.h>
#include <Poco/PatternFormatter.h>
#include <Poco/Process.h>
#include <Poco/SplitterChannel.h>
#include <Poco/Util/HelpFormatter.h>
#include <Poco/Util/IntValidator.h>
#include <Poco/Util/Option.h>
#include <Poco/Util/OptionCallback.h>
#include <Poco/Util/OptionSet.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <iostream>
#include <optional>
#include <typeinfo>

#ifndef PATCHER_VERSION
#define PATCHER_VERSION "0.0.0"
#endif

namespace Patcher {

using Poco::Util::Option;
using Poco::Util::OptionSet;

std::string applicationVersion() { return PATCHER_VERSION; }

constexpr int kBannerWidth = 80;

namespace {

// The file logger as the splitter sees it. A log file that stops taking writes
// (a full disk) throws from every log call, which would end the run, or abort it
// from inside a catch clause: say so once and go on without the file.
class FileLogGuard : public Poco::Channel {
public:
    explicit FileLogGuard(Poco::Logger& file) : file_(&file, true) {}

    void log(const Poco::Message& msg) override {
        if (failed_.load(std::memory_order_relaxed))
            return;
        try {
            file_->log(msg);
        } catch (const Poco::Exception& e) {
            fail(e.displayText());
        } catch (const std::exception& e) {
            fail(e.what());
        }
    }

private:
    void fail(const std::string& details) {
        if (!failed_.exchange(true))
            std::cerr << "Failed to write the log file. File logging disabled. Details: " << details << std::endl;
    }

    Poco::AutoPtr<Poco::Logger> file_;
    std::atomic<bool> failed_{false};
};

} // namespace

BaseApp::BaseApp() { setUnixOptions(true); }

void BaseApp::defineOptions(OptionSet& options) {
    Application::defineOptions(options);
    options.addOption(Option("help", "h", "display help information on command line arguments")
                          .required(false)
                          .repeatable(true)
                          .callback(Poco::Util::OptionCallback<BaseApp>(this, &BaseApp::handleHelp)));
    auto bound = [&options](const char* name, const char* shortName, const char* help, const char* key) {
        options.addOption(Option(name, shortName, help)
                              .required(false)
                              .repeatable(true)
                              .argument("value", true)
                              .binding(key));
    };
    bound("progress", "p", "how to display progress in the console", "app.progress");
    bound("log-dir", "l", "application log directory", "log.dir");
    bound("log-file", "r", "log file name relative to log.dir without extension", "log.file");
    bound("game-id", "g", "IPC communication registration id", "game-id");
    bound("server-port", "s", "server port to send work progress", "server-port");
    bound("progress-update-freq", "F", "progress update frequency in milliseconds", "app.progress-update-freq");
    defineAppOptions(options);
}

void BaseApp::handleHelp(const std::string&, const std::string&) {
    helpRequested_ = true;
    displayHelp();
    stopOptionsProcessing();
}

void BaseApp::displayHelp() {
    Poco::Util::HelpFormatter formatter(options());
    formatter.setUnixStyle(true);
    formatter.setCommand(commandName());
    formatter.setUsage("[options] ...");
    formatter.format(std::cout);
}

void BaseApp::loadUserOverride() {
    Poco::Path exe(platform::executablePath());
    Poco::Path path(exe.parent(), exe.getBaseName() + "." + "user.properties");
    std::string text = path.toString();
    Poco::File file(text);
    if (!file.exists())
        return;
    // The framework's parser never ends on a directory.
    if (!file.isFile())
        throw Poco::OpenFileException("Not a file", text);
    if (logger().information())
        logger().information("Loading user override: " + text);
    loadConfiguration(text, PRIO_DEFAULT);
}

void BaseApp::initialize(Poco::Util::Application& self) {
    Singleton<ConsoleOutput>::create();
    Singleton<DiscGuard>::create();
    Poco::LoggingFactory::defaultFactory().registerChannelClass(
        "PatcherConsoleChannel", new Poco::Instantiator<PatcherConsoleChannel, Poco::Channel>);
    loadConfiguration(PRIO_DEFAULT);
    loadUserOverride();
    Application::initialize(self);
    setupLogging();
    Singleton<RootStorage>::create();
    Singleton<TaskWeights>::create();
}

void BaseApp::uninitialize() {
    Singleton<TaskWeights>::destroy();
    Singleton<RootStorage>::destroy();
    Application::uninitialize();
    Singleton<DiscGuard>::destroy();
    Singleton<ConsoleOutput>::destroy();
}

void BaseApp::disableLogging() {
    Poco::Logger::root().setLevel(0);
    Poco::Logger::get("ravel").setLevel(0);
    logger().setLevel(0);
}

void BaseApp::setupLogging() {
    try {
        const std::string logFile = config().getString("log.file", "");
        const std::string pattern = config().getString("app.log-file", "");

        Poco::Message now;
        Poco::AutoPtr<Poco::PatternFormatter> formatter(new Poco::PatternFormatter);
        formatter->setProperty(Poco::PatternFormatter::PROP_PATTERN, pattern);
        formatter->setProperty(Poco::PatternFormatter::PROP_TIMES, "local");
        std::string path;
        formatter->format(now, path);

        bool dirFailed = false;
        const std::string parent = Poco::Path(path).parent().toString();
        // Without a log file there is no directory to make: a run from a read-only
        // install would otherwise wait out the retries and report a failure.
        if (!logFile.empty() && !parent.empty()) {
            try {
                createFolder(parent);
            } catch (const Poco::Exception& e) {
                std::cerr << "Failed to create log file root directory. Logging disabled. Details: "
                          << e.displayText() << std::endl;
                dirFailed = true;
            } catch (...) {
                std::cerr << "Failed to create log file root directory. Logging disabled." << std::endl;
                dirFailed = true;
            }
        }

        if (logFile.empty() || path.empty() || dirFailed) {
            disableLogging();
            return;
        }

        const std::string normalised = Poco::Path(path).toString();
        Poco::AutoPtr<Poco::SplitterChannel> splitter(new Poco::SplitterChannel);
        Poco::Logger& console = Poco::Logger::get("ConsoleLogger");
        Poco::Logger& file = Poco::Logger::get("FileLogger");
        splitter->addChannel(Poco::Channel::Ptr(new FileLogGuard(file)));
        Poco::Channel::Ptr fileChannel = file.getChannel();
        if (fileChannel) {
            fileChannel->setProperty(Poco::FileChannel::PROP_PATH, normalised);
            // Opening now turns an unwritable path into the set-up failure below
            // instead of an exception out of the first log call.
            fileChannel->open();
        }
        // The splitter releases what it holds: it must hold a reference of its own.
        splitter->addChannel(Poco::Channel::Ptr(&console, true));
        const int level = std::max(console.getLevel(), file.getLevel());
        Poco::Logger::root().setChannel(splitter);
        Poco::Logger::root().setLevel(level);
        logger().setChannel(splitter);
        logger().setLevel(level);
    } catch (const Poco::Exception& e) {
        std::cerr << "Logging will be disabled. Details: " << e.displayText() << std::endl;
        disableLogging();
    }
}

namespace {

void collectLeaves(const Poco::Util::AbstractConfiguration& config, const std::string& key,
                   std::vector<std::pair<std::string, std::string>>& leaves) {
    Poco::Util::AbstractConfiguration::Keys keys;
    config.keys(key, keys);
    if (!keys.empty()) {
        for (const std::string& sub : keys)
            collectLeaves(config, key + "." + sub, leaves);
        return;
    }
    try {
        if (config.has(key))
            leaves.emplace_back(key, config.getString(key));
    } catch (const Poco::Exception&) {
        // A system key whose value cannot be read is not listed.
    }
}

} // namespace

void BaseApp::logConfiguration() {
    Poco::Logger& log = logger();
    std::vector<std::pair<std::string, std::string>> leaves;
    collectLeaves(config(), "application", leaves);
    collectLeaves(config(), "system", leaves);
    std::size_t width = 0;
    for (const auto& leaf : leaves)
        width = std::max(width, leaf.first.size());
    if (log.information())
        for (const auto& leaf : leaves)
            log.information(leaf.first + std::string(width - leaf.first.size(), ' ') + " = " + leaf.second);
    log.notice(".");
}

void BaseApp::sendToIpc(IPCModlue* ipc, const std::string& message) {
    if (!ipc)
        return;
    bool sent = false;
    try {
        sent = ipc->send(message);
    } catch (const std::exception&) {
        // A text too long for one frame; the run's own outcome must still be reported.
    }
    if (!sent && logger().warning())
        logger().warning("Failed to send message to IPC.");
}

void BaseApp::loadTaskWeights() {
    Poco::Path dir(config().getString("application.dir", ""));
    dir.makeDirectory();
    dir.pushDirectory("weights");
    // Without the directory the run goes on with the built-in weights.
    if (!tryCreateFolder(dir.toString()))
        return;
    const std::string name = config().getString("src.name", "");
    dir.setFileName("weights" + (name.empty() ? std::string() : "-" + name) + ".txt");
    TaskWeights::instance().load(dir.toString());
}

int BaseApp::main(const std::vector<std::string>&) {
    Poco::Logger& log = logger();
    if (helpRequested_) {
        log.setLevel(Poco::Message::PRIO_WARNING);
        return kExitOk;
    }
    int rv = kExitFailure;
    // With logging off the log says nothing, yet whoever started the run from a
    // shell must still learn why it failed.
    const auto reportFailure = [&log](const std::string& text) {
        if (log.error())
            log.error(text);
        else
            std::cerr << text << std::endl;
    };

    log.notice(centredBanner("Application started (v" + applicationVersion() + ")", '=', kBannerWidth));
    logConfiguration();
    log.notice("BaseApp::main running");
    int gameId = 0;
    int serverPort = 0;
    try {
        gameId = config().getInt("game-id", 0);
        serverPort = config().getInt("server-port", 0);
    } catch (const Poco::Exception& e) {
        // The framework logs it too, but logging may be off: say it where it is seen.
        std::cerr << e.displayText() << std::endl;
        throw;
    }

    {
        std::optional<ScopedTimeCalculator> timer(std::in_place, log, "Application working");
        std::shared_ptr<CmdHandler> handler;
        std::unique_ptr<IPCModlue> ipc;
        try {
            log.notice("Creating cmdHandler");
            handler = createCmdHandler();
            if (!handler) {
                Singleton<ConsoleOutput>::instance().print("Dummy launch.\n", false);
                log.error("Dummy launch.");
                timer.reset();
            } else {
                log.notice("Creating progressHandler");
                // Lives inside this block: an unwinding failure stops its thread
                // before the error report goes out on the link it also writes to.
                std::unique_ptr<TotalProgress> progress =
                    createProgressHandler(config().getString("app.progress", ""),
                                          config().getInt("app.progress-update-freq", 1000),
                                          config().getString("wnd.handle", ""));
                if (gameId != 0 && serverPort != 0) {
                    ipc = std::make_unique<IPCModlue>(handler.get(), gameId);
                    ipc->setSendTimeout(std::max(1, config().getInt("app.ipc-send-timeout",
                                                                    static_cast<int>(Client::kDefaultSendTimeoutMs))));
                    Poco::Logger::get("IPCLogger").setChannel(log.getChannel());
                    ipc->connect(serverPort);
                }
                loadTaskWeights();
                handler->setProgress(progress.get());
                if (progress) {
                    progress->start("Progress monitoring started...");
                    progress->addObserver(ipc.get());
                }
                log.notice("Starting cmdHandler");
                handler->start();
                log.notice("cmdHandler ended");
                rv = kExitOk;
                handler->setProgress(nullptr);
                progress.reset();
                timer.reset();
            }
        } catch (const Interrupted& e) {
            timer.reset();
            reportFailure("INTERRUPTED: " + e.message());
            sendToIpc(ipc.get(), errorMessage(demangle(typeid(e).name()), e.displayText(), e.code()));
        } catch (const UpdaterError& e) {
            timer.reset();
            reportFailure("UpdateError: " + e.displayText() + ", Code: " + std::to_string(e.code()));
            sendToIpc(ipc.get(), errorMessage(demangle(typeid(e).name()), e.displayText(), e.code()));
        } catch (const Poco::Exception& e) {
            timer.reset();
            reportFailure("PocoException: " + e.displayText() + ", Code: " + std::to_string(e.code()));
            sendToIpc(ipc.get(), errorMessage(demangle(typeid(e).name()), e.displayText(), e.code()));
        } catch (const std::exception& e) {
            timer.reset();
            const std::string text = std::string("std::exception: ") + e.what();
            reportFailure(text);
            sendToIpc(ipc.get(), errorMessage(text, kStdExceptionCode));
        } catch (...) {
            timer.reset();
            const std::string text = "unknown exception at BaseApp::main";
            reportFailure(text);
            sendToIpc(ipc.get(), errorMessage(text, kUnknownExceptionCode));
        }
        if (handler)
            handler->setProgress(nullptr);
        sendToIpc(ipc.get(), exitMessage(rv));
        // Releasing the module disconnects it, which stops the (finished) handler.
        ipc.reset();
        if (handler)
            handler->detach();
        handler.reset();
    }

    long userTime = 0;
    long kernelTime = 0;
    Poco::Process::times(userTime, kernelTime);
    log.information("CPU usage: userTime " + std::to_string(userTime) + " seconds, kernelTime " +
                    std::to_string(kernelTime) + " seconds.");
    log.information("Return value: " + std::to_string(rv));
    log.notice(centredBanner("Application ended", '=', kBannerWidth));
    log.setLevel(Poco::Message::PRIO_WARNING);
    return rv;
}

int runApplication(Poco::AutoPtr<BaseApp> app, int argc, char** argv) {
    platform::returnLargeFreesToSystem();
    try {
        app->init(argc, argv);
    } catch (const Poco::Exception& e) {
        app->logger().log(e);
        return BaseApp::kExitUsage;
    }
    return app->run();
}

} // namespace Patcher
