#pragma once

#include "progress/TotalProgress.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {
class WindowLabel;
}

namespace Patcher {

// Formatting of the progress blocks. Lengths count UTF-8 characters; width is
// the console's columns.

// "NNN% [====>    ]"; throws InternalError (code 3) "Invalid percent: " when the
// rounded percent is outside 0..100.
std::string progressBar(double percent, int width);
// "1.50 KB", "1023 B" (binary units, two decimals).
std::string formatSize(std::int64_t bytes);
// "2d, 1h, 0m", "1h, 2m", "5m 12s", "42s".
std::string formatDuration(int seconds);
// Cut or padded with spaces to width - 1 characters.
std::string fitLine(const std::string& text, int width);
// The last n - 1 characters, the first three of them replaced by ".. ", when the
// text has n - 1 or more; otherwise the text.
std::string truncateLeft(const std::string& text, int n);
// text with one space on each side, centred in width fill characters; the text
// alone when it does not fit.
std::string centredBanner(const std::string& text, char fill, int width);

// Three lines: blank, the total bar, and the totals (ETA, elapsed, volumes).
class BriefProgress : public TotalProgress {
public:
    explicit BriefProgress(long updatePeriod);
    ~BriefProgress() override;

protected:
    void render(double percent) override;
    // The three lines, each ending in "\n"; model's mutex held.
    std::string totalLines(double percent, int width) const;
};

// A block per task, then the three lines of BriefProgress.
class DetailedProgress : public BriefProgress {
public:
    explicit DetailedProgress(long updatePeriod);
    ~DetailedProgress() override;

protected:
    void render(double percent) override;
};

// No console output: writes the current item into another program's window label.
class DummyProgress : public TotalProgress {
public:
    using LabelOpener = std::function<std::unique_ptr<platform::WindowLabel>(std::uintptr_t)>;

    // handle: the window handle as hexadecimal text, empty for none; throws
    // Poco::SyntaxException for a text that is not hexadecimal. opener: how a
    // handle becomes a label (the platform's by default).
    DummyProgress(long updatePeriod, const std::string& handle, LabelOpener opener = {});
    ~DummyProgress() override;

protected:
    void render(double percent) override;

private:
    std::uintptr_t window_ = 0;
    std::unique_ptr<platform::WindowLabel> label_; // used by the progress thread only
    std::string prefix_;                           // the label's text at construction
};

// No display: the model runs for its observers alone (the launcher link, the
// stage adapter), which hear of the progress whatever the console shows.
class SilentProgress : public TotalProgress {
public:
    explicit SilentProgress(long updatePeriod) : TotalProgress(updatePeriod, false) {}
    ~SilentProgress() override { stop(); }

protected:
    void render(double) override {}
};

// The display "app.progress" names: "brief", "detailed" or "dummy" (which takes
// the window handle text); a SilentProgress for anything else. Throws
// Poco::SyntaxException for a window handle that is not hexadecimal.
std::unique_ptr<TotalProgress> createProgressHandler(const std::string& kind, long updatePeriod,
                                                     const std::string& windowHandle);

} // namespace Patcher
