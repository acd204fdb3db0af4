#include "distr/Numbers.h"

#include <Poco/Exception.h>

namespace Patcher {
namespace {

inline bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

[[noreturn]] void notAnInteger(const char* begin, const char* end) {
    throw Poco::SyntaxException("Not a valid integer", std::string(begin, end));
}

} // namespace

std::int64_t parseDecimal(const char* begin, const char* end) {
    const char* p = begin;
    while (p < end && isBlank(*p))
        ++p;
    const char* last = end;
    while (last > p && isBlank(last[-1]))
        --last;
    bool negative = false;
    if (p < last && (*p == '-' || *p == '+'))
        negative = *p++ == '-';
    if (p == last || *p < '0' || *p > '9')
        notAnInteger(begin, end);
    // Accumulate as a negative number so that INT64_MIN fits.
    std::int64_t value = 0;
    constexpr std::int64_t kMin = INT64_MIN;
    constexpr std::int64_t kLimit = kMin / 10;       // -922337203685477580
    constexpr int kLastDigit = -static_cast<int>(kMin % 10); // 8
    for (; p < last; ++p) {
        if (*p == ',')
            continue;
        if (*p < '0' || *p > '9')
            notAnInteger(begin, end);
        const int digit = *p - '0';
        if (value < kLimit || (value == kLimit && digit > kLastDigit))
            notAnInteger(begin, end);
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == kMin)
            notAnInteger(begin, end);
        value = -value;
    }
    return value;
}

std::string trimmed(const std::string& text) {
    std::size_t first = 0, last = text.size();
    while (first < last && isBlank(text[first]))
        ++first;
    while (last > first && isBlank(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

} // namespace Patcher
