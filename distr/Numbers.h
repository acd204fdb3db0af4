#pragma once

#include <cstdint>
#include <string>

namespace Patcher {

// A signed 64-bit decimal that may carry "," as a thousands separator ("1,234").
// Surrounding blanks are allowed. Throws Poco::SyntaxException
// "Not a valid integer: " + text for anything else, including overflow.
std::int64_t parseDecimal(const char* begin, const char* end);
inline std::int64_t parseDecimal(const std::string& text) {
    return parseDecimal(text.data(), text.data() + text.size());
}

// Blanks, tabs, CR, LF, VT and FF off both ends.
std::string trimmed(const std::string& text);

} // namespace Patcher
