#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// The text label of another program's window, named by a native handle.
class WindowLabel {
public:
    virtual ~WindowLabel() = default;
    // The label's current text (UTF-8), at most maxChars characters.
    virtual std::string text(std::size_t maxChars) = 0;
    // Replaces the label's text; failures are ignored (the label is best effort).
    virtual void setText(const std::string& text) = 0;
};

// The label of the window with this handle, or null when the platform has no
// window labels (POSIX).
std::unique_ptr<WindowLabel> openWindowLabel(std::uintptr_t handle);

} // namespace platform
