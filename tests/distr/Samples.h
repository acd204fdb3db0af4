#pragma once

#include "distr/DiscGuard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

namespace testsupport {

// Deterministic test content: text-like and compressible, or random bytes.
inline std::string sampleData(std::size_t size, unsigned seed, bool compressible = true) {
    std::mt19937 rng(seed);
    std::string data;
    data.reserve(size);
    if (!compressible) {
        while (data.size() < size)
            data.push_back(static_cast<char>(rng() & 0xff));
        return data;
    }
    static const char* kWords[] = {"texture", "mesh", "level", "sound", "player", "=", "0x1F", "\r\n",
                                   "shader", "{", "}", "weapon", "npc", "quest", " ", "42"};
    while (data.size() < size) {
        if (rng() % 50 == 0)
            data.push_back(static_cast<char>(rng() & 0xff));
        else
            data += kWords[rng() % 16];
    }
    data.resize(size);
    return data;
}

// Runs a shell command; true when it exits with 0.
inline bool runTool(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

inline bool haveTool(const std::string& name) {
    return runTool("command -v " + name + " >/dev/null 2>&1");
}

// Counts what a disk run reports; every block must belong to the started
// operation and every begin must have its end (open back at 0).
struct CountingObserver : Patcher::HDDObserver {
    std::int64_t readBytes = 0, writeBytes = 0;
    int open = 0;
    std::size_t largestRead = 0;
    void read(int op, std::int64_t n, const char*) override {
        EXPECT_EQ(operation(), op);
        readBytes += n;
        largestRead = std::max(largestRead, static_cast<std::size_t>(n));
    }
    void write(int op, std::int64_t n, const char*) override {
        EXPECT_EQ(operation(), op);
        writeBytes += n;
    }
    void beginRead(unsigned char d) override { EXPECT_NE(0, d); ++open; }
    void endRead(unsigned char) override { --open; }
    void beginWrite(unsigned char) override { ++open; }
    void endWrite(unsigned char) override { --open; }
};

} // namespace testsupport
