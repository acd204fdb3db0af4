#include "ravel/FileActiveCache.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/Timestamp.h>

#include <chrono>
#include <stdexcept>

namespace ravel {

namespace {

Poco::Logger& logger() { return Poco::Logger::get("ravel.FileActiveCache"); }

std::int64_t systemSeconds() { return Poco::Timestamp().epochTime(); }

} // namespace

FileActiveCache::FileActiveCache(std::int64_t capacity, Clock clock)
    : capacity_(capacity),
      clock_(clock ? std::move(clock) : Clock(systemSeconds)),
      free_(capacity),
      lastActivity_(clock_()),
      thread_([this] { run(); }) {}

FileActiveCache::~FileActiveCache() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    drained_.notify_all();
    thread_.join();
}

void FileActiveCache::registerObserver(ActiveCacheObserver* observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (observers_.count(observer))
        throw std::logic_error("Observer is already registered");
    observers_.emplace(observer, Entry());
}

void FileActiveCache::unregisterObserver(ActiveCacheObserver* observer) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = observers_.find(observer);
    if (it == observers_.end())
        throw std::logic_error("Observer is not registered");
    drained_.wait(lock, [&] { return it->second.pending == 0; });
    if (it->second.failed)
        --failedCount_;
    observers_.erase(it);
}

void FileActiveCache::put(ActiveCacheObserver* observer, const char* data, std::int64_t count, std::int64_t position) {
    std::unique_ptr<FileChunk> chunk;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        drained_.wait(lock, [&] { return free_ >= 0 || stopping_; });
        // Dropping the block silently would let the caller count it as stored.
        if (stopping_)
            throw Poco::IllegalStateException("The write cache is shutting down");
        auto it = observers_.find(observer);
        if (it == observers_.end())
            throw std::logic_error("Observer is missing");
        if (it->second.failed)
            throw Poco::Exception(it->second.error);
        if (count <= 0)
            return;
        // The most recently emptied chunk: still in the CPU cache, and a writer
        // that keeps up touches no more memory than its queue needs.
        if (!spare_.empty()) {
            chunk = std::move(spare_.back());
            spare_.pop_back();
        } else {
            chunk = std::make_unique<FileChunk>();
        }
        // Reserved before the copy so that the bound holds while copying.
        free_ -= count;
        it->second.pending += count;
    }
    try {
        chunk->observer = observer;
        chunk->position = position;
        chunk->bytes.assign(data, data + count); // outside the lock: other segments keep going
    } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        free_ += count;
        observers_[observer].pending -= count;
        drained_.notify_all();
        throw;
    }
    bool wasEmpty;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wasEmpty = queue_.empty();
        queue_.push_back(std::move(chunk));
    }
    if (wasEmpty)
        wake_.notify_one();
}

void FileActiveCache::run() {
    logger().information("FileActiveCache thread running");
    // No translator for hardware faults on mapped views: every destination is
    // fully allocated when opened, so a store into its pages cannot hit a full disk.
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (queue_.empty()) {
            const std::int64_t now = clock_();
            if (now - lastActivity_ > kSpareIdleSeconds) {
                spare_.clear();
                lastActivity_ = now;
            }
            if (stopping_) {
                lock.unlock();
                logger().information("FileActiveCache thread stopped.");
                return;
            }
            wake_.wait_for(lock, std::chrono::milliseconds(1000));
            continue;
        }
        std::unique_ptr<FileChunk> chunk = std::move(queue_.front());
        queue_.pop_front();
        lastActivity_ = clock_();
        const bool drop = failedCount_ > 0 && observers_[chunk->observer].failed;
        lock.unlock();
        std::string error;
        if (!drop)
            flush(chunk, error);
        lock.lock();
        Entry& entry = observers_[chunk->observer];
        if (!error.empty() && !entry.failed) {
            entry.failed = true;
            entry.error = error;
            ++failedCount_;
        }
        const auto count = static_cast<std::int64_t>(chunk->bytes.size());
        entry.pending -= count;
        free_ += count;
        chunk->observer = nullptr;
        spare_.push_back(std::move(chunk));
        drained_.notify_all();
    }
}

void FileActiveCache::flush(std::unique_ptr<FileChunk>& chunk, std::string& error) {
    try {
        chunk->observer->onFlush(*chunk);
        return;
    } catch (const Poco::Exception& e) {
        error = e.displayText() + ", code: " + std::to_string(e.code());
    } catch (const std::exception& e) {
        error = std::string("std::exception: ") + e.what();
    } catch (...) {
        error = "unknown exception inside thread FileActiveCache";
    }
    logger().error(error);
}

std::int64_t FileActiveCache::freeBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return free_;
}

std::size_t FileActiveCache::spareCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return spare_.size();
}

} // namespace ravel
