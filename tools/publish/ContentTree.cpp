#include "tools/publish/ContentTree.h"

#include "distr/ControlFile.h"
#include "base/RootStorage.h"
#include "tools/publish/PublishOptions.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

namespace fs = std::filesystem;

namespace Patcher {

bool isValidUtf8(const std::string& text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        std::size_t len = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n)
            return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF have no UTF-16 form.
        static const std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

namespace {

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name devices on Windows, with any extension.
bool isWindowsDeviceName(const std::string& component) {
    const std::string stem = asciiLower(component.substr(0, component.find('.')));
    if (stem == "con" || stem == "prn" || stem == "aux" || stem == "nul")
        return true;
    return stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) &&
           stem[3] >= '1' && stem[3] <= '9';
}

} // namespace

std::string checkControlPath(const std::string& path) {
    if (path.find('|') != std::string::npos)
        return "contains \"|\", the control-line field separator";
    for (char c : path)
        if (c == '\n' || c == '\r')
            return "contains a line break";
    if (path.find('\\') != std::string::npos)
        return "contains a back slash, a directory separator for the updater";
    // The updater installs on Windows: a name it cannot create breaks the install.
    for (char c : path)
        if (static_cast<unsigned char>(c) < 0x20 || std::strchr("<>:\"?*", c))
            return "contains a control character or one of < > : \" ? *, which Windows file names cannot hold";
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; };
    if (path.empty() || blank(path.front()) || blank(path.back()))
        return "begins or ends with a blank, which a control line drops";
    for (auto end = path.find('/'); end != std::string::npos; end = path.find('/', end + 1))
        if (end == 0 || path[end - 1] == '.' || path[end - 1] == ' ')
            return "has a directory name ending in a dot or a blank, which Windows drops";
    if (path.back() == '.')
        return "ends with a dot, which Windows drops";
    for (std::size_t begin = 0; begin <= path.size();) {
        const std::size_t end = std::min(path.find('/', begin), path.size());
        if (isWindowsDeviceName(path.substr(begin, end - begin)))
            return "names a device on Windows (CON, PRN, AUX, NUL, COM1-9, LPT1-9)";
        begin = end + 1;
    }
    if (!isContainedPath(path))
        return "does not name a file below the destination";
    if (!isValidUtf8(path))
        return "is not valid UTF-8";
    const std::string first = asciiLower(path.substr(0, path.find('/')));
    if (first == ".kvo.meta.dir" || first == ".kvo.tmp.dir")
        return "lies in a directory the updater reserves for itself";
    return {};
}

std::vector<ContentFile> scanContent(const std::string& dir) {
    const fs::path root = fs::u8path(dir);
    std::vector<ContentFile> files;
    std::error_code ec;
    const fs::path canonicalRoot = fs::canonical(root, ec);
    fs::recursive_directory_iterator it(root, fs::directory_options::follow_directory_symlink, ec), end;
    if (ec)
        throw PublishError("cannot list " + dir + ": " + ec.message());
    for (; it != end; it.increment(ec)) {
        if (ec)
            throw PublishError("cannot list " + dir + ": " + ec.message());
        const fs::directory_entry& entry = *it;
        const std::string rel = entry.path().lexically_relative(root).generic_u8string();
        std::error_code linkEc;
        const bool link = entry.is_symlink(linkEc);
        // A link is published as what it leads to; what it says is quoted when it
        // leads nowhere the updater could follow.
        auto refuseLink = [&](const std::string& why) {
            std::error_code readEc;
            const std::string target = fs::read_symlink(entry.path(), readEc).u8string();
            throw PublishError("cannot publish \"" + rel + "\": it is a symbolic link to \"" + target + "\", " +
                               why);
        };
        const fs::file_status st = entry.status(ec); // follows symbolic links
        if (ec) {
            if (link && (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory))
                refuseLink("which does not exist");
            if (link && ec == std::errc::too_many_symbolic_link_levels)
                refuseLink("which leads into a loop of links");
            throw PublishError("cannot read " + entry.path().u8string() + ": " + ec.message());
        }
        if (fs::is_directory(st)) {
            // A linked directory inside the content is published as if it were
            // there; one outside it would drag in a tree nobody meant to ship, and
            // one that leads back to its own ancestors would never end.
            if (link) {
                const fs::path target = fs::canonical(entry.path(), ec);
                if (ec)
                    refuseLink("which cannot be resolved: " + ec.message());
                const auto inRoot = target.lexically_relative(canonicalRoot);
                if (canonicalRoot.empty() || inRoot.empty() || *inRoot.begin() == "..")
                    refuseLink("a directory outside the content");
                const fs::path parent = fs::canonical(entry.path().parent_path(), ec);
                const auto rel = parent.lexically_relative(target);
                if (ec || (!rel.empty() && *rel.begin() != ".."))
                    throw PublishError("symbolic link loop: " + entry.path().u8string());
            }
            continue;
        }
        if (!fs::is_regular_file(st)) {
            if (link)
                refuseLink("which is neither a regular file nor a directory");
            throw PublishError("not a regular file or directory: " + entry.path().u8string());
        }
        const std::string why = checkControlPath(rel);
        if (!why.empty())
            throw PublishError("cannot publish \"" + rel + "\": the path " + why);
        const auto size = entry.file_size(ec);
        if (ec)
            throw PublishError("cannot read the size of " + entry.path().u8string() + ": " + ec.message());
        files.push_back(ContentFile{rel, entry.path().u8string(), static_cast<std::int64_t>(size), 1});
    }
    std::sort(files.begin(), files.end(), [](const ContentFile& a, const ContentFile& b) { return a.path < b.path; });

    // The updater's destination is case-insensitive: "Data/a" and "data/A" would be
    // one file, and a file "Data" leaves no room for a directory "data/".
    std::map<std::string, const ContentFile*> byFolded;
    for (const auto& f : files) {
        auto [pos, inserted] = byFolded.emplace(asciiLower(f.path), &f);
        if (!inserted)
            throw PublishError("cannot publish both \"" + pos->second->path + "\" and \"" + f.path +
                               "\": the updater does not tell paths apart by case");
    }
    for (const auto& f : files) {
        const std::string folded = asciiLower(f.path);
        for (auto slash = folded.find('/'); slash != std::string::npos; slash = folded.find('/', slash + 1)) {
            const auto clash = byFolded.find(folded.substr(0, slash));
            if (clash != byFolded.end())
                throw PublishError("cannot publish both \"" + clash->second->path + "\" and \"" + f.path +
                                   "\": a file and a directory of the same name (case ignored)");
        }
    }
    return files;
}

} // namespace Patcher
