#include "base/ConsoleOutput.h"

#include "platform/Terminal.h"
#include "tests/support/Pty.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using Patcher::ConsoleOutput;
using testsupport::Pty;

// Everything the writer produces for blocks (true) and plain text (false), read
// back from a terminal of the given width.
TEST(ConsoleOutputTest, BlocksAreRedrawnInPlaceAndBelowTextBetweenThem) {
    struct Case {
        int width;
        std::vector<std::pair<std::string, bool>> items;
        std::string expected;
    };
    const std::string wide(10, 'x');
    const Case cases[] = {
        // An equal block moves the cursor only; of a changed one, only the changed line is written.
        {80,
         {{"Total 10%\nfile a", true}, {"Total 10%\nfile a", true}, {"Total 20%\nfile a", true}},
         "\rTotal 10%\x1b[K\nfile a\x1b[K\n\r\x1b[2A\n\n\r\x1b[2ATotal 20%\x1b[K\n\n"},
        // Text between blocks scrolls, and the next block is drawn in full below it.
        {80, {{"block 1", true}, {"log line\r\n", false}, {"block 1", true}}, "\rblock 1\x1b[K\nlog line\r\n\rblock 1\x1b[K\n"},
        // After a full-width line the old block is cleared and drawn anew; a
        // shorter block clears the rows it no longer uses.
        {10,
         {{wide + "\nsecond", true}, {"a\nb\nc", true}, {"a", true}},
         "\r" + wide + "\nsecond\x1b[K\n\r\x1b[2A\x1b[Ja\x1b[K\nb\x1b[K\nc\x1b[K\n\r\x1b[3A\n\x1b[J"},
    };
    for (const Case& c : cases) {
        Pty pty(c.width);
        {
            ConsoleOutput out(std::make_unique<platform::Terminal>(pty.slave()));
            EXPECT_FALSE(out.redirected());
            for (const auto& item : c.items)
                out.print(item.first, item.second);
        } // the destructor writes everything queued before it
        EXPECT_EQ(c.expected, pty.drain()) << c.items.front().first;
    }
}
