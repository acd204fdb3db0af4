#pragma once

#include <memory>
#include <string>

namespace platform {

// A console output stream. On a terminal the caller may move the cursor; when
// redirected (a file or a pipe) only raw bytes are written and cursor moves are
// ignored.
class Terminal {
public:
    // Standard output.
    static std::unique_ptr<Terminal> standardOutput();
    // An already open descriptor, not owned (tests pass a pseudo-terminal).
    explicit Terminal(int fd);
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    bool redirected() const { return redirected_; }
    int width() const; // columns; 80 when unknown
    // Writes all bytes; errors are ignored (the console is best effort).
    void write(const std::string& bytes);
    // Moves the cursor up by rows and to column 0; nothing when redirected.
    void moveUpToLineStart(int rows);

private:
    const int fd_;
    const bool redirected_;
};

} // namespace platform
