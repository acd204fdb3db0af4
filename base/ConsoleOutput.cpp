#include "base/ConsoleOutput.h"

#include "platform/Terminal.h"

#include <algorithm>

namespace Patcher {
namespace {

const std::string kEndItem(1, '\0');

// Columns a UTF-8 text occupies (one per code point).
int columns(const std::string& text) {
    int n = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80)
            ++n;
    return n;
}

// Terminal rows a block line takes up: a line of exactly the width leaves the
// cursor pending at the margin, so the following "\n" does not add a row.
int rowsOf(const std::string& line, int width) {
    int n = columns(line);
    return n <= width ? 1 : (n + width - 1) / width;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    for (;;) {
        auto pos = text.find('\n', start);
        if (pos == std::string::npos) {
            if (start < text.size())
                lines.push_back(text.substr(start));
            return lines;
        }
        lines.push_back(text.substr(start, pos - start));
        start = pos + 1;
    }
}

} // namespace

ConsoleOutput::ConsoleOutput() : ConsoleOutput(platform::Terminal::standardOutput()) {}

ConsoleOutput::ConsoleOutput(std::unique_ptr<platform::Terminal> terminal)
    : RunnableEx("Console Thread"),
      terminal_(std::move(terminal)),
      width_(terminal_->width()),
      redirected_(terminal_->redirected()),
      ready_(Poco::Event::EVENT_AUTORESET) {
    start();
}

ConsoleOutput::~ConsoleOutput() {
    print(kEndItem, false);
    stop();
}

void ConsoleOutput::print(const std::string& text, bool display) {
    {
        Poco::FastMutex::ScopedLock lock(mutex_);
        queue_.push_back(Item{text, display});
    }
    ready_.set();
}

void ConsoleOutput::body() {
    std::vector<Item> items;
    for (;;) {
        while (items.empty()) {
            ready_.wait();
            Poco::FastMutex::ScopedLock lock(mutex_);
            items.swap(queue_);
        }
        for (const Item& item : items) {
            if (!item.display && item.text == kEndItem)
                return;
            if (item.display)
                writeBlock(item.text);
            else
                writePlain(item.text);
        }
        items.clear();
    }
}

void ConsoleOutput::writePlain(const std::string& text) {
    if (text.empty())
        return;
    terminal_->write(text);
    auto nl = text.find_last_of("\r\n");
    column_ = nl == std::string::npos ? column_ + columns(text) : columns(text.substr(nl + 1));
    // The next block goes below this text: the old block stays where it was and
    // is drawn anew in full, so nothing of it may count as already on screen.
    shown_.clear();
    blockRows_ = 0;
}

void ConsoleOutput::writeBlock(const std::string& text) {
    std::vector<std::string> lines = splitLines(text);
    std::string out;
    if (column_ != 0) {
        out += "\r\n";
        column_ = 0;
    }
    if (redirected_) {
        for (const std::string& line : lines)
            out += line + "\n";
        terminal_->write(out);
        return;
    }

    terminal_->moveUpToLineStart(blockRows_);
    bool wrapped = std::any_of(shown_.begin(), shown_.end(),
                               [this](const std::string& l) { return columns(l) >= width_; });
    if (wrapped) {
        out += "\x1b[J"; // a wrapped line shifts every row below it: redraw from scratch
        shown_.clear();
    }
    int rows = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i < shown_.size() && shown_[i] == lines[i])
            out += "\n";
        else {
            out += lines[i];
            if (columns(lines[i]) < width_)
                out += "\x1b[K"; // at the margin this would erase the line's last character
            out += "\n";
        }
        rows += rowsOf(lines[i], width_);
    }
    if (shown_.size() > lines.size())
        out += "\x1b[J"; // the old block was taller
    terminal_->write(out);
    shown_ = std::move(lines);
    blockRows_ = rows;
}

} // namespace Patcher
