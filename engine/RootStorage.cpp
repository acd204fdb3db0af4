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
        auto it = byKey_.find(key);
        if (it != byKey_.end())
            return it->second->index;
        result = static_cast<int>(byIndex_.size());
        auto entry = std::make_shared<RootEntry>(RootEntry{key, text, result});
        byKey_.emplace(std::move(key), entry);
        byIndex_.push_back(std::move(entry));
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
    return {it->second->index, true};
}

std::string RootStorage::text(int index) const {
    Poco::FastMutex::ScopedLock lock(mutex_);
    if (index < 0 || static_cast<std::size_t>(index) >= byIndex_.size())
        throw Poco::RangeException("RootStorage index", std::to_string(index));
    return byIndex_[static_cast<std::size_t>(index)]->text;
}

std::size_t RootStorage::size() const {
    Poco::FastMutex::ScopedLock lock(mutex_);
    return byIndex_.size();
}

} // namespace Patcher
