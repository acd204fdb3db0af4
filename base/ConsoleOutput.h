#pragma once

#include "base/RunnableEx.h"

#include <Poco/Event.h>
#include <Poco/Mutex.h>

#include <memory>
#include <string>
#include <vector>

namespace platform {
class Terminal;
}

namespace Patcher {

// The one writer of console text ("Console Thread"). Ordinary text scrolls; a
// display item is a whole progress block, kept in place below the text and
// redrawn with only its changed lines rewritten. Created first at start-up and
// destroyed last (Singleton<ConsoleOutput>).
class ConsoleOutput : public RunnableEx {
public:
    // Writes to standard output.
    ConsoleOutput();
    // Writes to the given terminal (tests use a pseudo-terminal or a pipe).
    explicit ConsoleOutput(std::unique_ptr<platform::Terminal> terminal);
    // Queues the end item and joins the thread: everything queued before is written.
    ~ConsoleOutput() override;

    // Any thread. display = false: ordinary text (log lines carry their own line
    // end); display = true: a complete block, lines separated by "\n".
    void print(const std::string& text, bool display = false);

    int width() const { return width_; }         // columns; 80 when unknown
    bool redirected() const { return redirected_; } // not a terminal: no cursor moves

private:
    struct Item {
        std::string text;
        bool display;
    };

    void body() override;
    void writePlain(const std::string& text);
    void writeBlock(const std::string& text);

    const std::unique_ptr<platform::Terminal> terminal_; // used by the writer thread only
    const int width_;
    const bool redirected_;

    Poco::Event ready_; // auto reset; signalled when items are queued
    Poco::FastMutex mutex_;
    std::vector<Item> queue_; // guarded by mutex_

    // Writer thread only:
    std::vector<std::string> shown_; // lines of the block drawn last
    int blockRows_ = 0;              // terminal rows between the block's anchor and the cursor
    int column_ = 0;                 // cursor column after the last plain text
};

} // namespace Patcher
