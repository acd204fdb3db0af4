#pragma once

#include "progress/TotalProgress.h"

#include <cstdint>
#include <string>

namespace Patcher {

// Builds one JSON object member by member, in the launcher's exact layout:
// {"a": 1, "b": "x"}. Keys and strings use JsonCpp's quoting.
class JsonMessage {
public:
    JsonMessage& add(const std::string& key, const std::string& value);
    JsonMessage& add(const std::string& key, const char* value) { return add(key, std::string(value)); }
    JsonMessage& add(const std::string& key, std::int64_t value);
    JsonMessage& add(const std::string& key, int value) { return add(key, static_cast<std::int64_t>(value)); }
    JsonMessage& add(const std::string& key, unsigned value) { return add(key, static_cast<std::int64_t>(value)); }
    // value is inserted as it stands (an array or object text).
    JsonMessage& addRaw(const std::string& key, const std::string& value);
    const std::string& text() const { return text_; }

private:
    std::string text_ = "{}";
};

// The messages of the launcher link and the stage adapter's pipe.
std::string registrationMessage(int id);
std::string progressMessage(const TotalProgressRecord& record);
// type: the exception's class name; desc: its display text.
std::string errorMessage(const std::string& type, const std::string& desc, int code);
std::string errorMessage(const std::string& desc, int code);
std::string exitMessage(int code);
std::string setupMessage(const std::string& directory, const std::string& exe, const std::string& lfName);

} // namespace Patcher
