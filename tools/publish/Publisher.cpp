#include "tools/publish/Publisher.h"

#include "base/CmdHandler.h"
#include "base/Errors.h"
#include "base/Singleton.h"
#include "distr/ControlFile.h"
#include "distr/FileOps.h"
#include "distr/LocalFile.h"
#include "distr/SevenZip.h"
#include "distr/Signature.h"
#include "distr/VersionInfo.h"
#include "base/RootStorage.h"
#include "platform/FileMode.h"
#include "tools/publish/ContentTree.h"
#include "tools/publish/Packer.h"
#include "tools/publish/Progress.h"
#include "tools/publish/PublicationLayout.h"
#include "tools/publish/StagePatterns.h"
#include "tools/publish/WorkPool.h"
#include "tools/publish/XDelta3.h"

#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/File.h>
#include <Poco/NumberParser.h>
#include <Poco/Path.h>
#include <Poco/Process.h>
#include <Poco/Timestamp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <set>

#ifndef PATCHER_VERSION
#define PATCHER_VERSION "0"
#endif

namespace Patcher {

namespace {

constexpr const char* kControlName = "control.txt";
constexpr const char* kDeleteName = "delete.txt";
constexpr const char* kCommandsName = "cmds.bat";
constexpr const char* kAdapterName = "adapter.exe";
constexpr const char* kPacked = ".7z";
constexpr const char* kSignatureSuffix = ".sig";
constexpr std::int64_t kSmallestDeltaTarget = 64;

const FileOpPolicy& silent() {
    static const FileOpPolicy policy(nullptr);
    return policy;
}

void removeQuietly(const std::string& path) {
    tryDeleteFile(path, &silent());
}

// One delta to compute: from an old content (found in an earlier publication's
// package) to a new file. Shared by every previous version whose file had that
// old content.
struct DeltaWork {
    int id = 0;
    std::string path;          // of the new file
    std::string oldSha1;
    ControlEntryPtr oldEntry;  // where the old content lies
    std::string oldPackage;    // local path of its package
    // Written by the delta job, read after the pool is done:
    bool ok = false;
    std::string data;          // the delta file (VCDIFF)
    std::string dataSha1;
    std::int64_t dataSize = 0;
    StoredForm form;
};
using DeltaWorkPtr = std::shared_ptr<DeltaWork>;

struct NewFile {
    ContentFile content;
    std::vector<DeltaWorkPtr> deltaWork; // one per distinct old content
    // Written by the file's job, read after the pool is done:
    std::string sha1;
    StoredForm form;
    std::string package;
    std::int64_t offset = 0;

    DeltaWorkPtr workFor(const std::string& oldSha1) const {
        for (const auto& w : deltaWork)
            if (w->oldSha1 == oldSha1)
                return w;
        return nullptr;
    }
};

// One distribution of an earlier publication, read through the updater's parsers.
struct PreviousUnit {
    std::string filesDir; // local, with a trailing separator
    ControlFile files;
    ControlFile deleted;
};

struct PreviousPublication {
    std::string version;
    PreviousUnit main;
    std::unique_ptr<PreviousUnit> env; // when it published the same environment
};

// What an earlier publication stored for one content, reused instead of
// compressing that content again.
struct StoredBytes {
    ControlEntryPtr entry;
    std::string package; // local path
};

struct SelectedDelta {
    const NewFile* file;
    DeltaWorkPtr work;
};

// A distribution of the new publication: the main one or the environment.
struct Unit {
    std::string envName;       // empty for the main distribution
    std::string dir;           // staged directory, with a trailing '/'
    std::vector<NewFile> files;
    std::map<std::string, std::size_t> byFolded;
    std::map<std::string, std::vector<SelectedDelta>> selected; // by previous version
    Distr record;
    std::vector<DeltaPtr> deltas;

    const NewFile* find(const std::string& path) const {
        const auto it = byFolded.find(asciiLower(path));
        return it == byFolded.end() ? nullptr : &files[it->second];
    }
};

struct WrittenControl {
    std::string sha1;
    std::int64_t size = 0;       // as text
    std::int64_t packedSize = 0; // the ".7z"
};


std::string absoluteDir(const std::string& path) {
    Poco::Path p(path);
    p.makeDirectory();
    return p.absolute().toString();
}

} // namespace

struct Publisher::State {
    PublishOptions options;
    PublishStats& stats;
    ProgressReporter& reporter;
    StopState* stop;
    Publisher::Clock clock;
    XDelta3 xdelta;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();

    std::string root;    // absolute, trailing '/'
    std::string target;  // root + version + '/'
    std::string staging; // root + ".publish.<pid>.<version>/"
    std::string pub;     // staging + "pub/": becomes target
    std::string workDir; // staging + "work/"

    std::vector<PreviousPublication> previous;
    std::map<std::string, StoredBytes> stored; // by SHA-1, from the previous publications
    std::vector<Unit> units; // main first
    std::string emptyBlob;   // LZMA stream of no bytes
    std::int64_t emptyBlobSize = 0;
    std::atomic<int> nextId{0};
    std::string dateCreated;
    std::unique_ptr<SigningKey> signer; // with --sign-key

    State(PublishOptions o, PublishStats& s, ProgressReporter& r, StopState* st, Publisher::Clock c)
        : options(std::move(o)), stats(s), reporter(r), stop(st), clock(std::move(c)) {}

    std::string nowIso() const {
        return Poco::DateTimeFormatter::format(clock ? clock() : Poco::Timestamp(),
                                               Poco::DateTimeFormat::ISO8601_FORMAT);
    }

    void check() {
        if (stop)
            stop->check();
    }
    std::string workFile(const std::string& stem) { return workDir + stem + "-" + std::to_string(nextId++); }

    PublishSummary run();
    void removeStaleStaging();
    void scan();
    void loadPrevious();
    std::unique_ptr<PreviousUnit> loadPreviousUnit(const std::string& version, const std::string& infoPath,
                                                   const std::string& base, bool env);
    void indexStored();
    void planDeltas();
    const ControlEntry* oldEntryFor(const Unit& unit, const PreviousPublication& p, const std::string& path,
                                    std::string* package) const;
    void packAll();
    void packFile(WorkPool& pool, NewFile& file);
    void makeDelta(const NewFile& file, DeltaWork& work);
    void selectDeltas(PublishSummary& summary);
    void writeUnit(Unit& unit, PublishSummary& summary);
    void writePackages(Unit& unit, PublishSummary& summary);
    std::int64_t writeDelta(Unit& unit, const std::string& from, const std::vector<SelectedDelta>& chosen,
                            std::string& controlHash);
    WrittenControl writeControl(const ControlFile& control, const std::string& dir, const std::string& name);
    WrittenControl publishFile(const std::string& source, const std::string& dir, const std::string& name);
    void writeVersionInfos();
    void verify();
    void verifyEntries(WorkPool& pool, const ControlFile& control, const std::string& dir, const std::string& what);
    void commit();
    void discard();
};

Publisher::Publisher(PublishOptions options, PublishStats& stats, ProgressReporter& reporter, StopState* stop,
                     Clock clock)
    : state_(std::make_unique<State>(std::move(options), stats, reporter, stop, std::move(clock))) {}

Publisher::~Publisher() {
    if (state_)
        state_->discard();
}

PublishSummary Publisher::run() { return state_->run(); }

std::vector<std::size_t> Publisher::packageStarts(const std::vector<std::pair<int, std::int64_t>>& entries,
                                                  std::int64_t limit) {
    std::vector<std::size_t> starts;
    std::int64_t filled = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const bool newStage = i > 0 && entries[i].first != entries[i - 1].first;
        if (i == 0 || newStage || (filled > 0 && filled + entries[i].second > limit)) {
            starts.push_back(i);
            filled = 0;
        }
        filled += entries[i].second;
    }
    return starts;
}

PublishSummary Publisher::State::run() {
    root = absoluteDir(options.out);
    target = root + options.version + "/";
    // Before the checks, which look for published versions that an interrupted
    // run may have moved aside.
    if (Poco::File rootDir(root); rootDir.exists() && rootDir.isDirectory())
        removeStaleStaging();
    validatePublishOptions(options);
    if (!options.signKey.empty()) {
        try {
            signer = std::make_unique<SigningKey>(readWholeFile(options.signKey));
        } catch (const Poco::Exception& e) {
            throw PublishError("cannot use the signing key " + options.signKey + ": " + e.displayText());
        }
    }
    try {
        createFolder(root, &silent());
    } catch (const Poco::Exception& e) {
        throw PublishError("cannot create the output directory " + root + ": " + e.displayText());
    }
    // The updater finds an earlier version by replacing the first occurrence of the
    // new version's string in its source.
    if (root.find(options.version) != std::string::npos)
        reporter.warn("the version string \"" + options.version + "\" also occurs in " + root +
                      ": an updater looks for earlier versions by replacing its first occurrence in the source"
                      " location, so make sure the published URL holds it only once");
    staging = root + ".publish." + std::to_string(Poco::Process::id()) + "." + options.version + "/";
    pub = staging + "pub/";
    workDir = staging + "work/";
    deleteFolder(staging, &silent());
    createFolder(pub, &silent());
    createFolder(workDir, &silent());

    reporter.phase("scanning", 0);
    scan();
    loadPrevious();
    indexStored();
    planDeltas();
    check();

    PublishSummary summary;
    summary.target = target;
    packAll();
    selectDeltas(summary);
    for (auto& unit : units)
        writeUnit(unit, summary);
    writeVersionInfos();
    verify();
    commit();
    reporter.finish();
    return summary;
}

// A run killed outright leaves its staging directory behind; the next run
// removes those whose process is gone.
void Publisher::State::removeStaleStaging() {
    DirListing listing(root, false, [](const DirListing::Entry& e) {
        return e.isDirectory && e.name.rfind(".publish.", 0) == 0;
    });
    for (const auto& entry : listing.entries()) {
        const std::string rest = entry.name.substr(9);
        const auto dot = rest.find('.');
        int pid = 0;
        if (dot == std::string::npos || !Poco::NumberParser::tryParse(rest.substr(0, dot), pid) || pid <= 0)
            continue;
        if (pid != Poco::Process::id() && !Poco::Process::isRunning(pid)) {
            // Killed between the two renames of a forced commit: the publication
            // it moved aside is the only copy of that version.
            Poco::Path dir(entry.path);
            dir.makeDirectory();
            const std::string replaced = Poco::Path(dir, "replaced").toString();
            const std::string version = root + rest.substr(dot + 1);
            if (Poco::File(replaced).exists() && !Poco::File(version).exists()) {
                reporter.warn("restoring " + version + " from " + replaced + ", moved aside by an interrupted run");
                Poco::File(replaced).renameTo(version);
            }
            reporter.warn("removing " + entry.path + ", left behind by an interrupted run");
            tryDeleteFolder(entry.path, &silent());
        }
    }
}

void Publisher::State::scan() {
    StagePatterns stages;
    if (!options.stages.empty())
        stages = StagePatterns::load(options.stages);
    auto makeUnit = [&](const std::string& content, const std::string& envName) {
        Unit unit;
        unit.envName = envName;
        unit.dir = envName.empty() ? pub : pub + envName + "/";
        for (auto& f : scanContent(content)) {
            f.stage = stages.stageOf(f.path);
            // The new paths are interned first, so that a path whose case changed
            // since an earlier version is written as the new content spells it.
            Singleton<RootStorage>::instance().index(f.path);
            unit.files.push_back(NewFile{std::move(f), {}, {}, {}, {}, 0});
        }
        std::stable_sort(unit.files.begin(), unit.files.end(), [](const NewFile& a, const NewFile& b) {
            return a.content.stage < b.content.stage;
        });
        for (std::size_t i = 0; i < unit.files.size(); ++i)
            unit.byFolded.emplace(asciiLower(unit.files[i].content.path), i);
        return unit;
    };
    units.push_back(makeUnit(options.content, ""));
    if (!options.envName.empty()) {
        units.push_back(makeUnit(options.envContent, options.envName));
        createFolder(units.back().dir, &silent());
    }
    for (const auto& rule : stages.unusedRules())
        reporter.warn("stage pattern matches no file: " + rule);
    for (const auto& unit : units) {
        stats.filesTotal += static_cast<int>(unit.files.size());
        for (const auto& f : unit.files)
            stats.bytesTotal += f.content.size;
    }
}

std::unique_ptr<PreviousUnit> Publisher::State::loadPreviousUnit(const std::string& version,
                                                                 const std::string& infoPath,
                                                                 const std::string& base, bool env) {
    const std::string where = "previous version " + version + " (" + infoPath + ")";
    VersionInfo info;
    try {
        info.load(infoPath);
    } catch (const Poco::Exception& e) {
        throw PublishError(where + " cannot be read: " + e.displayText());
    }
    const DistrPtr distr = env ? (info.distrs().empty() ? nullptr : info.distrs().back()) : info.latestDistr();
    if (!distr || distr->version != version || (env != (distr->type == DistrType::Env)))
        throw PublishError(where + " does not describe " + (env ? "an environment of " : "") + "version " + version);
    info.rebaseFiles(base);
    auto unit = std::make_unique<PreviousUnit>();
    unit->filesDir = asDirectoryLocation(distr->files);
    auto loadControl = [&](const std::string& name, const std::string& hash, ControlFile& into) {
        const std::string packed = unit->filesDir + name + kPacked;
        const std::string plain = workFile("previous-" + name);
        try {
            if (Poco::File(packed).getSize() == 0)
                writeWholeFile(plain, "");
            else
                Packer::codec().decompressFile(packed, plain);
        } catch (const std::exception& e) {
            throw PublishError(where + ": cannot decode " + packed + ": " + e.what());
        }
        if (sha1OfFile(plain) != hash)
            throw PublishError(where + ": " + packed + " does not match its hash in the description");
        try {
            into.load(plain);
        } catch (const Poco::Exception& e) {
            throw PublishError(where + ": " + packed + " cannot be read: " + e.displayText());
        }
    };
    loadControl(kControlName, distr->controlHash, unit->files);
    loadControl(kDeleteName, distr->deletedControlHash, unit->deleted);
    return unit;
}

void Publisher::State::loadPrevious() {
    for (const auto& version : options.previous) {
        check();
        PreviousPublication p;
        p.version = version;
        const std::string dir = root + version + "/";
        p.main = std::move(*loadPreviousUnit(version, dir + kVersionInfoName, dir, false));
        if (!options.envName.empty()) {
            const std::string envInfo = dir + options.envName + "/" + kVersionInfoName;
            // The environment record names its files relative to the version's root,
            // as the updater reads it after the redirect.
            if (Poco::File(envInfo).exists())
                p.env = loadPreviousUnit(version, envInfo, dir, true);
        }
        previous.push_back(std::move(p));
    }
    // Keep the creation date of a publication being replaced.
    try {
        if (Poco::File(target + kVersionInfoName).exists()) {
            VersionInfo existing;
            existing.load(target + kVersionInfoName);
            dateCreated = existing.patcher().dateCreated;
        }
    } catch (const Poco::Exception&) {
    }
}

// The old content of a path as a player of version p has it: an environment's
// own file where the environment had one, else the main distribution's.
const ControlEntry* Publisher::State::oldEntryFor(const Unit& unit, const PreviousPublication& p,
                                                 const std::string& path, std::string* package) const {
    auto lookup = [&](const PreviousUnit& u) -> const ControlEntry* {
        const auto entry = u.files.find(path);
        if (entry && package)
            *package = u.filesDir + entry->package;
        return entry.get();
    };
    if (!unit.envName.empty() && p.env) {
        if (const ControlEntry* e = lookup(*p.env))
            return e;
    }
    return lookup(p.main);
}

// Every content the previous publications stored, with the smallest stored form
// when several hold it. A package that does not hold the whole range is no source.
void Publisher::State::indexStored() {
    auto add = [&](const PreviousUnit& unit) {
        std::map<std::string, std::int64_t> packageSizes;
        for (const auto& [key, e] : unit.files.entries()) {
            if (e->status > 1 || e->storedSize <= 0 || e->offset < 0)
                continue;
            const std::string package = unit.filesDir + e->package;
            auto size = packageSizes.find(package);
            if (size == packageSizes.end()) {
                std::int64_t bytes = -1;
                try {
                    if (Poco::File(package).exists())
                        bytes = static_cast<std::int64_t>(Poco::File(package).getSize());
                } catch (const Poco::Exception&) {
                }
                size = packageSizes.emplace(package, bytes).first;
            }
            if (e->offset + e->storedSize > size->second)
                continue;
            auto [it, inserted] = stored.emplace(e->sha1, StoredBytes{e, package});
            if (!inserted && e->storedSize < it->second.entry->storedSize)
                it->second = StoredBytes{e, package};
        }
    };
    for (const auto& p : previous) {
        add(p.main);
        if (p.env)
            add(*p.env);
    }
}

void Publisher::State::planDeltas() {
    for (auto& unit : units) {
        for (auto& file : unit.files) {
            for (const auto& p : previous) {
                std::string package;
                const ControlEntry* old = oldEntryFor(unit, p, file.content.path, &package);
                if (!old || old->status == 2 || file.workFor(old->sha1))
                    continue;
                auto work = std::make_shared<DeltaWork>();
                work->id = nextId++;
                work->path = file.content.path;
                work->oldSha1 = old->sha1;
                work->oldEntry = std::make_shared<ControlEntry>(*old);
                work->oldPackage = package;
                file.deltaWork.push_back(std::move(work));
            }
        }
    }
    if (!previous.empty()) {
        std::string error;
        if (xdelta.run({"-V"}, error) != 0)
            throw PublishError("xdelta3 is needed for deltas and cannot be run: " + error);
    }
}

void Publisher::State::packAll() {
    // An empty file travels as an LZMA stream of no bytes: an entry of zero stored
    // bytes would need a byte range of length zero, which HTTP cannot express.
    const std::string nothing = workDir + "empty";
    writeWholeFile(nothing, "");
    emptyBlob = workDir + "empty.lzma";
    Packer::codecFor(0).compressFile(nothing, emptyBlob);
    emptyBlobSize = static_cast<std::int64_t>(Poco::File(emptyBlob).getSize());

    reporter.phase("packing", stats.bytesTotal);
    WorkPool pool(options.jobs);
    for (auto& unit : units)
        for (auto& file : unit.files)
            pool.submit(file.content.size, [this, &pool, &file] { packFile(pool, file); });
    pool.wait();
}

void Publisher::State::packFile(WorkPool& pool, NewFile& file) {
    check();
    const ContentFile& c = file.content;
    std::int64_t read = 0;
    {
        PublishStats::Timer timer(stats, PublishStats::Hash);
        try {
            file.sha1 = sha1OfFile(c.source, nullptr, &read);
        } catch (const Poco::Exception& e) {
            throw PublishError("cannot read " + c.source + ": " + e.displayText());
        }
    }
    if (read != c.size)
        throw PublishError("content changed while publishing: " + c.source);
    const auto reuse = c.size == 0 ? stored.end() : stored.find(file.sha1);
    if (c.size == 0) {
        file.form = StoredForm{1, emptyBlob, emptyBlobSize};
    } else if (reuse != stored.end() && reuse->second.entry->size == c.size) {
        const ControlEntry& old = *reuse->second.entry;
        file.form = StoredForm{old.status, reuse->second.package, old.storedSize, true, old.offset};
        ++stats.filesReused;
        stats.bytesDone += c.size;
    } else {
        Packer packer(stats, stop);
        try {
            file.form = packer.pack(c.source, c.size, workFile("file"));
        } catch (const Interrupted&) {
            throw;
        } catch (const Poco::DataException&) {
            throw PublishError("content changed while publishing: " + c.source);
        } catch (const Poco::Exception& e) {
            throw PublishError("cannot compress " + c.source + ": " + e.displayText());
        } catch (const std::exception& e) {
            throw PublishError("cannot compress " + c.source + ": " + e.what());
        }
    }
    ++stats.filesDone;
    for (const auto& work : file.deltaWork) {
        // A delta has a header of its own: below this it can never cost under half.
        if (work->oldSha1 == file.sha1 || file.form.storedSize < kSmallestDeltaTarget)
            continue;
        ++stats.deltasTotal;
        stats.bytesTotal += work->oldEntry->size;
        pool.submit(c.size, [this, &file, work] { makeDelta(file, *work); });
    }
}

void Publisher::State::makeDelta(const NewFile& file, DeltaWork& work) {
    check();
    const std::string stem = workDir + "delta-" + std::to_string(work.id);
    const std::string oldFile = stem + ".old", rebuilt = stem + ".new", data = stem + ".vcdiff";
    struct Cleanup {
        std::string a, b;
        ~Cleanup() {
            removeQuietly(a);
            removeQuietly(b);
        }
    } cleanup{oldFile, rebuilt};
    {
        PublishStats::Timer timer(stats, PublishStats::Extract);
        try {
            extractEntry(*work.oldEntry, work.oldPackage, oldFile);
        } catch (const std::exception& e) {
            throw PublishError("cannot extract the old " + work.path + " from " + work.oldPackage + ": " + e.what());
        }
        if (sha1OfFile(oldFile) != work.oldSha1)
            throw PublishError("an earlier publication is damaged: the old " + work.path + " in " +
                               work.oldPackage + " does not match its SHA-1");
    }
    stats.bytesDone += work.oldEntry->size / 2;
    std::string error;
    bool ok;
    {
        PublishStats::Timer timer(stats, PublishStats::DeltaEncode);
        ok = xdelta.encode(oldFile, file.content.source, data, work.oldEntry->size, error);
    }
    check();
    if (!ok) {
        removeQuietly(data);
        reporter.warn("no delta for " + work.path + ": xdelta3: " + error);
        ++stats.deltasDone;
        return;
    }
    {
        // The delta is published only when the updater's own decoding gives back
        // the new file.
        PublishStats::Timer timer(stats, PublishStats::DeltaVerify);
        ok = xdelta.decode(oldFile, data, rebuilt, error) && sha1OfFile(rebuilt) == file.sha1;
    }
    stats.bytesDone += work.oldEntry->size - work.oldEntry->size / 2;
    ++stats.deltasDone;
    check();
    if (!ok) {
        removeQuietly(data);
        reporter.warn("no delta for " + work.path + ": decoding it does not reproduce the new file" +
                      (error.empty() ? "" : " (" + error + ")"));
        return;
    }
    work.data = data;
    work.dataSha1 = sha1OfFile(data, nullptr, &work.dataSize);
    Packer packer(stats, stop);
    work.form = packer.pack(data, work.dataSize, data + ".lzma");
    if (work.form.status == 0)
        work.form.blob = data;
    work.ok = true;
}

void Publisher::State::selectDeltas(PublishSummary& summary) {
    for (auto& unit : units) {
        for (const auto& p : previous) {
            PublishSummary::DeltaSummary s;
            s.unit = unit.envName;
            s.from = p.version;
            auto& chosen = unit.selected[p.version];
            for (const auto& file : unit.files) {
                const ControlEntry* old = oldEntryFor(unit, p, file.content.path, nullptr);
                if (!old || old->sha1 == file.sha1)
                    continue;
                ++s.changed;
                const DeltaWorkPtr w = file.workFor(old->sha1);
                // Worth it only when well below what fetching the file costs.
                if (w && w->ok && w->form.storedSize * 2 < file.form.storedSize)
                    chosen.push_back(SelectedDelta{&file, w});
            }
            summary.deltas.push_back(s);
        }
    }
    // With an environment, the updater merges both delta lists by path, the
    // environment's last. A main delta that an environment player's old file
    // matches but whose result is not the environment's new file would fail that
    // player's update: the environment's own delta must take its place, or the
    // main one goes.
    if (units.size() == 2) {
        Unit& main = units[0];
        Unit& env = units[1];
        for (const auto& p : previous) {
            auto& mainChosen = main.selected[p.version];
            auto& envChosen = env.selected[p.version];
            std::vector<SelectedDelta> kept;
            for (const auto& d : mainChosen) {
                const NewFile* envFile = env.find(d.file->content.path);
                const ControlEntry* envOld = envFile ? oldEntryFor(env, p, envFile->content.path, nullptr) : nullptr;
                const bool clash = envFile && envOld && envOld->sha1 == d.work->oldSha1 && envFile->sha1 != d.file->sha1;
                if (!clash) {
                    kept.push_back(d);
                    continue;
                }
                const bool covered = std::any_of(envChosen.begin(), envChosen.end(),
                                                 [&](const SelectedDelta& e) { return e.file == envFile; });
                if (covered)
                    kept.push_back(d);
                else if (const DeltaWorkPtr w = envFile->workFor(envOld->sha1); w && w->ok) {
                    envChosen.push_back(SelectedDelta{envFile, w});
                    kept.push_back(d);
                } else {
                    reporter.warn("no delta from " + p.version + " for " + d.file->content.path +
                                  ": the environment overrides it and has no delta of its own");
                }
            }
            mainChosen = std::move(kept);
            std::sort(envChosen.begin(), envChosen.end(), [](const SelectedDelta& a, const SelectedDelta& b) {
                return a.file < b.file;
            });
        }
    }
    std::size_t i = 0;
    for (auto& unit : units)
        for (const auto& p : previous) {
            auto& s = summary.deltas[i++];
            s.entries = static_cast<int>(unit.selected[p.version].size());
            for (const auto& d : unit.selected[p.version])
                s.storedSize += d.work->form.storedSize;
        }
}

WrittenControl Publisher::State::publishFile(const std::string& source, const std::string& dir,
                                             const std::string& name) {
    WrittenControl written;
    written.sha1 = sha1OfFile(source, nullptr, &written.size);
    Packer::codecFor(static_cast<std::uint64_t>(written.size)).setObserver(nullptr);
    Packer::codec().compressFile(source, dir + name + kPacked);
    written.packedSize = static_cast<std::int64_t>(Packer::codec().packedSize());
    return written;
}

WrittenControl Publisher::State::writeControl(const ControlFile& control, const std::string& dir,
                                              const std::string& name) {
    const std::string plain = workFile(name);
    control.save(plain);
    return publishFile(plain, dir, name);
}

void Publisher::State::writePackages(Unit& unit, PublishSummary& summary) {
    PublishStats::Timer timer(stats, PublishStats::Write);
    std::vector<std::pair<int, std::int64_t>> sizes;
    for (const auto& f : unit.files)
        sizes.emplace_back(f.content.stage, f.form.storedSize);
    const auto starts = packageStarts(sizes, options.packageSize);
    std::map<int, int> perStage;
    for (std::size_t k = 0; k < starts.size(); ++k) {
        const std::size_t end = k + 1 < starts.size() ? starts[k + 1] : unit.files.size();
        const int stage = unit.files[starts[k]].content.stage;
        const std::string name = PublicationLayout::packageName(stage, ++perStage[stage]);
        const std::string path = unit.dir + name;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out)
            throw PublishError("cannot create " + path);
        std::int64_t offset = 0;
        for (std::size_t i = starts[k]; i < end; ++i) {
            check();
            NewFile& f = unit.files[i];
            const std::string& from = f.form.borrowed || f.form.status == 1 ? f.form.blob : f.content.source;
            std::ifstream in(from, std::ios::binary);
            std::int64_t copied = -1;
            if (in && f.form.borrowed) {
                in.seekg(f.form.offset);
                copied = in ? copyRange(in, out, f.form.storedSize, 1 << 16) : -1;
            } else if (in) {
                copied = copyStream(in, out, nullptr, 1 << 16);
            }
            if (copied != f.form.storedSize)
                throw PublishError(f.form.borrowed ? "cannot read the stored " + f.content.path + " from " + from
                                   : f.form.status == 1 ? "cannot read " + from
                                                        : "content changed while publishing: " + from);
            if (!out)
                throw PublishError("cannot write " + path);
            f.package = name;
            f.offset = offset;
            offset += copied;
            stats.bytesDone += copied;
            if (f.form.status == 1 && !f.form.borrowed && f.form.blob != emptyBlob)
                removeQuietly(f.form.blob);
        }
        out.close();
        if (!out)
            throw PublishError("cannot write " + path);
        ++summary.packages;
    }
}

std::int64_t Publisher::State::writeDelta(Unit& unit, const std::string& from,
                                          const std::vector<SelectedDelta>& chosen, std::string& controlHash) {
    PublishStats::Timer timer(stats, PublishStats::Write);
    const std::string dir = unit.dir + PublicationLayout::deltaDir(from);
    createFolder(dir, &silent());
    std::vector<std::pair<int, std::int64_t>> sizes;
    for (const auto& d : chosen)
        sizes.emplace_back(1, d.work->form.storedSize);
    const auto starts = packageStarts(sizes, options.packageSize);
    ControlFile control;
    std::int64_t total = 0;
    for (std::size_t k = 0; k < starts.size(); ++k) {
        const std::size_t end = k + 1 < starts.size() ? starts[k + 1] : chosen.size();
        const std::string name = PublicationLayout::deltaPackageName(static_cast<int>(k + 1));
        const std::string path = dir + name;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out)
            throw PublishError("cannot create " + path);
        std::int64_t offset = 0;
        for (std::size_t i = starts[k]; i < end; ++i) {
            check();
            const SelectedDelta& d = chosen[i];
            std::ifstream in(d.work->form.blob, std::ios::binary);
            const std::int64_t copied = in ? copyStream(in, out, nullptr, 1 << 16) : -1;
            if (copied != d.work->form.storedSize || !out)
                throw PublishError("cannot copy " + d.work->form.blob + " into " + path);
            auto entry = std::make_shared<ControlEntry>();
            entry->status = d.work->form.status;
            entry->setPath(d.file->content.path);
            entry->sha1 = d.work->dataSha1;
            entry->setName(d.work->oldSha1);
            entry->package = name;
            entry->offset = offset;
            entry->storedSize = d.work->form.storedSize;
            entry->size = d.work->dataSize;
            entry->stage = d.file->content.stage;
            control.add(entry, true);
            offset += copied;
            total += copied;
        }
        out.close();
        if (!out)
            throw PublishError("cannot write " + path);
    }
    controlHash = writeControl(control, dir, kControlName).sha1;
    return total;
}

void Publisher::State::writeUnit(Unit& unit, PublishSummary& summary) {
    std::int64_t stored = 0;
    for (const auto& f : unit.files)
        stored += f.form.storedSize;
    reporter.phase(unit.envName.empty() ? "writing" : "writing " + unit.envName, stored);
    writePackages(unit, summary);

    Distr& d = unit.record;
    d.version = options.version;
    d.type = unit.envName.empty() ? DistrType::Full : DistrType::Env;
    d.env = unit.envName;
    // The environment record is read after the redirect, relative to ROOT/V/.
    d.files = unit.envName.empty() ? kFilesLocation : unit.envName + "/";
    ControlFile control;
    std::vector<std::int64_t> stages;
    for (const auto& f : unit.files) {
        auto entry = std::make_shared<ControlEntry>();
        entry->status = f.form.status;
        entry->setPath(f.content.path);
        entry->sha1 = f.sha1;
        entry->package = f.package;
        entry->offset = f.offset;
        entry->storedSize = f.form.storedSize;
        entry->size = f.content.size;
        entry->stage = f.content.stage;
        control.add(entry, true);
        d.compressedSize += f.form.storedSize;
        d.size += f.content.size;
        if (static_cast<int>(stages.size()) < f.content.stage)
            stages.resize(static_cast<std::size_t>(f.content.stage), 0);
        stages[static_cast<std::size_t>(f.content.stage - 1)] += f.form.storedSize;
        if (unit.envName.empty()) {
            ++summary.files;
            summary.size += f.content.size;
            summary.storedSize += f.form.storedSize;
            summary.compressedFiles += f.form.status;
            summary.reusedFiles += f.form.borrowed;
        }
    }
    if (stages.empty())
        stages.push_back(0);
    d.compressedStages = stages;

    // Removed since an earlier version: its files that this one no longer has,
    // and what its own removal list still named, so that a player skipping
    // versions loses them too. The updater removes a file only while it still
    // has the content recorded here.
    ControlFile removals;
    for (const auto& p : previous) {
        const PreviousUnit* old = unit.envName.empty() ? &p.main : p.env.get();
        if (!old)
            continue;
        auto gone = [&](const std::string& path) {
            return !unit.find(path) && (unit.envName.empty() || !units[0].find(path));
        };
        auto remove = [&](const ControlEntryPtr& e) {
            auto r = std::make_shared<ControlEntry>();
            r->status = 2;
            r->setPath(e->pathText());
            r->sha1 = e->sha1;
            removals.addRemoval(r);
        };
        for (const auto& [key, e] : old->files.entries())
            if (gone(e->pathText()))
                remove(e);
        for (const auto& [key, e] : old->deleted.removals())
            if (gone(e->pathText()))
                remove(e);
    }
    if (unit.envName.empty())
        summary.removals = static_cast<int>(removals.removals().size());

    const WrittenControl c = writeControl(control, unit.dir, kControlName);
    const WrittenControl r = writeControl(removals, unit.dir, kDeleteName);
    d.controlHash = c.sha1;
    d.deletedControlHash = r.sha1;
    d.compressedSizeTotal = d.compressedSize + c.packedSize + r.packedSize;
    d.sizeTotal = d.size + c.size + r.size;
    if (unit.envName.empty()) {
        if (!options.commands.empty()) {
            const WrittenControl w = publishFile(options.commands, unit.dir, kCommandsName);
            d.commandHash = w.sha1;
            d.compressedSizeTotal += w.packedSize;
            d.sizeTotal += w.size;
        }
        if (!options.adapter.empty()) {
            const WrittenControl w = publishFile(options.adapter, unit.dir, kAdapterName);
            d.adapterHash = w.sha1;
            d.compressedSizeTotal += w.packedSize;
            d.sizeTotal += w.size;
        }
    } else {
        // The updater keeps one copy of the description per version and may keep
        // this one; its commands check must then still find the commands hash.
        d.commandHash = units[0].record.commandHash;
    }

    for (const auto& p : previous) {
        auto delta = std::make_shared<Delta>();
        delta->version = p.version;
        delta->files = PublicationLayout::deltaDir(p.version);
        delta->compressedSize = writeDelta(unit, p.version, unit.selected[p.version], delta->controlHash);
        unit.deltas.push_back(delta);
    }
}

void Publisher::State::writeVersionInfos() {
    if (units.empty() || units[0].record.controlHash.empty())
        return;
    PatcherInfo patcher;
    patcher.version = PATCHER_VERSION;
    patcher.dateModified = nowIso();
    patcher.dateCreated = dateCreated.empty() ? patcher.dateModified : dateCreated;
    patcher.runningTimeSec =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count();
    for (const auto& unit : units) {
        VersionInfo info;
        info.addDistr(std::make_shared<Distr>(unit.record));
        for (const auto& d : unit.deltas)
            info.addDelta(d);
        info.setPatcher(patcher);
        const std::string path = unit.dir + kVersionInfoName;
        info.save(path);
        if (signer)
            writeWholeFile(path + kSignatureSuffix, signer->sign(readWholeFile(path)) + "\r\n");
    }
}

void Publisher::State::verifyEntries(WorkPool& pool, const ControlFile& control, const std::string& dir,
                                     const std::string& what) {
    for (const auto& [key, entry] : control.entries()) {
        pool.submit(entry->storedSize, [this, entry = entry, dir, what] {
            check();
            PublishStats::Timer timer(stats, PublishStats::Verify);
            std::int64_t size = 0;
            std::string sha1;
            try {
                sha1 = sha1OfEntry(*entry, dir + entry->package, &size);
            } catch (const std::exception& e) {
                throw PublishError("verification failed: " + what + " " + entry->pathText() + ": " + e.what());
            }
            if (sha1 != entry->sha1 || size != entry->size)
                throw PublishError("verification failed: " + what + " " + entry->pathText() +
                                   " does not match its control line");
            stats.bytesDone += entry->storedSize;
        });
    }
}

// Reads the staged publication back the way the updater will: descriptions,
// control files checked against their hashes, every entry's bytes against its
// SHA-1 and size.
void Publisher::State::verify() {
    std::int64_t total = 0;
    for (const auto& unit : units) {
        total += unit.record.compressedSize;
        for (const auto& d : unit.deltas)
            total += d->compressedSize;
    }
    reporter.phase("verifying", total);
    WorkPool pool(options.jobs);
    std::vector<std::unique_ptr<ControlFile>> loaded; // alive until the pool is done
    auto loadControl = [&](const std::string& dir, const std::string& name, const std::string& hash) {
        const std::string plain = workFile("verify-" + name);
        Packer::codec().decompressFile(dir + name + kPacked, plain);
        if (sha1OfFile(plain) != hash)
            throw PublishError("verification failed: " + dir + name + kPacked + " does not match its hash");
        loaded.push_back(std::make_unique<ControlFile>());
        loaded.back()->load(plain);
        return loaded.back().get();
    };
    try {
        if (signer) {
            TrustedKeys own;
            own.add(signer->publicPem());
            for (const auto& unit : units) {
                const std::string path = unit.dir + kVersionInfoName;
                if (own.verify(readWholeFile(path), readWholeFile(path + kSignatureSuffix)) !=
                    TrustedKeys::Verdict::Trusted)
                    throw PublishError("verification failed: the signature of " + path + " does not verify");
            }
        }
        VersionInfo main;
        main.load(pub + kVersionInfoName);
        if (main.latestVersion() != options.version || main.isLastEnv())
            throw PublishError("verification failed: the description does not describe version " + options.version);
        std::vector<std::pair<DistrPtr, std::string>> distrs; // with the location of their description
        main.rebaseFiles(pub);
        distrs.emplace_back(main.latestDistr(), pub);
        if (units.size() == 2) {
            const std::string envDir = pub + options.envName + "/";
            VersionInfo env;
            env.load(envDir + kVersionInfoName);
            if (!env.isLastEnv() || env.latestDistr()->env != options.envName)
                throw PublishError("verification failed: the environment description has no env record");
            env.rebaseFiles(pub); // as after the updater's redirect
            distrs.emplace_back(env.latestDistr(), asDirectoryLocation(env.latestDistr()->files));
        }
        for (const auto& [distr, descriptionDir] : distrs) {
            const std::string files = asDirectoryLocation(distr->files);
            verifyEntries(pool, *loadControl(files, kControlName, distr->controlHash), files, "file");
            loadControl(files, kDeleteName, distr->deletedControlHash);
            VersionInfo description;
            description.load(descriptionDir + kVersionInfoName);
            description.rebaseFiles(descriptionDir);
            for (const auto& p : options.previous) {
                const DeltaPtr delta = description.findDelta(p);
                if (!delta)
                    throw PublishError("verification failed: no delta record for " + p);
                const std::string deltaDir = asDirectoryLocation(delta->files);
                verifyEntries(pool, *loadControl(deltaDir, kControlName, delta->controlHash), deltaDir, "delta of");
            }
        }
        if (!options.commands.empty()) {
            const std::string plain = workFile("verify-commands");
            Packer::codec().decompressFile(pub + kCommandsName + kPacked, plain);
            if (sha1OfFile(plain) != main.latestDistr()->commandHash)
                throw PublishError("verification failed: the commands file does not match its hash");
        }
        if (!options.adapter.empty()) {
            const std::string plain = workFile("verify-adapter");
            Packer::codec().decompressFile(pub + kAdapterName + kPacked, plain);
            if (sha1OfFile(plain) != main.latestDistr()->adapterHash)
                throw PublishError("verification failed: the adapter does not match its hash");
        }
    } catch (const PublishError&) {
        pool.cancel();
        pool.wait();
        throw;
    } catch (const Interrupted&) {
        pool.cancel();
        pool.wait();
        throw;
    } catch (const Poco::Exception& e) {
        pool.cancel();
        pool.wait();
        throw PublishError("verification failed: " + e.displayText());
    } catch (const std::exception& e) {
        pool.cancel();
        pool.wait();
        throw PublishError(std::string("verification failed: ") + e.what());
    }
    pool.wait();
}

void Publisher::State::commit() {
    check();
    reporter.finish();
    const std::string replaced = staging + "replaced";
    const bool replacing = Poco::File(target).exists();
    if (replacing && !options.force)
        throw PublishError("version " + options.version + " was published at " + target + " meanwhile");
    try {
        if (replacing)
            Poco::File(target).renameTo(replaced);
        try {
            Poco::File(pub).renameTo(target);
        } catch (...) {
            if (replacing)
                Poco::File(replaced).renameTo(target);
            throw;
        }
    } catch (const Poco::Exception& e) {
        throw PublishError("cannot move the publication into place at " + target + ": " + e.displayText());
    }
    discard();
}

void Publisher::State::discard() {
    if (staging.empty())
        return;
    tryDeleteFolder(staging, &silent());
    staging.clear();
}

std::pair<std::string, std::string> writeKeyPair(const std::string& dir) {
    const std::string base = absoluteDir(dir);
    const std::string privatePath = base + "publish.key";
    const std::string publicPath = base + "publish.pub";
    for (const auto& path : {privatePath, publicPath})
        if (Poco::File(path).exists())
            throw PublishError(path + " exists: a key pair is never replaced (move it away first)");
    try {
        createFolder(base, &silent());
        const SigningKeyPair pair = generateSigningKey();
        platform::createNewFile(privatePath, pair.privatePem, true);
        try {
            platform::createNewFile(publicPath, pair.publicPem, false);
        } catch (...) {
            removeQuietly(privatePath);
            throw;
        }
    } catch (const PublishError&) {
        throw;
    } catch (const Poco::Exception& e) {
        throw PublishError("cannot write a key pair into " + base + ": " + e.displayText());
    }
    return {privatePath, publicPath};
}

} // namespace Patcher
