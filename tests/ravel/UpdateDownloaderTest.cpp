#include "base/CmdHandler.h"
#include "base/Task.h"
#include "ravel/UpdateDownloader.h"
#include "tests/ravel/RavelTestUtil.h"
#include "tests/support/LogCapture.h"
#include "tests/support/NginxServer.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

using namespace Patcher;
using testsupport::LogCapture;
using testsupport::NginxServer;
using testsupport::TempDir;

TEST(UpdateDownloaderTest, RangesAndWholeFilesReachTheTaskAndFailuresTheLog) {
    if (!NginxServer::available())
        GTEST_SKIP() << "nginx is not installed";
    TempDir site, out;
    const std::string content = raveltest::randomBytes(3 << 20, 7);
    testsupport::writeFile(site.file("pack.bin"), content);
    NginxServer server(site.path());
    StopState stop;
    UpdateDownloader downloader(&stop, 3);
    EXPECT_THROW(UpdateDownloader(&stop, 1), std::logic_error) << "one downloader at a time";

    Task task(TaskType::Download, nullptr, 0);
    const std::int64_t offset = 12345;
    const std::int64_t size = 2 << 20;
    task.start(size + static_cast<std::int64_t>(content.size()), 0, "test");
    task.activate();
    task.setCurrentItem("range", size);
    downloader.downloadRange(server.url("pack.bin"), out.file("range"), offset, size, &task);
    EXPECT_EQ(content.substr(offset, size), testsupport::readFile(out.file("range")));
    EXPECT_EQ(size, task.done());

    task.setCurrentItem("whole", 0);
    EXPECT_EQ(static_cast<std::int64_t>(content.size()),
              downloader.downloadWhole(server.url("pack.bin"), out.file("whole"), &task));
    EXPECT_EQ(content, testsupport::readFile(out.file("whole")));
    EXPECT_EQ(TaskStatus::Done, task.status());
    EXPECT_EQ(static_cast<std::int64_t>(content.size()), task.currentItemTotal()) << "the size learnt on the way";

    // A failure is logged with its range and raised.
    LogCapture log;
    EXPECT_THROW(downloader.downloadRange(server.url("missing.bin"), out.file("r"), 10, 20, nullptr), DlError);
    EXPECT_THROW(downloader.downloadWhole(server.url("missing.bin"), out.file("w"), nullptr), DlError);
    // One line per failed request (the library's own loggers may write more).
    std::vector<std::string> errors;
    for (const std::string& text : log.texts(Poco::Message::PRIO_ERROR))
        if (text.compare(0, 25, "Failed to download file: ") == 0)
            errors.push_back(text.substr(0, text.find(", details: ") + 11));
    const std::string from = " from " + server.url("missing.bin") + ", details: ";
    EXPECT_EQ((std::vector<std::string>{"Failed to download file: " + out.file("r") + " [10, 20]" + from,
                                        "Failed to download file: " + out.file("w") + from}),
              errors);

    // Over TLS a failure is only a warning: the engine falls back to plain HTTP.
    // The test's certificate is not trusted here: refused for good, and said so.
    log.clear();
    const std::string refused = raveltest::thrown<DlError>([&] {
        downloader.downloadWhole(server.httpsUrl("missing.bin"), out.file("s"), nullptr);
    }).displayText();
    EXPECT_EQ(0u, refused.find("Download error: The server's certificate was refused: SSL Exception: ")) << refused;
    for (const std::string& text : log.texts(Poco::Message::PRIO_ERROR))
        EXPECT_NE(0u, text.find("Failed to download file: ")) << text;
    const auto warnings = log.texts(Poco::Message::PRIO_WARNING);
    EXPECT_TRUE(std::any_of(warnings.begin(), warnings.end(),
                            [](const std::string& text) { return text.rfind("Failed to download file: ", 0) == 0; }));
}
