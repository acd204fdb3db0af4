#include "distr/ControlFile.h"

#include "base/Errors.h"
#include "base/Singleton.h"
#include "distr/FileOps.h"
#include "distr/LineReader.h"
#include "distr/Numbers.h"
#include "base/RootStorage.h"
#include "platform/LargeMemory.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <new>
#include <mutex>
#include <ostream>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

namespace Patcher {
namespace {

constexpr int kMaxFields = 9;
constexpr int kMaxStage = 65535;

// The entries of one load live in large blocks owned together: each pointer
// to one shares the store's count, so an entry costs no heap block and no
// count of its own. The store lives as long as any of its entries.
class EntryStore {
public:
    EntryStore() = default;
    EntryStore(const EntryStore&) = delete;
    EntryStore& operator=(const EntryStore&) = delete;
    ~EntryStore() {
        for (std::size_t b = 0; b < blocks_.size(); ++b) {
            const std::size_t count = b + 1 == blocks_.size() ? used_ : perBlock();
            for (std::size_t i = 0; i < count; ++i)
                blocks_[b][i].~ControlEntry();
            platform::releaseLarge(blocks_[b], platform::largePageSize());
        }
    }
    ControlEntry* make() {
        if (blocks_.empty() || used_ == perBlock()) {
            blocks_.reserve(blocks_.size() + 1);
            blocks_.push_back(static_cast<ControlEntry*>(platform::allocateLarge(platform::largePageSize())));
            used_ = 0;
        }
        return new (blocks_.back() + used_++) ControlEntry();
    }

private:
    static std::size_t perBlock() { return platform::largePageSize() / sizeof(ControlEntry); }
    std::vector<ControlEntry*> blocks_;
    std::size_t used_ = 0; // of the last block
};

thread_local std::shared_ptr<EntryStore> tLoadStore; // set while a file loads on this thread

inline bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

struct Field {
    const char* begin;
    const char* end;
    bool empty() const { return begin == end; }
    std::string text() const { return std::string(begin, end); }
    std::string_view view() const { return std::string_view(begin, static_cast<std::size_t>(end - begin)); }
};

Field trim(const char* begin, const char* end) {
    while (begin < end && isBlank(*begin))
        ++begin;
    while (end > begin && isBlank(end[-1]))
        --end;
    return {begin, end};
}

std::int64_t nonNegative(const Field& field, const char* what) {
    const std::int64_t value = parseDecimal(field.begin, field.end);
    if (value < 0)
        throw InvalidDistr(std::string("Invalid ") + what + " value: " + field.text(), kInvalidDistrCode);
    return value;
}

// The names of packages, for the process: entries point into it.
struct PackageNames {
    std::mutex mutex;
    std::unordered_set<std::string> names;
};

PackageNames& packageNames() {
    static PackageNames* names = new PackageNames; // entries in static objects outlive any destruction order
    return *names;
}

const std::string* internPackage(std::string_view text) {
    static const std::string* const empty = &*packageNames().names.emplace().first;
    if (text.empty())
        return empty;
    // Lines of one package follow each other: most names are the last one.
    thread_local const std::string* last = nullptr;
    if (last && std::string_view(*last) == text)
        return last;
    PackageNames& names = packageNames();
    std::lock_guard<std::mutex> lock(names.mutex);
    last = &*names.names.emplace(text).first;
    return last;
}

} // namespace

PackageName::PackageName() : text_(internPackage({})) {}

PackageName::PackageName(std::string_view text) : text_(internPackage(text)) {}

std::ostream& operator<<(std::ostream& out, const PackageName& name) {
    return out << name.text();
}

namespace {

// The second hashes of the entries that have one, for the process.
struct Names {
    std::mutex mutex;
    std::unordered_map<const ControlEntry*, Digest> byEntry;
};

Names& names() {
    static Names* table = new Names; // entries in static objects outlive any destruction order
    return *table;
}

} // namespace

static_assert(sizeof(ControlEntry) <= 64, "a million entries are held: keep the record compact");

ControlEntry::ControlEntry(const ControlEntry& other)
    : offset(other.offset),
      storedSize(other.storedSize),
      size(other.size),
      package(other.package),
      path(other.path),
      packageRoot(other.packageRoot),
      sha1(other.sha1),
      status(other.status),
      named_(false),
      stage(other.stage) {
    if (other.named_)
        setName(other.name());
}

ControlEntry& ControlEntry::operator=(const ControlEntry& other) {
    if (this == &other)
        return *this;
    offset = other.offset;
    storedSize = other.storedSize;
    size = other.size;
    package = other.package;
    path = other.path;
    packageRoot = other.packageRoot;
    sha1 = other.sha1;
    status = other.status;
    stage = other.stage;
    setName(other.name());
    return *this;
}

ControlEntry::~ControlEntry() {
    if (named_)
        setName(Digest());
}

const Digest& ControlEntry::name() const {
    static const Digest none{};
    if (!named_)
        return none;
    Names& table = names();
    std::lock_guard<std::mutex> lock(table.mutex);
    return table.byEntry.at(this); // a node never moves
}

void ControlEntry::setName(const Digest& name) {
    if (!named_ && name.empty())
        return;
    Names& table = names();
    std::lock_guard<std::mutex> lock(table.mutex);
    if (name.empty()) {
        table.byEntry.erase(this);
        named_ = false;
    } else {
        table.byEntry[this] = name;
        named_ = true;
    }
}

void ControlEntry::setPath(std::string_view text) {
    path = Singleton<RootStorage>::instance().index(text);
}

std::string ControlEntry::pathText() const {
    return Singleton<RootStorage>::instance().text(path);
}

std::string ControlEntry::packageKey() const {
    return "{" + std::to_string(packageRoot) + "}" + package;
}

bool isContainedPath(std::string_view path) {
    if (path.empty() || path[0] == '/' || path[0] == '\\')
        return false;
    if (path.size() >= 2 && path[1] == ':')
        return false; // a drive
    int depth = 0;
    const char* p = path.data();
    const char* const end = p + path.size();
    while (p <= end) {
        const char* stop = p;
        while (stop < end && *stop != '/' && *stop != '\\')
            ++stop;
        const std::size_t length = static_cast<std::size_t>(stop - p);
        if (length == 2 && p[0] == '.' && p[1] == '.') {
            if (--depth < 0)
                return false;
        } else if (length > 0 && !(length == 1 && p[0] == '.')) {
            ++depth;
        }
        p = stop + 1;
    }
    return depth > 0; // "." or "a/.." would name the destination itself
}

ControlEntryPtr ControlFile::parseLine(const char* begin, const char* end) {
    Field fields[kMaxFields];
    int count = 0;
    const char* p = begin;
    for (;;) {
        const char* bar = p;
        while (bar < end && *bar != '|')
            ++bar;
        if (count < kMaxFields)
            fields[count] = trim(p, bar);
        ++count;
        if (bar == end)
            break;
        p = bar + 1;
    }
    if (count == 1 && fields[0].empty())
        return nullptr;
    auto missing = [&](int needed) {
        if (count < needed)
            throw Poco::SyntaxException("Missing fields in control file line", std::string(begin, end));
    };
    missing(3);

    auto entry = tLoadStore ? ControlEntryPtr(tLoadStore, tLoadStore->make()) : std::make_shared<ControlEntry>();
    const std::int64_t status = parseDecimal(fields[0].begin, fields[0].end);
    if (status > 2 || status < 0)
        throw InvalidDistr("Invalid status value: " + fields[0].text(), kInvalidDistrCode);
    entry->status = static_cast<std::uint8_t>(status);

    const std::string_view path = fields[1].view();
    // Every path is joined to the destination later: one that leaves it would
    // write or delete files anywhere on the machine.
    if (!isContainedPath(path))
        throw InvalidDistr("Unsafe path in control file: " + fields[1].text(), kInvalidDistrCode);
    entry->setPath(path);
    entry->sha1.assign(fields[2].view());
    if (entry->status == 2)
        return entry;

    missing(7);
    entry->setName(Digest(fields[3].view()));
    const std::string_view package = fields[4].view();
    // A whole package is stored, and later deleted, under the temporary
    // directory by its name.
    if (!package.empty() && !isContainedPath(package))
        throw InvalidDistr("Unsafe package name in control file: " + fields[4].text(), kInvalidDistrCode);
    entry->package = PackageName(package);
    entry->offset = nonNegative(fields[5], "offset");
    entry->storedSize = nonNegative(fields[6], "size");
    if (entry->storedSize > INT64_MAX - entry->offset)
        throw InvalidDistr("Invalid size value: " + fields[6].text(), kInvalidDistrCode);
    if (entry->status == 1) {
        missing(8);
        entry->size = nonNegative(fields[7], "size");
    } else {
        entry->size = entry->storedSize;
    }
    if (count > 8 && !fields[8].empty()) {
        const std::int64_t stage = parseDecimal(fields[8].begin, fields[8].end);
        // The engine keeps a counter per stage up to the last one.
        if (stage < 0 || stage > kMaxStage)
            throw InvalidDistr("Invalid stage value: " + fields[8].text(), kInvalidDistrCode);
        entry->stage = static_cast<std::uint16_t>(stage);
    }
    return entry;
}

std::string ControlFile::formatLine(const ControlEntry& e) {
    std::string line = std::to_string(e.status);
    line += '|';
    line += e.pathText();
    line += '|';
    e.sha1.appendTo(line);
    if (e.status == 2)
        return line;
    line += '|';
    if (e.name() != e.sha1)
        e.name().appendTo(line);
    line += '|';
    line += e.package;
    line += '|';
    line += std::to_string(e.offset);
    line += '|';
    line += std::to_string(e.storedSize);
    line += '|';
    if (e.status == 1)
        line += std::to_string(e.size);
    line += '|';
    if (e.stage >= 2)
        line += std::to_string(e.stage);
    return line;
}

ControlFile::Entries::const_iterator& ControlFile::Entries::const_iterator::operator++() {
    if (fromSorted())
        ++sorted_;
    else
        ++pending_;
    return *this;
}

ControlFile::Entries::Entries(const Entries& other) : sorted_(other.sorted_), pending_(other.pending_) {
    if (other.owners_)
        hold(other.owners_);
}

ControlFile::Entries& ControlFile::Entries::operator=(const Entries& other) {
    if (this != &other) {
        Entries copy(other);
        *this = std::move(copy);
    }
    return *this;
}

void ControlFile::Entries::hold(const std::shared_ptr<const void>& owner) {
    // A copy's own list: the file it came from may go on growing its list.
    if (!owners_)
        owners_ = std::make_shared<Held>();
    // Entries of one load come one after another: their store is held once.
    if (!owners_->empty()) {
        const std::shared_ptr<const void>& last = owners_->back();
        if (!last.owner_before(owner) && !owner.owner_before(last))
            return;
    }
    owners_->push_back(owner);
}

ControlEntry** ControlFile::Entries::find(int path) {
    auto it = std::lower_bound(sorted_.begin(), sorted_.end(), path,
                               [](const ControlEntry* e, int key) { return e->path < key; });
    if (it != sorted_.end() && (*it)->path == path)
        return &*it;
    auto pending = pending_.find(path);
    return pending == pending_.end() ? nullptr : &pending->second;
}

void ControlFile::Entries::assign(std::vector<ControlEntry*> entries, std::shared_ptr<const void> owner) {
    // A list whose paths were first seen in its own order is sorted already:
    // the sort's buffer would add half the list again at the load's peak.
    const bool sorted = std::adjacent_find(entries.begin(), entries.end(), [](const ControlEntry* a,
                                                                              const ControlEntry* b) {
                            return a->path >= b->path;
                        }) == entries.end();
    if (!sorted) {
        std::stable_sort(entries.begin(), entries.end(),
                         [](const ControlEntry* a, const ControlEntry* b) { return a->path < b->path; });
        entries.erase(std::unique(entries.begin(), entries.end(),
                                  [](const ControlEntry* a, const ControlEntry* b) { return a->path == b->path; }),
                      entries.end());
    }
    // Shrinking copies the list: worth it only for much spare room.
    if (entries.capacity() - entries.size() > entries.size() / 4)
        entries.shrink_to_fit();
    sorted_ = std::move(entries);
    pending_.clear();
    owners_.reset();
    hold(owner);
}

void ControlFile::Entries::insert(const ControlEntryPtr& entry) {
    hold(entry);
    if (sorted_.empty() || sorted_.back()->path < entry->path) {
        if (pending_.empty()) {
            sorted_.push_back(entry.get());
            return;
        }
    }
    pending_.emplace(entry->path, entry.get());
    // Merged when the map reaches an eighth of the vector: each entry is moved
    // a bounded number of times on average.
    if (pending_.size() < std::max<std::size_t>(4096, sorted_.size() / 8))
        return;
    std::vector<ControlEntry*> merged;
    merged.reserve(sorted_.size() + pending_.size());
    auto p = pending_.begin();
    for (ControlEntry* e : sorted_) {
        for (; p != pending_.end() && p->first < e->path; ++p)
            merged.push_back(p->second);
        merged.push_back(e);
    }
    for (; p != pending_.end(); ++p)
        merged.push_back(p->second);
    sorted_ = std::move(merged);
    pending_.clear();
}

void ControlFile::Entries::clear() {
    std::vector<ControlEntry*>().swap(sorted_);
    pending_.clear();
    owners_.reset();
}

void ControlFile::clear() {
    entries_.clear();
    removals_.clear();
    directory_.clear();
}

void ControlFile::takeLines(const std::function<bool(const char*&, const char*&)>& next) {
    const auto store = std::make_shared<EntryStore>();
    tLoadStore = store;
    struct Reset {
        ~Reset() { tLoadStore.reset(); }
    } reset;
    std::vector<ControlEntry*> entries;
    const char* begin;
    const char* end;
    while (next(begin, end))
        if (ControlEntryPtr entry = parseLine(begin, end)) {
            if (entry->status == 2)
                addRemoval(entry);
            else
                entries.push_back(entry.get()); // the store keeps it
        }
    entries_.assign(std::move(entries), store);
}

void ControlFile::load(const std::string& path) {
    clear();
    const auto slash = path.find_last_of("/\\");
    directory_ = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    LineReader reader(path);
    takeLines([&reader](const char*& begin, const char*& end) { return reader.next(begin, end); });
}

void ControlFile::parse(const std::string& text) {
    clear();
    const char* p = text.data();
    const char* const stop = p + text.size();
    takeLines([&p, stop](const char*& begin, const char*& end) {
        if (p >= stop)
            return false;
        const char* eol = p;
        while (eol < stop && *eol != '\n')
            ++eol;
        begin = p;
        end = eol;
        p = eol < stop ? eol + 1 : stop;
        return true;
    });
}

bool ControlFile::add(const ControlEntryPtr& entry, bool replace) {
    if (ControlEntry** present = entries_.find(entry->path)) {
        if (replace) {
            entries_.hold(entry);
            *present = entry.get();
            return true;
        }
        Poco::Logger::root().warning("File '" + entry->pathText() + "' already exists in ControlFile object");
        return false;
    }
    entries_.insert(entry);
    return true;
}

void ControlFile::addRemoval(const ControlEntryPtr& entry) {
    removals_.emplace(std::make_pair(asciiLower(entry->pathText()), entry->sha1.text()), entry);
}

ControlEntryPtr ControlFile::find(int path) const {
    ControlEntry** found = const_cast<Entries&>(entries_).find(path);
    return found ? entries_.share(*found) : nullptr;
}

ControlEntryPtr ControlFile::find(const std::string& path) const {
    const auto found = Singleton<RootStorage>::instance().find(path);
    return found.second ? find(found.first) : nullptr;
}

void ControlFile::write(std::ostream& out) const {
    for (const auto item : entries_)
        out << formatLine(*item.second) << "\r\n";
    for (const auto& item : removals_)
        out << formatLine(*item.second) << "\r\n";
}

void ControlFile::save(const std::string& path) const {
    std::ostringstream out;
    write(out);
    writeWholeFile(path, out.str());
}

} // namespace Patcher
