#pragma once

#include "distr/Digest.h"

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Patcher {

// A package name. A distribution has few packages and every entry names one:
// each name is held once for the process, and an entry keeps a pointer to it.
class PackageName {
public:
    PackageName();
    explicit PackageName(std::string_view text);
    PackageName(const std::string& text) : PackageName(std::string_view(text)) {} // NOLINT: a name is text
    PackageName(const char* text) : PackageName(std::string_view(text)) {}        // NOLINT
    const std::string& text() const { return *text_; }
    operator const std::string&() const { return *text_; } // NOLINT: callers take the text
    bool empty() const { return text_->empty(); }
    std::size_t size() const { return text_->size(); }
    bool operator==(const PackageName& other) const { return text_ == other.text_; }
    bool operator!=(const PackageName& other) const { return text_ != other.text_; }

private:
    const std::string* text_; // never freed
};

inline bool operator==(const PackageName& a, const std::string& b) { return a.text() == b; }
inline bool operator==(const std::string& a, const PackageName& b) { return b.text() == a; }
inline bool operator!=(const PackageName& a, const std::string& b) { return a.text() != b; }
inline bool operator!=(const std::string& a, const PackageName& b) { return b.text() != a; }
inline bool operator==(const PackageName& a, const char* b) { return a.text() == b; }
inline bool operator==(const char* a, const PackageName& b) { return b.text() == a; }
inline bool operator!=(const PackageName& a, const char* b) { return a.text() != b; }
inline bool operator!=(const char* a, const PackageName& b) { return b.text() != a; }
inline std::string operator+(const std::string& a, const PackageName& b) { return a + b.text(); }
inline std::string operator+(const char* a, const PackageName& b) { return a + b.text(); }
inline std::string operator+(const PackageName& a, const std::string& b) { return a.text() + b; }
inline std::string operator+(const PackageName& a, const char* b) { return a.text() + b; }
std::ostream& operator<<(std::ostream& out, const PackageName& name);

// One line of a control file: a file of the distribution (status 0 stored, 1
// LZMA-compressed) or a removal record (status 2: path and sha1 only). A
// distribution may hold a million of them: the record is kept compact.
struct ControlEntry {
    ControlEntry() : status(0), named_(false) {}
    ControlEntry(const ControlEntry& other);
    ControlEntry& operator=(const ControlEntry& other);
    ~ControlEntry();

    std::int64_t offset = 0;
    std::int64_t storedSize = 0;
    std::int64_t size = 0;
    PackageName package;
    int path = -1; // RootStorage index: paths compare without regard to ASCII case
    int packageRoot = -1; // RootStorage index of the package's location, set by the engine
    Digest sha1;
    std::uint8_t status : 7;

private:
    std::uint8_t named_ : 1; // the name is held apart

public:
    std::uint16_t stage = 1;

    // The second hash; in a delta: SHA-1 of the file the delta applies to. Empty
    // in nearly every entry of a full list, so it is held apart, for the few.
    const Digest& name() const;
    void setName(const Digest& name);

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
    // The file list by path index. A sorted vector holds a million entries in
    // 8 bytes each; entries added out of order wait in a small map that is
    // merged into the vector once it grows, so neither loads nor merges of
    // long lists move the vector for every entry. Iterates in index order.
    // The entries are kept alive by their owners (the stores of the loads they
    // came from), which every pointer handed out shares.
    class Entries {
    public:
        Entries() = default;
        Entries(const Entries& other);
        Entries& operator=(const Entries& other);
        Entries(Entries&&) noexcept = default;
        Entries& operator=(Entries&&) noexcept = default;

        // What keeps the entries alive: the stores of the loads they came from.
        using Held = std::vector<std::shared_ptr<const void>>;
        using value_type = std::pair<int, ControlEntryPtr>;
        class const_iterator {
        public:
            value_type operator*() const {
                ControlEntry* entry = fromSorted() ? *sorted_ : pending_->second;
                return value_type(entry->path, ControlEntryPtr(*owners_, entry));
            }
            struct Arrow {
                value_type item;
                const value_type* operator->() const { return &item; }
            };
            Arrow operator->() const { return Arrow{**this}; }
            const_iterator& operator++();
            bool operator==(const const_iterator& o) const { return sorted_ == o.sorted_ && pending_ == o.pending_; }
            bool operator!=(const const_iterator& o) const { return !(*this == o); }

        private:
            friend class Entries;
            using Sorted = std::vector<ControlEntry*>::const_iterator;
            using Pending = std::map<int, ControlEntry*>::const_iterator;
            const_iterator(Sorted sorted, Sorted sortedEnd, Pending pending, Pending pendingEnd,
                           const std::shared_ptr<Held>* owners)
                : sorted_(sorted), sortedEnd_(sortedEnd), pending_(pending), pendingEnd_(pendingEnd), owners_(owners) {}
            bool fromSorted() const {
                return pending_ == pendingEnd_ || (sorted_ != sortedEnd_ && (*sorted_)->path < pending_->first);
            }
            Sorted sorted_, sortedEnd_;
            Pending pending_, pendingEnd_;
            const std::shared_ptr<Held>* owners_;
        };

        const_iterator begin() const {
            return const_iterator(sorted_.begin(), sorted_.end(), pending_.begin(), pending_.end(), &owners_);
        }
        const_iterator end() const {
            return const_iterator(sorted_.end(), sorted_.end(), pending_.end(), pending_.end(), &owners_);
        }
        std::size_t size() const { return sorted_.size() + pending_.size(); }
        bool empty() const { return size() == 0; }

    private:
        friend class ControlFile;
        ControlEntry** find(int path);
        ControlEntryPtr share(ControlEntry* entry) const { return ControlEntryPtr(owners_, entry); }
        // Entries in any order, all kept alive by owner; the first for a path stays.
        void assign(std::vector<ControlEntry*> entries, std::shared_ptr<const void> owner);
        void insert(const ControlEntryPtr& entry); // path not present
        void hold(const std::shared_ptr<const void>& owner);
        void clear();

        std::vector<ControlEntry*> sorted_;     // by path
        std::map<int, ControlEntry*> pending_; // paths not in sorted_
        std::shared_ptr<Held> owners_;          // shared by every pointer handed out
    };
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
    // Parses the lines next gives into the file, the entries in one store.
    void takeLines(const std::function<bool(const char*&, const char*&)>& next);

    Entries entries_;
    Removals removals_;
    std::string directory_;
};

// A path that names something below the directory it is relative to: not
// absolute, no drive, no ".." that climbs above its start, not the start itself.
bool isContainedPath(std::string_view path);

} // namespace Patcher
