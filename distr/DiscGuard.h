#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace Patcher {

// One mutex per drive letter (256 slots, each made on first use) serialising disk
// access per drive. Letter 0 means no drive and is never locked. One
// process-wide instance (Singleton<DiscGuard>).
class DiscGuard {
public:
    DiscGuard() = default;
    ~DiscGuard();
    DiscGuard(const DiscGuard&) = delete;
    DiscGuard& operator=(const DiscGuard&) = delete;

    void lock(unsigned char drive);
    void unlock(unsigned char drive);

private:
    std::mutex& slot(unsigned char drive);

    std::mutex guard_;                            // serialises slot creation
    std::array<std::atomic<std::mutex*>, 256> slots_{}; // written once under guard_
};

// Observer of the disk activity of a copy, hash or compression run. The run
// calls start once, then per block a begin/end pair around the disk access and
// read or write with the block.
class HDDEventObserver {
public:
    virtual ~HDDEventObserver();
    virtual void beginRead(unsigned char drive);
    virtual void endRead(unsigned char drive);
    virtual void beginWrite(unsigned char drive);
    virtual void endWrite(unsigned char drive);
    virtual void read(int operation, std::int64_t count, const char* data) = 0;
    virtual void write(int operation, std::int64_t count, const char* data) = 0;
    virtual void start(const std::string& source, const std::string& target, int operation) = 0;
};

// Remembers the operation of its run; a start for another operation throws
// std::logic_error "Multiple event registration with different ids.".
class HDDObserver : public HDDEventObserver {
public:
    void read(int operation, std::int64_t count, const char* data) override;
    void write(int operation, std::int64_t count, const char* data) override;
    void start(const std::string& source, const std::string& target, int operation) override;
    int operation() const { return operation_; }

private:
    int operation_ = 0; // 0 until started; operation numbers start at 1
};

// Serialises the run's disk access per drive through Singleton<DiscGuard>.
class HDDLockingObserver : public HDDObserver {
public:
    void beginRead(unsigned char drive) override;
    void endRead(unsigned char drive) override;
    void beginWrite(unsigned char drive) override;
    void endWrite(unsigned char drive) override;
};

// A new operation number from the process-wide counter (1, 2, ...).
int nextOperationNumber();

// Time spent in the bracketed disk reads and writes of all copy, hash and
// compression runs of the process, for the disk-activity statistics.
struct DiskTimes {
    std::int64_t readNs;
    std::int64_t writeNs;
};
DiskTimes diskTimes();
void addDiskTime(bool writing, std::int64_t ns);

// The disk side of one run: the observer (may be null) with the drives of the
// source and target, bracketing every block. Used by the copy, hash and
// compression code.
class DiskActivity {
public:
    // Takes an operation number and tells the observer the run starts.
    DiskActivity(HDDEventObserver* observer, const std::string& source, const std::string& target);

    // read/write: the call is bracketed on the source/target drive; the observer
    // then learns of the block. They return what the call returns.
    template <class F>
    auto read(F&& call) {
        Bracket bracket(observer_, sourceDrive_, false);
        return call();
    }
    template <class F>
    auto write(F&& call) {
        Bracket bracket(observer_, targetDrive_, true);
        return call();
    }
    void readDone(std::int64_t count, const char* data) {
        if (observer_ && count > 0)
            observer_->read(operation_, count, data);
    }
    void writeDone(std::int64_t count, const char* data) {
        if (observer_ && count > 0)
            observer_->write(operation_, count, data);
    }

    int operation() const { return operation_; }
    unsigned char sourceDrive() const { return sourceDrive_; }
    unsigned char targetDrive() const { return targetDrive_; }

private:
    class Bracket {
    public:
        Bracket(HDDEventObserver* observer, unsigned char drive, bool writing)
            : observer_(observer), drive_(drive), writing_(writing) {
            if (observer_)
                writing_ ? observer_->beginWrite(drive_) : observer_->beginRead(drive_);
            started_ = std::chrono::steady_clock::now();
        }
        ~Bracket() {
            addDiskTime(writing_, std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      std::chrono::steady_clock::now() - started_)
                                      .count());
            if (observer_)
                writing_ ? observer_->endWrite(drive_) : observer_->endRead(drive_);
        }
        Bracket(const Bracket&) = delete;
        Bracket& operator=(const Bracket&) = delete;

    private:
        HDDEventObserver* observer_;
        unsigned char drive_;
        bool writing_;
        std::chrono::steady_clock::time_point started_;
    };

    HDDEventObserver* observer_;
    unsigned char sourceDrive_;
    unsigned char targetDrive_;
    int operation_;
};

} // namespace Patcher
