#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace Patcher {

// The kinds of "distribution" record, by their names in the file.
enum class DistrType { Full = 0, Partial = 1, Env = 2 };

// "full", "partial", "env" (exact case); anything else throws InternalError (3)
// "Unknown distribution type name: " + name.
DistrType nameToType(const std::string& name);
std::string typeToName(DistrType type);

struct Distr {
    std::string version;
    DistrType type = DistrType::Full;
    std::string env;
    std::string files; // location of the control files and the file tree
    std::string controlHash;
    std::string deletedControlHash;
    std::string commandHash; // empty: no commands file
    std::string adapterHash; // empty: no stage adapter
    std::int64_t compressedSize = 0;
    std::int64_t size = 0;
    std::int64_t compressedSizeTotal = 0;
    std::int64_t sizeTotal = 0;
    std::vector<std::int64_t> compressedStages; // stage 1 first
};

struct Delta {
    std::string version; // the installed version the delta starts from
    std::string files;
    std::int64_t compressedSize = 0;
    std::string controlHash;
};

struct PatcherInfo {
    std::string version;
    std::string dateCreated;
    std::string dateModified;
    std::int64_t runningTimeSec = 0;
};

using DistrPtr = std::shared_ptr<Distr>;
using DeltaPtr = std::shared_ptr<Delta>;

// The parsed "version-info.txt": distributions and deltas in file order and the
// optional record of the tool that wrote it.
class VersionInfo {
public:
    // Thousands of records fit in far less: a larger file is refused.
    static constexpr std::int64_t kMaxFileSize = std::int64_t(4) << 20;

    // Replaces the content with the file's. Every failure is InternalError (3):
    // format errors with their own messages, file and number errors as
    // "Problem while loading file: " + path + ", Extended info: " + message.
    void load(const std::string& path);
    // The same from a stream; file and number errors are not wrapped.
    void parse(std::istream& in);

    // The canonical layout (CR LF, four-space indent, fixed key order).
    void save(const std::string& path) const;
    void write(std::ostream& out) const;

    // Every files location resolved against base (the distribution's root).
    void rebaseFiles(const std::string& base);

    // The current distribution: the last one, or the one before a trailing
    // "env" record when there are more. Null when there is none.
    DistrPtr latestDistr() const;
    std::string latestVersion() const;
    bool isLastEnv() const;
    // First record with exactly this version, or null.
    DistrPtr findDistr(const std::string& version) const;
    DeltaPtr findDelta(const std::string& version) const;

    const std::vector<DistrPtr>& distrs() const { return distrs_; }
    const std::vector<DeltaPtr>& deltas() const { return deltas_; }
    const PatcherInfo& patcher() const { return patcher_; }

    void addDistr(DistrPtr distr) { distrs_.push_back(std::move(distr)); }
    void addDelta(DeltaPtr delta) { deltas_.push_back(std::move(delta)); }
    void setPatcher(const PatcherInfo& info) { patcher_ = info; }
    void clear();

private:
    std::vector<DistrPtr> distrs_;
    std::vector<DeltaPtr> deltas_;
    PatcherInfo patcher_;
};

} // namespace Patcher
