#include "ravel/Metadata.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/FileStream.h>
#include <Poco/Timestamp.h>

#include <algorithm>
#include <iostream>

namespace ravel {

namespace {

std::int64_t systemSeconds() { return Poco::Timestamp().epochTime(); }

} // namespace

Metadata::Metadata(const std::string& path, std::int64_t size, bool removeWhenComplete, Clock clock)
    : path_(path),
      metaPath_(path + kSuffix),
      size_(size),
      clock_(clock ? std::move(clock) : Clock(systemSeconds)),
      removeWhenComplete_(removeWhenComplete),
      lastSaved_(clock_()) {
    load();
}

Metadata::~Metadata() {
    try {
        save();
    } catch (const Poco::Exception& e) {
        std::cerr << "ravel::Metadata::~Metadata: " << e.displayText() << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "ravel::Metadata::~Metadata: " << e.what() << std::endl;
    }
}

void Metadata::load() {
    if (!Poco::File(metaPath_).exists())
        return;
    Poco::FileInputStream in(metaPath_);
    std::int64_t count = 0;
    if (!(in >> count) || count <= 0)
        return;
    std::vector<Range> read;
    for (std::int64_t i = 0; i < count; ++i) {
        Range r;
        if (!(in >> r.start >> r.length) || r.start < 0 || r.length < 0)
            return;
        // A range past the expected length belongs to another version of the
        // resource: mixing the two would corrupt the file.
        if (r.length > size_ - r.start)
            return;
        read.push_back(r);
    }
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    // Merged on the way in: overlapping ranges must not add up to a false "complete".
    for (const Range& r : read)
        merge(r.start, r.length);
}

void Metadata::merge(std::int64_t start, std::int64_t length) {
    if (length <= 0)
        return;
    std::int64_t end = start + length;
    for (auto it = ranges_.begin(); it != ranges_.end();) {
        const std::int64_t itEnd = it->start + it->length;
        if (it->start <= end && start <= itEnd) {
            start = std::min(start, it->start);
            end = std::max(end, itEnd);
            it = ranges_.erase(it);
        } else {
            ++it;
        }
    }
    ranges_.push_back(Range{start, end - start});
}

void Metadata::addRange(std::int64_t start, std::int64_t length) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    merge(start, length);
    const std::int64_t now = clock_();
    if (now - lastSaved_ >= kSaveInterval) {
        save();
        lastSaved_ = now;
    }
}

void Metadata::save() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    lastSaved_ = clock_();
    // Nothing stored reads the same as no record. Once complete the ranges are
    // kept, so that a later save cannot bring back an empty record either.
    if (ranges_.empty() || (removeWhenComplete_ && isComplete())) {
        Poco::File record(metaPath_);
        if (record.exists())
            record.remove();
        return;
    }
    // Written aside and renamed over the old record, so that a crash in the
    // middle of a save leaves the previous record whole.
    const std::string temporary = metaPath_ + ".tmp";
    {
        Poco::FileOutputStream out(temporary, std::ios::out | std::ios::trunc);
        out << ranges_.size() << '\n';
        for (const Range& r : ranges_)
            out << r.start << ' ' << r.length << '\n';
        out << '\n';
        out.close();
        if (!out.good())
            throw Poco::FileException("Failed to write download record", temporary);
    }
    Poco::File(temporary).renameTo(metaPath_);
}

void Metadata::keepRecord() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    removeWhenComplete_ = false;
    save();
}

void Metadata::clear() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    ranges_.clear();
}

std::vector<Range> Metadata::ranges() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return ranges_;
}

std::int64_t Metadata::stored() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::int64_t sum = 0;
    for (const Range& r : ranges_)
        sum += r.length;
    return sum;
}

bool Metadata::isComplete() const { return stored() >= size_; }

} // namespace ravel
