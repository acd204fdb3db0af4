#include "base/ConsoleOutput.h"

#include "platform/Terminal.h"
#include "tests/support/Pty.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using Patcher::ConsoleOutput;
using testsupport::Pty;

namespace {

// Everything the writer produces for the given items, read back from a terminal.
std::string render(Pty& pty, const std::vector<std::pair<std::string, bool>>& items) {
    {
        ConsoleOutput out(std::make_unique<platform::Terminal>(pty.slave()));
        EXPECT_FALSE(out.redirected());
        for (const auto& item : items)
            out.print(item.first, item.second);
    } // the destructor writes everything queued before it
    return pty.drain();
}

} // namespace

TEST(ConsoleOutputTest, RedrawsTheBlockInPlaceRewritingOnlyChangedLines) {
    Pty pty(80);
    std::string out = render(pty, {{"Total 10%\nfile a", true}, {"Total 10%\nfile a", true}, {"Total 20%\nfile a", true}});
    EXPECT_EQ("\r"                                  // first block at the anchor
              "Total 10%\x1b[K\nfile a\x1b[K\n"
              "\r\x1b[2A"                           // equal block: cursor moves only
              "\n\n"
              "\r\x1b[2A"                           // one changed line
              "Total 20%\x1b[K\n\n",
              out);
}

TEST(ConsoleOutputTest, TextBetweenBlocksScrollsAndTheNextBlockIsDrawnBelowIt) {
    Pty pty(80);
    std::string out = render(pty, {{"block 1", true}, {"log line\r\n", false}, {"block 1", true}});
    EXPECT_EQ("\rblock 1\x1b[K\nlog line\r\n\rblock 1\x1b[K\n", out)
        << "the second block must be drawn in full below the log line";
}

TEST(ConsoleOutputTest, WrappedOrShrinkingBlocksClearWhatWasBelow) {
    Pty pty(10);
    std::string wide(10, 'x');
    std::string out = render(pty, {{wide + "\nsecond", true}, {"a\nb\nc", true}, {"a", true}});
    // After a full-width line the old block is cleared and drawn anew; a shorter
    // block clears the rows it no longer uses.
    EXPECT_EQ("\r" + wide + "\nsecond\x1b[K\n"
              "\r\x1b[2A\x1b[Ja\x1b[K\nb\x1b[K\nc\x1b[K\n"
              "\r\x1b[3A\n\x1b[J",
              out);
}
