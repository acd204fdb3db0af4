#include "base/TaskWeights.h"

#include "base/Errors.h"
#include "base/Singleton.h"

#include <Poco/File.h>
#include <Poco/FileStream.h>
#include <Poco/Logger.h>

#include <cmath>
#include <iomanip>

namespace Patcher {
namespace {

const double kDefaultWeights[kTaskTypeCount] = {1.5, 32.0, 2.2, 9.3, 11.5, 1.2, 0.2, 1.5};

// A weight is a divisor of speeds: only a positive finite number means anything.
bool usableWeight(double w) { return std::isfinite(w) && w > 0.0; }

} // namespace

TaskWeights::TaskWeights() { setDefaults(); }

TaskWeights::~TaskWeights() {
    try {
        save();
    } catch (const Poco::Exception& e) {
        Poco::Logger::root().warning("Exception at ~TaskWeights: " + e.displayText());
    } catch (...) {
    }
}

TaskWeights& TaskWeights::instance() { return Singleton<TaskWeights>::instance(); }

void TaskWeights::setDefaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < kTaskTypeCount; ++i)
        setLocked(static_cast<TaskType>(i), WeightValue{kDefaultWeights[i], true});
}

void TaskWeights::set(TaskType type, WeightValue value) {
    std::lock_guard<std::mutex> lock(mutex_);
    setLocked(type, value);
}

void TaskWeights::setLocked(TaskType type, WeightValue value) {
    auto it = weights_.find(type);
    if (it == weights_.end()) {
        weights_.emplace(type, value);
        totalWeight_ += value.weight;
        return;
    }
    if (value.isDefault)
        throw InternalError("Existing default value change attempt.", kInternalErrorCode);
    double ratio = value.weight / it->second.weight;
    totalWeight_ = 0.0;
    for (auto& entry : weights_) {
        if (entry.second.isDefault)
            entry.second.weight *= ratio;
        totalWeight_ += entry.second.weight;
    }
    totalWeight_ -= it->second.weight;
    it->second = WeightValue{value.weight, false};
    totalWeight_ += it->second.weight;
}

double TaskWeights::weight(TaskType type) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = weights_.find(type);
    if (it == weights_.end())
        throw InternalError("Unknown task type.", kInternalErrorCode);
    return it->second.weight;
}

double TaskWeights::totalWeight() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return totalWeight_;
}

void TaskWeights::load(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    weightsFile_ = path;
    try {
        if (!Poco::File(path).exists())
            return;
        Poco::FileInputStream in(path);
        std::string name;
        double weight = 0.0;
        while (in >> name >> weight) {
            if (name.empty())
                continue;
            // A zero, negative or infinite weight would rescale every default
            // weight into nonsense: treat it as the end of the usable content.
            if (!usableWeight(weight))
                break;
            setLocked(taskTypeFromName(name), WeightValue{weight, false});
        }
    } catch (const Poco::Exception& e) {
        Poco::Logger::root().error("std::exception: " + e.displayText());
    } catch (const std::exception& e) {
        Poco::Logger::root().error(std::string("std::exception: ") + e.what());
    }
}

void TaskWeights::learn(const Task& task) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!task.observer())
        return;
    if (task.elapsedMs() >= 0 && task.elapsedMs() > 5000) {
        double weight = 100000.0 / task.speed();
        // A task that counted nothing measured no speed; it has nothing to teach.
        if (usableWeight(weight))
            setLocked(task.type(), WeightValue{weight, false});
    }
}

void TaskWeights::save() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (weightsFile_.empty())
        return;
    Poco::FileOutputStream out(weightsFile_, std::ios::out | std::ios::trunc);
    for (const auto& entry : weights_) {
        if (entry.second.isDefault || std::isinf(entry.second.weight))
            continue;
        out << std::setw(10) << taskTypeName(entry.first) << ' ' << std::fixed << std::setprecision(5)
            << entry.second.weight << "\r\n";
    }
    out.close();
}

} // namespace Patcher
