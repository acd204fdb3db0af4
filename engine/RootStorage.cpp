#include "engine/RootStorage.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>

namespace Patcher {

std::string asciiLower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

int RootStorage::index(const std::string& text, bool announce) {
    std::string key = asciiLower(text);
    int result;
    {
        Poco::FastMutex::ScopedLock lock(mutex_);
        auto inserted = byKey_.try_emplace(std::move(key), static_cast<int>(texts_.size()));
        if (!inserted.second)
            return inserted.first->second;
        result = inserted.first->second;
        texts_.push_back(text);
    }
    if (announce) {
        Poco::Logger& root = Poco::Logger::root();
        if (root.information())
            root.information("mapped {" + std::to_string(result) + "} -> " + text);
    }
    return result;
}

std::pair<int, bool> RootStorage::find(const std::string& text) const {
    std::string key = asciiLower(text);
    Poco::FastMutex::ScopedLock lock(mutex_);
    auto it = byKey_.find(key);
    if (it == byKey_.end())
        return {-1, false};
    return {it->second, true};
}

std::string RootStorage::text(int index) const {
    Poco::FastMutex::ScopedLock lock(mutex_);
    if (index < 0 || static_cast<std::size_t>(index) >= texts_.size())
        throw Poco::RangeException("RootStorage index", std::to_string(index));
    return texts_[static_cast<std::size_t>(index)];
}

std::size_t RootStorage::size() const {
    Poco::FastMutex::ScopedLock lock(mutex_);
    return texts_.size();
}

} // namespace Patcher
