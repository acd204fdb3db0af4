#include "distr/VersionInfo.h"

#include "base/Errors.h"
#include "distr/FileOps.h"
#include "distr/Numbers.h"

#include <Poco/Exception.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace Patcher {
namespace {

using Record = std::map<std::string, std::string>;

constexpr std::int64_t kMaxVersionInfoSize = VersionInfo::kMaxFileSize;

struct Header {
    std::string name;
    std::int64_t count;
};

[[noreturn]] void formatError(const std::string& message) {
    throw InternalError(message, kInternalErrorCode);
}

Header parseHeader(const std::string& line) {
    const auto open = line.find('{');
    const auto close = line.find('}');
    if (open == std::string::npos || close == std::string::npos)
        formatError("Invalid version info file format. Missing { or }");
    Header header;
    header.name = trimmed(line.substr(0, open));
    const std::string count = close > open ? line.substr(open + 1, close - open - 1) : std::string();
    header.count = parseDecimal(count);
    return header;
}

std::string readLine(std::istream& in) {
    std::string line;
    std::getline(in, line);
    return trimmed(line);
}

// Lines up to an empty one or the end; lines without "=" are skipped.
Record readBlock(std::istream& in) {
    Record record;
    while (in) {
        const std::string line = readLine(in);
        if (line.empty())
            break;
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = trimmed(line.substr(0, eq));
        if (!record.emplace(key, trimmed(line.substr(eq + 1))).second)
            formatError("Duplicate keys are found: " + key);
    }
    return record;
}

const std::string& required(const Record& record, const std::string& key) {
    auto it = record.find(key);
    if (it == record.end())
        formatError("Required field '" + key + "' is not found in version-info.txt file");
    return it->second;
}

std::string optional(const Record& record, const std::string& key) {
    auto it = record.find(key);
    return it == record.end() ? std::string() : it->second;
}

std::int64_t number(const std::string& value) {
    return value.empty() ? 0 : parseDecimal(value);
}

// The front-to-back rule of "compressed-stages": a number, then one separator.
std::vector<std::int64_t> parseStages(const std::string& text) {
    std::vector<std::int64_t> stages;
    const char* p = text.c_str();
    while (*p) {
        char* end = nullptr;
        errno = 0;
        const long long value = std::strtoll(p, &end, 10);
        if (end == p)
            throw std::invalid_argument("invalid stoll argument");
        if (errno == ERANGE)
            throw std::out_of_range("stoll argument out of range");
        stages.push_back(value);
        p = *end ? end + 1 : end;
    }
    return stages;
}

DistrPtr makeDistr(const Record& r) {
    auto d = std::make_shared<Distr>();
    d->version = required(r, "version");
    d->type = nameToType(required(r, "type"));
    d->env = required(r, "env");
    d->files = required(r, "files");
    d->controlHash = required(r, "control-hash");
    d->deletedControlHash = required(r, "deleted-control-hash");
    d->commandHash = optional(r, "command-hash");
    d->adapterHash = optional(r, "adapter-hash");
    d->compressedSize = number(required(r, "compressed-size"));
    d->size = number(required(r, "size"));
    d->compressedSizeTotal = number(optional(r, "compressed-size-total"));
    d->sizeTotal = number(optional(r, "size-total"));
    d->compressedStages = parseStages(optional(r, "compressed-stages"));
    return d;
}

DeltaPtr makeDelta(const Record& r) {
    auto d = std::make_shared<Delta>();
    d->version = required(r, "version");
    d->files = required(r, "files");
    d->compressedSize = number(required(r, "compressed-size"));
    d->controlHash = required(r, "control-hash");
    return d;
}

std::string slashes(std::string text) {
    for (char& c : text)
        if (c == '\\')
            c = '/';
    return text;
}

void line(std::ostream& out, const std::string& key, const std::string& value) {
    out << "    " << key << '=' << value << "\r\n";
}

} // namespace

DistrType nameToType(const std::string& name) {
    if (name == "full")
        return DistrType::Full;
    if (name == "partial")
        return DistrType::Partial;
    if (name == "env")
        return DistrType::Env;
    throw InternalError("Unknown distribution type name: " + name, kInternalErrorCode);
}

std::string typeToName(DistrType type) {
    switch (type) {
    case DistrType::Full: return "full";
    case DistrType::Partial: return "partial";
    case DistrType::Env: return "env";
    }
    throw InternalError("Unknown distribution type value: " + std::to_string(static_cast<int>(type)),
                        kInternalErrorCode);
}

void VersionInfo::clear() {
    distrs_.clear();
    deltas_.clear();
    patcher_ = PatcherInfo();
}

void VersionInfo::load(const std::string& path) {
    clear();
    try {
        std::ifstream in(path, std::ios::binary);
        if (!in)
            throw Poco::OpenFileException("Cannot open file", path, errno);
        // Thousands of records fit in far less; a larger file is read no further
        // than its size, as a single line of it would be held whole.
        in.seekg(0, std::ios::end);
        if (in.tellg() > std::streamoff(kMaxVersionInfoSize))
            throw Poco::DataException("the file is larger than " + std::to_string(kMaxVersionInfoSize >> 20) +
                                      " MiB");
        in.seekg(0, std::ios::beg);
        parse(in);
    } catch (const UpdaterError&) {
        throw;
    } catch (const Poco::Exception& e) {
        throw InternalError("Problem while loading file: " + path + ", Extended info: " + e.message(),
                            kInternalErrorCode);
    } catch (const std::exception& e) {
        throw InternalError("Problem while loading file: " + path + ", Extended info: " + e.what(),
                            kInternalErrorCode);
    }
}

void VersionInfo::parse(std::istream& in) {
    clear();
    const Header distrHeader = parseHeader(readLine(in));
    if (distrHeader.name != "distribution")
        formatError("distribution missing from the version info file.");
    std::int64_t distrsLeft = distrHeader.count;
    while (in && distrsLeft > 0) {
        distrs_.push_back(makeDistr(readBlock(in)));
        --distrsLeft;
    }

    const Header deltaHeader = parseHeader(readLine(in));
    if (deltaHeader.count > 0 && deltaHeader.name != "delta")
        formatError("delta missing from the version-info file.");
    std::int64_t deltasLeft = deltaHeader.count;
    while (in && deltasLeft > 0) {
        deltas_.push_back(makeDelta(readBlock(in)));
        --deltasLeft;
    }

    if (distrsLeft > 0)
        formatError("Missing distribution block");
    if (deltasLeft > 0)
        formatError("Missing delta block.");

    const std::string next = readLine(in);
    if (next.empty() || next.find('{') == std::string::npos || next.find('}') == std::string::npos)
        return; // anything but a patcher header here is ignored
    if (trimmed(next.substr(0, next.find('{'))) != "patcher")
        return;
    const Record r = readBlock(in);
    patcher_.version = optional(r, "version");
    patcher_.dateCreated = optional(r, "date-created");
    patcher_.dateModified = optional(r, "date-modified");
    patcher_.runningTimeSec = number(optional(r, "running-time-sec"));
}

void VersionInfo::write(std::ostream& out) const {
    out << "distribution {" << distrs_.size() << "}\r\n";
    for (const auto& d : distrs_) {
        line(out, "version", d->version);
        line(out, "type", typeToName(d->type));
        line(out, "env", d->env);
        line(out, "files", slashes(d->files));
        line(out, "control-hash", d->controlHash);
        line(out, "deleted-control-hash", d->deletedControlHash);
        line(out, "command-hash", d->commandHash);
        line(out, "adapter-hash", d->adapterHash);
        line(out, "compressed-size", std::to_string(d->compressedSize));
        line(out, "size", std::to_string(d->size));
        line(out, "compressed-size-total", std::to_string(d->compressedSizeTotal));
        line(out, "size-total", std::to_string(d->sizeTotal));
        std::string stages;
        for (std::size_t i = 0; i < d->compressedStages.size(); ++i)
            stages += (i ? "," : "") + std::to_string(d->compressedStages[i]);
        line(out, "compressed-stages", stages);
        out << "\r\n";
    }
    out << "delta {" << deltas_.size() << "}\r\n";
    for (const auto& d : deltas_) {
        line(out, "version", d->version);
        line(out, "files", slashes(d->files));
        line(out, "compressed-size", std::to_string(d->compressedSize));
        line(out, "control-hash", d->controlHash);
        out << "\r\n";
    }
    out << "patcher {1}\r\n";
    line(out, "version", patcher_.version);
    line(out, "date-created", patcher_.dateCreated);
    line(out, "date-modified", patcher_.dateModified);
    line(out, "running-time-sec", std::to_string(patcher_.runningTimeSec));
    out << "\r\n";
}

void VersionInfo::save(const std::string& path) const {
    std::ostringstream out;
    write(out);
    writeWholeFile(path, out.str());
}

void VersionInfo::rebaseFiles(const std::string& base) {
    for (auto& d : distrs_)
        d->files = resolveLocation(d->files, base);
    for (auto& d : deltas_)
        d->files = resolveLocation(d->files, base);
}

DistrPtr VersionInfo::latestDistr() const {
    if (distrs_.empty())
        return nullptr;
    if (distrs_.back()->type == DistrType::Env && distrs_.size() > 1)
        return distrs_[distrs_.size() - 2];
    return distrs_.back();
}

std::string VersionInfo::latestVersion() const {
    const DistrPtr latest = latestDistr();
    return latest ? latest->version : std::string();
}

bool VersionInfo::isLastEnv() const {
    return !distrs_.empty() && distrs_.back()->type == DistrType::Env;
}

DistrPtr VersionInfo::findDistr(const std::string& version) const {
    for (const auto& d : distrs_)
        if (d->version == version)
            return d;
    return nullptr;
}

DeltaPtr VersionInfo::findDelta(const std::string& version) const {
    for (const auto& d : deltas_)
        if (d->version == version)
            return d;
    return nullptr;
}

} // namespace Patcher
