#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace Patcher {

// One line of a control file: a file of the distribution (status 0 stored, 1
// LZMA-compressed) or a removal record (status 2: path and sha1 only).
struct ControlEntry {
    int status = 0;
    int path = -1; // RootStorage index: paths compare without regard to ASCII case
    std::string sha1;
    std::string name; // second hash; in a delta: SHA-1 of the file the delta applies to
    std::string package;
    std::int64_t offset = 0;
    std::int64_t storedSize = 0;
    std::int64_t size = 0;
    int stage = 1;
    int packageRoot = -1; // RootStorage index of the package's location, set by the engine

    // Interns the text through Singleton<RootStorage>.
    void setPath(std::string_view text);
    // The path as first interned.
    std::string pathText() const;
    // "{" + packageRoot + "}" + package.
    std::string packageKey() const;
};

using ControlEntryPtr = std::shared_ptr<ControlEntry>;

// The file list of a distribution or delta ("control.txt") and the removal list
// ("delete.txt"). Needs Singleton<RootStorage>.
class ControlFile {
public:
    using Entries = std::map<int, ControlEntryPtr>;
    // Ordered by case-folded path, then sha1.
    using Removals = std::map<std::pair<std::string, std::string>, ControlEntryPtr>;

    // Replaces the content with the file's. Throws InvalidDistr (5) for a status
    // above 2 ("Invalid status value: "), for a path that is absolute or does
    // not name something below the destination ("Unsafe path in control file: ")
    // and for such a package name ("Unsafe package name in control file: "); a
    // malformed number or a missing field throws Poco::SyntaxException.
    // A later line for a path already present is dropped.
    void load(const std::string& path);
    // The same from text in memory (no directory recorded).
    void parse(const std::string& text);

    // One line (without its line end); null for a blank line. Throws as load.
    static ControlEntryPtr parseLine(const char* begin, const char* end);
    static ControlEntryPtr parseLine(const std::string& line) {
        return parseLine(line.data(), line.data() + line.size());
    }
    // The canonical line, without its CR LF.
    static std::string formatLine(const ControlEntry& entry);

    // Inserts into the file list. With replace the entry takes the place of one
    // with the same path; without, the existing one stays, a warning is logged
    // and false is returned.
    bool add(const ControlEntryPtr& entry, bool replace);
    // Inserts a status-2 record; duplicates are dropped.
    void addRemoval(const ControlEntryPtr& entry);

    ControlEntryPtr find(int path) const;
    ControlEntryPtr find(const std::string& path) const;
    const Entries& entries() const { return entries_; }
    const Removals& removals() const { return removals_; }
    std::size_t count() const { return entries_.size(); }
    // Directory of the loaded file, with its trailing separator.
    const std::string& directory() const { return directory_; }
    void clear();

    // Canonical layout: the file list, then the removal records, CR LF.
    void write(std::ostream& out) const;
    void save(const std::string& path) const;

private:
    void insertParsed(const ControlEntryPtr& entry);

    Entries entries_;
    Removals removals_;
    std::string directory_;
};

// A path that names something below the directory it is relative to: not
// absolute, no drive, no ".." that climbs above its start, not the start itself.
bool isContainedPath(std::string_view path);

} // namespace Patcher
