#include "progress/IpcMessages.h"

#include <json/writer.h>

#include <iomanip>
#include <sstream>

namespace Patcher {
namespace {

std::string quoted(const std::string& text) { return Json::valueToQuotedString(text.c_str()); }

} // namespace

JsonMessage& JsonMessage::addRaw(const std::string& key, const std::string& value) {
    text_.pop_back(); // the closing brace
    if (text_.size() > 1)
        text_ += ", ";
    text_ += quoted(key) + ": " + value + "}";
    return *this;
}

JsonMessage& JsonMessage::add(const std::string& key, const std::string& value) { return addRaw(key, quoted(value)); }

JsonMessage& JsonMessage::add(const std::string& key, std::int64_t value) { return addRaw(key, std::to_string(value)); }

std::string registrationMessage(int id) { return JsonMessage().add("registration_id", id).text(); }

std::string progressMessage(const TotalProgressRecord& record) {
    std::ostringstream percent;
    percent << std::fixed << std::setprecision(2) << record.percent;
    std::string stages = "[";
    for (const StageRecord& s : record.stages) {
        if (stages.size() > 1)
            stages += ", ";
        stages += JsonMessage()
                      .add("stageSize", s.stageSize)
                      .add("updateDownloaded", s.updateDownloaded)
                      .add("updateSize", s.updateSize)
                      .text();
    }
    stages += "]";
    return JsonMessage()
        .add("name", "progress")
        .add("percent", percent.str())
        .add("stage", record.stage)
        .add("proc_vol", record.done)
        .add("totl_vol", record.total)
        .add("ci_proc_vol", record.itemDone)
        .add("ci_tot_vol", record.itemTotal)
        .add("speed", record.speed)
        .add("eta", record.eta)
        .add("type", record.name)
        .add("item", record.item)
        .addRaw("stages", stages)
        .text();
}

std::string errorMessage(const std::string& type, const std::string& desc, int code) {
    return JsonMessage().add("name", "error").add("type", type).add("desc", desc).add("code", code).text();
}

std::string errorMessage(const std::string& desc, int code) {
    return JsonMessage().add("name", "error").add("desc", desc).add("code", code).text();
}

std::string exitMessage(int code) { return JsonMessage().add("name", "exit").add("code", code).text(); }

std::string setupMessage(const std::string& directory, const std::string& exe, const std::string& lfName) {
    return JsonMessage()
        .add("name", "setup")
        .add("directory", directory)
        .add("exe", exe)
        .add("lf_name", lfName)
        .text();
}

} // namespace Patcher
