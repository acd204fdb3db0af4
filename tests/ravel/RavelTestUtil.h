#pragma once

#include <Poco/File.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>

namespace raveltest {

// Bytes that differ at nearby positions, so a shifted or repeated range shows.
inline std::string pattern(std::size_t size) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        out[i] = static_cast<char>((i * 131 + i / 4093) & 0xff);
    return out;
}

// Bytes without any period, for files where a range shifted by whole blocks
// must show too.
inline std::string randomBytes(std::size_t size, unsigned seed) {
    std::string out(size, '\0');
    std::mt19937_64 gen(seed);
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t v = gen();
        std::memcpy(&out[i], &v, std::min<std::size_t>(8, size - i));
    }
    return out;
}

inline bool exists(const std::string& path) { return Poco::File(path).exists(); }

// What op raises as E; a test failure when it raises nothing.
template <class E>
E thrown(const std::function<void()>& op) {
    try {
        op();
    } catch (const E& e) {
        return e;
    }
    ADD_FAILURE() << "no exception";
    return E("none");
}

// Waits (bounded) for a condition that another thread brings about.
template <class F>
bool eventually(F condition, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace raveltest
