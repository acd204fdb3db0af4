#include "distr/DiscGuard.h"

#include "base/Singleton.h"
#include "distr/FileOps.h"

#include <stdexcept>

namespace Patcher {

DiscGuard::~DiscGuard() {
    for (auto& slot : slots_)
        delete slot.load();
}

std::mutex& DiscGuard::slot(unsigned char drive) {
    std::mutex* mutex = slots_[drive].load(std::memory_order_acquire);
    if (!mutex) {
        std::lock_guard<std::mutex> lock(guard_);
        mutex = slots_[drive].load(std::memory_order_relaxed);
        if (!mutex) {
            mutex = new std::mutex;
            slots_[drive].store(mutex, std::memory_order_release);
        }
    }
    return *mutex;
}

void DiscGuard::lock(unsigned char drive) {
    if (drive)
        slot(drive).lock();
}

void DiscGuard::unlock(unsigned char drive) {
    if (drive)
        slot(drive).unlock();
}

HDDEventObserver::~HDDEventObserver() = default;
void HDDEventObserver::beginRead(unsigned char) {}
void HDDEventObserver::endRead(unsigned char) {}
void HDDEventObserver::beginWrite(unsigned char) {}
void HDDEventObserver::endWrite(unsigned char) {}

void HDDObserver::read(int, std::int64_t, const char*) {}
void HDDObserver::write(int, std::int64_t, const char*) {}

void HDDObserver::start(const std::string&, const std::string&, int operation) {
    if (operation_ != 0 && operation_ != operation)
        throw std::logic_error("Multiple event registration with different ids.");
    operation_ = operation;
}

void HDDLockingObserver::beginRead(unsigned char drive) {
    Singleton<DiscGuard>::instance().lock(drive);
}

void HDDLockingObserver::endRead(unsigned char drive) {
    Singleton<DiscGuard>::instance().unlock(drive);
}

void HDDLockingObserver::beginWrite(unsigned char drive) {
    Singleton<DiscGuard>::instance().lock(drive);
}

void HDDLockingObserver::endWrite(unsigned char drive) {
    Singleton<DiscGuard>::instance().unlock(drive);
}

namespace {
std::atomic<std::int64_t> gReadNs{0};
std::atomic<std::int64_t> gWriteNs{0};
} // namespace

DiskTimes diskTimes() {
    return {gReadNs.load(), gWriteNs.load()};
}

void addDiskTime(bool writing, std::int64_t ns) {
    (writing ? gWriteNs : gReadNs).fetch_add(ns, std::memory_order_relaxed);
}

int nextOperationNumber() {
    static std::atomic<int> counter{0};
    return ++counter;
}

DiskActivity::DiskActivity(HDDEventObserver* observer, const std::string& source, const std::string& target)
    : observer_(observer),
      sourceDrive_(observer ? getDriveLetter(source) : 0),
      targetDrive_(observer ? getDriveLetter(target) : 0),
      operation_(nextOperationNumber()) {
    if (observer_)
        observer_->start(source, target, operation_);
}

} // namespace Patcher
