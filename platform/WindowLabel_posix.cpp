#include "platform/WindowLabel.h"

namespace platform {

// There is no cross-process window label to write to without a windowing system.
std::unique_ptr<WindowLabel> openWindowLabel(std::uintptr_t) { return nullptr; }

} // namespace platform
