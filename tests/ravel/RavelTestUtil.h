#pragma once

#include <cstdint>
#include <string>

namespace raveltest {

// Bytes that differ at nearby positions, so a shifted or repeated range shows.
inline std::string pattern(std::size_t size) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        out[i] = static_cast<char>((i * 131 + i / 4093) & 0xff);
    return out;
}

} // namespace raveltest
