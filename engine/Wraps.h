#pragma once

#include "distr/ControlFile.h"
#include "distr/FileCache.h"
#include "distr/LocalFile.h"
#include "engine/UpdateParallelizer.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Patcher {

class DistrManager;
class PackContent;

// What the three kinds of work share: the downloaded piece and the item's
// working name in the temporary folder.
class CommonWrap : public Wrap {
public:
    CommonWrap(DistrManager& engine, const ControlEntry& entry);
    // A range request: several run at once. A local copy gains nothing from it.
    bool downloadsAlongside() const override { return remote_; }

protected:
    // Fetches the entry's range of its package (from the location its
    // packageRoot names) into workPath + ".down".
    void fetchPiece(const ControlEntry& entry);

    LocalFilePtr piece_;
    std::string workPath_;
    std::string pathText_;
    DistrManager& engine_;
    const bool remote_;
};

// A missing or out-dated file of the distribution, fetched alone.
// Entries whose piece did not survive the check, to be fetched once more.
struct EntryRefetch {
    std::mutex mutex;
    std::vector<ControlEntryPtr> entries; // guarded by mutex
};

class EntryWrap : public CommonWrap {
public:
    // With refetch, a damaged piece is dropped and its entry queued there
    // rather than failing the run: a piece resumed from an earlier run may hold
    // bytes its record claims but the disk never kept.
    EntryWrap(DistrManager& engine, ControlEntryPtr entry, std::shared_ptr<EntryRefetch> refetch = nullptr);
    bool isNeeded() override;
    void download() override;
    void handle() override;
    std::int64_t aheadBytes() const override { return entry_->storedSize; }

private:
    ControlEntryPtr entry_;
    std::shared_ptr<EntryRefetch> refetch_;
};

// An installed file restored to its new content by a binary delta. A delta that
// fails leaves the file to be fetched alone later in the same stage.
class DeltaEntryWrap : public CommonWrap {
public:
    DeltaEntryWrap(DistrManager& engine, ControlEntryPtr delta);
    bool isNeeded() override;
    void download() override;
    void handle() override;
    std::int64_t aheadBytes() const override { return delta_->storedSize; }

private:
    ControlEntryPtr delta_;
    std::optional<CacheEntry> record_;
};

// A package downloaded whole, then every missing file extracted from it.
class PackContentWrap : public Wrap {
public:
    PackContentWrap(DistrManager& engine, std::shared_ptr<PackContent> pack);
    bool isNeeded() override { return true; }
    void download() override;
    void handle() override;
    std::int64_t aheadBytes() const override;

private:
    DistrManager& engine_;
    std::shared_ptr<PackContent> pack_;
};

// SHA-1 of a text as 40 lowercase hex digits.
std::string sha1OfText(const std::string& text);

} // namespace Patcher
