#include "base/RootStorage.h"

#include "platform/LargeMemory.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>

namespace Patcher {
namespace {


inline char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The lower-cased key of a text, in a per-thread buffer that keeps its capacity.
std::string_view lowerKey(std::string_view text) {
    thread_local std::string buffer;
    buffer.resize(text.size());
    std::transform(text.begin(), text.end(), buffer.begin(), lowerAscii);
    return buffer;
}

} // namespace

std::string asciiLower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), lowerAscii);
    return text;
}

RootStorage::~RootStorage() {
    for (const auto& block : blocks_)
        platform::releaseLarge(block.first, block.second);
}

char* RootStorage::reserve(std::size_t size) {
    if (blocks_.empty() || size > blockSize_ - blockUsed_) {
        blockSize_ = std::max(platform::largePageSize(), size);
        blocks_.emplace_back(static_cast<char*>(platform::allocateLarge(blockSize_)), blockSize_);
        blockUsed_ = 0;
    }
    char* at = blocks_.back().first + blockUsed_;
    blockUsed_ += size;
    return at;
}

constexpr std::size_t kHeader = sizeof(std::uint32_t) + 1;
constexpr char kOwnKey = 1;
constexpr char kProvisional = 2;

std::string_view RootStorage::textOf(const char* record) {
    std::uint32_t length;
    std::memcpy(&length, record, sizeof length);
    return std::string_view(record + kHeader, length);
}

std::string_view RootStorage::keyOf(const char* record) {
    const std::string_view text = textOf(record);
    // A text already in lower case serves as its own key.
    return record[sizeof(std::uint32_t)] & kOwnKey ? std::string_view(text.data() + text.size(), text.size()) : text;
}

std::size_t RootStorage::probe(std::string_view key, std::uint32_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
        const Slot& slot = slots_[at];
        if (slot.index < 0 || (slot.hash == hash && keyOf(records_[static_cast<std::size_t>(slot.index)]) == key))
            return at;
    }
}

void RootStorage::grow() {
    std::vector<Slot> old(slots_.empty() ? 1024 : slots_.size() * 2);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
        if (slot.index < 0)
            continue;
        std::size_t at = slot.hash & mask;
        while (slots_[at].index >= 0)
            at = (at + 1) & mask;
        slots_[at] = slot;
    }
}

const char* RootStorage::makeRecord(std::string_view text, std::string_view key, bool provisional) {
    if (text.size() > UINT32_MAX)
        throw Poco::RangeException("RootStorage text of " + std::to_string(text.size()) + " bytes");
    const bool ownKey = key != text;
    char* record = reserve(kHeader + text.size() * (ownKey ? 2 : 1));
    const auto length = static_cast<std::uint32_t>(text.size());
    std::memcpy(record, &length, sizeof length);
    record[sizeof length] = static_cast<char>((ownKey ? kOwnKey : 0) | (provisional ? kProvisional : 0));
    std::memcpy(record + kHeader, text.data(), text.size());
    if (ownKey)
        std::memcpy(record + kHeader + text.size(), key.data(), key.size());
    return record;
}

int RootStorage::intern(std::string_view text, bool provisional, bool& created) {
    const std::string_view key = lowerKey(text);
    const auto hash = static_cast<std::uint32_t>(std::hash<std::string_view>()(key));
    Poco::FastMutex::ScopedLock lock(mutex_);
    if (2 * (records_.size() + 1) > slots_.size())
        grow();
    Slot& slot = slots_[probe(key, hash)];
    created = slot.index < 0;
    if (!created) {
        const char*& record = records_[static_cast<std::size_t>(slot.index)];
        if (!provisional && (record[sizeof(std::uint32_t)] & kProvisional)) {
            // The first claim shows its spelling; the provisional one stays readable.
            if (textOf(record) == text) {
                const_cast<char*>(record)[sizeof(std::uint32_t)] &= ~kProvisional; // NOLINT: our own block
            } else {
                firsts_.emplace(slot.index, record);
                record = makeRecord(text, key, false);
            }
        }
        return slot.index;
    }
    const int result = static_cast<int>(records_.size());
    records_.push_back(makeRecord(text, key, provisional));
    slot.hash = hash;
    slot.index = result;
    return result;
}

int RootStorage::index(std::string_view text, bool announce) {
    bool created = false;
    const int result = intern(text, false, created);
    if (announce && created) {
        Poco::Logger& root = Poco::Logger::root();
        if (root.information())
            root.information("mapped {" + std::to_string(result) + "} -> " + std::string(text));
    }
    return result;
}

int RootStorage::indexProvisional(std::string_view text) {
    bool created = false;
    return intern(text, true, created);
}

const char* RootStorage::firstRecord(std::size_t index) const {
    if (!firsts_.empty()) {
        auto found = firsts_.find(static_cast<int>(index));
        if (found != firsts_.end())
            return found->second;
    }
    return records_[index];
}

std::pair<int, bool> RootStorage::find(std::string_view text) const { return lookup(text, false); }

std::pair<int, bool> RootStorage::findExact(std::string_view text) const { return lookup(text, true); }

std::pair<int, bool> RootStorage::lookup(std::string_view text, bool exact) const {
    const std::string_view key = lowerKey(text);
    const auto hash = static_cast<std::uint32_t>(std::hash<std::string_view>()(key));
    Poco::FastMutex::ScopedLock lock(mutex_);
    if (slots_.empty())
        return {-1, false};
    const Slot& slot = slots_[probe(key, hash)];
    if (slot.index < 0 || (exact && textOf(firstRecord(static_cast<std::size_t>(slot.index))) != text))
        return {-1, false};
    return {slot.index, true};
}

std::string RootStorage::text(int index) const {
    Poco::FastMutex::ScopedLock lock(mutex_);
    if (index < 0 || static_cast<std::size_t>(index) >= records_.size())
        throw Poco::RangeException("RootStorage index", std::to_string(index));
    return std::string(textOf(records_[static_cast<std::size_t>(index)]));
}

std::string_view RootStorage::firstView(int index) const {
    Poco::FastMutex::ScopedLock lock(mutex_);
    if (index < 0 || static_cast<std::size_t>(index) >= records_.size())
        throw Poco::RangeException("RootStorage index", std::to_string(index));
    return textOf(firstRecord(static_cast<std::size_t>(index)));
}

std::size_t RootStorage::size() const {
    Poco::FastMutex::ScopedLock lock(mutex_);
    return records_.size();
}

} // namespace Patcher
