// ravel-get URL OUT [--connections N] [--offset O --size S] [--min-segment B] [--retry-delay MS]
//           [--retry-time S] [--verbose]
// Downloads URL (whole, or S bytes from O) into OUT through the download
// service. Exit 0 on success, 1 with the error on stderr when the download
// fails or is interrupted (Ctrl+C, SIGTERM: the resume record is saved first),
// 2 for a usage error. While it runs, a progress line goes to stdout at most
// every 100 ms.
#include "base/CmdHandler.h"
#include "platform/ConsoleControl.h"
#include "ravel/GDownloader.h"

#include <Poco/AutoPtr.h>
#include <Poco/ConsoleChannel.h>
#include <Poco/Logger.h>
#include <Poco/NumberParser.h>
#include <Poco/Timestamp.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

namespace {

const char* const kUsage =
    "usage: ravel-get URL OUT [--connections N] [--offset O --size S] [--min-segment B] [--retry-delay MS]\n"
    "                 [--retry-time S] [--verbose]\n"
    "  --connections N  connections per file (default 4)\n"
    "  --offset, --size the byte range to fetch (default: the whole resource)\n"
    "  --min-segment B  shortest segment in bytes (default 4096)\n"
    "  --retry-delay MS pause before the first retry, doubled for each next (default 1000)\n"
    "  --retry-time S   no retry starts later than this after a request first failed (default 180)\n";

// Never destroyed: the console control thread may still be inside stop() while
// the process exits.
Patcher::StopState& gStop = *new Patcher::StopState;

bool onConsoleControl(int) {
    gStop.stop();
    return true;
}

class ProgressPrinter : public DlEventObserver {
public:
    void onSuccess(int, const DlRequestInfo&) override {}
    void onError(int, const DlError&, const DlRequestInfo&) override {}
    void onProgress(int, const DlProgress& progress) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (progress.first)
            resumed_ = progress.received;
        received_ = progress.received;
        total_ = progress.total;
        const bool firstData = !progress.first && !sawData_;
        sawData_ = sawData_ || !progress.first;
        if (progress.first || firstData || lastPrint_.isElapsed(100000) || progress.received == progress.total) {
            lastPrint_.update();
            std::printf("received %lld of %lld bytes\n", static_cast<long long>(progress.received),
                        static_cast<long long>(progress.total));
            std::fflush(stdout);
        }
    }
    std::int64_t resumed() const { return resumed_; }

private:
    std::mutex mutex_;
    Poco::Timestamp lastPrint_;
    bool sawData_ = false;
    std::int64_t resumed_ = 0;
    std::int64_t received_ = 0;
    std::int64_t total_ = 0;
};

bool parseNumber(const std::string& text, std::int64_t& value) {
    Poco::Int64 parsed = 0;
    if (!Poco::NumberParser::tryParse64(text, parsed))
        return false;
    value = parsed;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> positional;
    std::int64_t connections = 4;
    std::int64_t offset = -1;
    std::int64_t size = -1;
    std::int64_t minSegment = -1;
    DlServiceOptions options;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto number = [&](std::int64_t& value) {
            if (i + 1 >= argc || !parseNumber(argv[i + 1], value)) {
                std::cerr << "ravel-get: " << arg << " needs a number\n" << kUsage;
                return false;
            }
            ++i;
            return true;
        };
        if (arg == "--connections") {
            if (!number(connections))
                return 2;
        } else if (arg == "--offset") {
            if (!number(offset))
                return 2;
        } else if (arg == "--size") {
            if (!number(size))
                return 2;
        } else if (arg == "--min-segment") {
            if (!number(minSegment))
                return 2;
        } else if (arg == "--retry-delay") {
            if (!number(options.retry.firstDelayMs))
                return 2;
        } else if (arg == "--retry-time") {
            std::int64_t seconds = 0;
            if (!number(seconds))
                return 2;
            options.retry.retryTimeMs = seconds * 1000;
        } else if (arg == "--verbose") {
            verbose = true;
        } else if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg.compare(0, 2, "--") == 0) {
            std::cerr << "ravel-get: unknown option " << arg << "\n" << kUsage;
            return 2;
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2 || (offset < 0) != (size < 0) || connections < 1 || connections > 1024) {
        std::cerr << kUsage;
        return 2;
    }
    if (verbose) {
        Poco::AutoPtr<Poco::ConsoleChannel> channel(new Poco::ConsoleChannel(std::cerr));
        Poco::Logger::root().setChannel(channel);
        Poco::Logger::root().setLevel(Poco::Message::PRIO_TRACE);
        for (const char* name : {"ravel.Main", "ravel.Session", "ravel.SessionPool", "ravel.Segment",
                                 "ravel.FileActiveCache"}) {
            Poco::Logger::get(name).setChannel(channel);
            Poco::Logger::get(name).setLevel(Poco::Message::PRIO_TRACE);
        }
    }

    ProgressPrinter printer;
    const Poco::Timestamp start;
    std::int64_t total = size;
    try {
        GDownloader downloader(options);
        downloader.setStopState(&gStop);
        platform::setConsoleControlHandler(onConsoleControl);
        downloader.setConnections(static_cast<int>(connections));
        if (minSegment >= 0)
            downloader.setMinSegmentSize(static_cast<int>(minSegment));
        if (offset >= 0)
            downloader.download(positional[0], positional[1], offset, size, &printer);
        else
            total = downloader.download(positional[0], positional[1], &printer);
    } catch (const DlError& error) {
        std::cerr << "ravel-get: " << error.displayText() << " (code " << error.code() << ")\n";
        return 1;
    } catch (const Poco::Exception& error) {
        std::cerr << "ravel-get: " << error.displayText() << "\n";
        return 1;
    } catch (const std::exception& error) {
        std::cerr << "ravel-get: " << error.what() << "\n";
        return 1;
    }
    const double seconds = static_cast<double>(start.elapsed()) / 1e6;
    const std::int64_t fetched = total - printer.resumed();
    std::printf("done: %lld bytes (%lld resumed) in %.3f s, %.1f MB/s\n", static_cast<long long>(total),
                static_cast<long long>(printer.resumed()), seconds,
                seconds > 0 ? static_cast<double>(fetched) / 1e6 / seconds : 0.0);
    return 0;
}
