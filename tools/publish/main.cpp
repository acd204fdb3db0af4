// patcher-publish: publishes a game's file tree as a distribution the updater
// installs and patches (see publishUsage()).
#include "base/CmdHandler.h"
#include "base/Errors.h"
#include "base/Singleton.h"
#include "base/RootStorage.h"
#include "platform/Terminal.h"
#include "tools/publish/Progress.h"
#include "tools/publish/PublishOptions.h"
#include "tools/publish/Publisher.h"

#include <Poco/Logger.h>
#include <Poco/Message.h>

#include <chrono>
#include <cstdio>
#include <iostream>

namespace {

using namespace Patcher;

std::string mib(std::int64_t bytes) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    return buf;
}

class PublishCommand : public CmdHandler {
public:
    PublishCommand(const PublishOptions& options, PublishStats& stats, ProgressReporter& reporter)
        : options_(options), stats_(stats), reporter_(reporter) {}
    void run() override { summary = Publisher(options_, stats_, reporter_, &stopState()).run(); }
    // Runs on the console control thread, which may outlive main: touches only the
    // stop state, which is never destroyed. Says so once the stop is registered, as
    // the step under way (a delta tool, say) may take a while to notice it.
    void onStop() override {
        stopState().stop();
        std::fputs("patcher-publish: stopping\n", stderr);
    }

    PublishSummary summary;

private:
    const PublishOptions& options_;
    PublishStats& stats_;
    ProgressReporter& reporter_;
};

void printSummary(const PublishOptions& options, const PublishSummary& s, const PublishStats& stats,
                  double seconds) {
    std::cout << "published " << options.version << " at " << s.target << "\n";
    std::cout << "  files: " << s.files << ", " << mib(s.size) << ", stored as " << mib(s.storedSize) << " in "
              << s.packages << " package(s) (" << s.compressedFiles << " compressed)\n";
    if (!options.previous.empty())
        std::cout << "  reused as stored by earlier versions: " << s.reusedFiles << " files\n";
    std::cout << "  removed since earlier versions: " << s.removals << "\n";
    for (const auto& d : s.deltas)
        std::cout << "  delta from " << d.from << (d.unit.empty() ? "" : " (environment " + d.unit + ")") << ": "
                  << d.entries << " of " << d.changed << " changed files, " << mib(d.storedSize) << "\n";
    char line[64];
    std::snprintf(line, sizeof line, "  time: %.1f s; thread time:", seconds);
    std::cout << line;
    for (int w = 0; w < PublishStats::kWorkKinds; ++w) {
        std::snprintf(line, sizeof line, " %s %.1f s%s", PublishStats::workName(w),
                      static_cast<double>(stats.workNs[w]) / 1e9, w + 1 < PublishStats::kWorkKinds ? "," : "\n");
        std::cout << line;
    }
}

} // namespace

int main(int argc, char** argv) {
    PublishOptions options;
    try {
        options = parsePublishOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const Poco::Exception& e) {
        std::cerr << "patcher-publish: " << e.message() << "\n" << publishUsage();
        return 2;
    }
    if (options.help) {
        std::cout << publishUsage();
        return 0;
    }
    if (!options.genKey.empty()) {
        try {
            const auto [privatePath, publicPath] = writeKeyPair(options.genKey);
            std::cout << "private key (keep it secret, sign with --sign-key): " << privatePath << "\n"
                      << "public key (for app.trusted-keys): " << publicPath << "\n";
            return 0;
        } catch (const Poco::Exception& e) {
            std::cerr << "patcher-publish: error: " << e.message() << "\n";
            return 1;
        }
    }
    // The formats code logs on the root logger; only its warnings concern a publisher.
    Poco::Logger::root().setLevel(Poco::Message::PRIO_WARNING);
    Singleton<RootStorage>::create();
    const auto started = std::chrono::steady_clock::now();
    PublishStats stats;
    int code = 0;
    {
        ProgressReporter reporter(stats, std::make_unique<platform::Terminal>(2));
        // Never destroyed: a console control event may still be stopping it while
        // main returns (the handler slot gives no way to wait for that).
        static PublishCommand* const command = new PublishCommand(options, stats, reporter);
        try {
            command->start();
            reporter.finish();
            printSummary(options, command->summary, stats,
                         std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        } catch (const Interrupted&) {
            reporter.finish();
            std::cerr << "patcher-publish: interrupted; nothing was published\n";
            code = 130;
        } catch (const PublishError& e) {
            reporter.finish();
            std::cerr << "patcher-publish: error: " << e.message() << "\n";
            code = 1;
        } catch (const Poco::Exception& e) {
            reporter.finish();
            std::cerr << "patcher-publish: error: " << e.displayText() << "\n";
            code = 1;
        } catch (const std::exception& e) {
            reporter.finish();
            std::cerr << "patcher-publish: error: " << e.what() << "\n";
            code = 1;
        }
    }
    Singleton<RootStorage>::destroy();
    return code;
}
