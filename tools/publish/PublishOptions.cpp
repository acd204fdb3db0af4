#include "tools/publish/PublishOptions.h"

#include "tools/publish/PublicationLayout.h"

#include <Poco/File.h>
#include <Poco/NumberParser.h>
#include <Poco/Path.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <thread>
#include <typeinfo>

namespace Patcher {

PATCHER_IMPLEMENT_EXCEPTION(PublishError, Poco::Exception, "Publish error")
PATCHER_IMPLEMENT_EXCEPTION(UsageError, PublishError, "Usage error")

namespace {

bool isDirectory(const std::string& path) {
    try {
        Poco::File f(path);
        return f.exists() && f.isDirectory();
    } catch (const Poco::Exception&) {
        return false;
    }
}

bool isFile(const std::string& path) {
    try {
        Poco::File f(path);
        return f.exists() && f.isFile();
    } catch (const Poco::Exception&) {
        return false;
    }
}

// Whether path is dir itself or lies below it, symbolic links resolved.
bool isWithin(const std::string& path, const std::string& dir) {
    std::error_code ec;
    const auto p = std::filesystem::weakly_canonical(std::filesystem::u8path(path), ec);
    const auto d = std::filesystem::weakly_canonical(std::filesystem::u8path(dir), ec);
    if (ec)
        return false;
    const auto rel = p.lexically_relative(d);
    return !rel.empty() && *rel.begin() != "..";
}

} // namespace

std::string publishUsage() {
    return "usage: patcher-publish --content DIR --version V --out ROOT [options]\n"
           "Publishes the tree DIR as version V under ROOT/V/ (the updater's source is .../ROOT/V/).\n"
           "  --previous V_OLD ...   make deltas from each V_OLD, published under ROOT\n"
           "  --commands FILE        commands script run by the updater (cmds.bat)\n"
           "  --stages FILE          stage patterns: lines \"STAGE PATTERN\", first match wins;\n"
           "                         * and ? stay within a directory, ** crosses directories,\n"
           "                         case is ignored; unmatched files are in stage 1\n"
           "  --adapter FILE         stage adapter program (adapter.exe)\n"
           "  --env NAME --env-content DIR\n"
           "                         environment redirect: DIR is published under ROOT/V/NAME/\n"
           "                         and overrides the main tree for the source .../ROOT/V/NAME/\n"
           "  --sign-key FILE        sign each version-info.txt with this private key\n"
           "                         (version-info.txt.sig beside it)\n"
           "  --package-size BYTES   largest package (default 64M; K, M, G suffixes)\n"
           "  --jobs N               parallel jobs (default: one per hardware thread)\n"
           "  --force                replace an existing publication of V\n"
           "  --help                 this text\n"
           "usage: patcher-publish --gen-key DIR\n"
           "Writes a new signing key pair: DIR/publish.key (private, readable by its owner\n"
           "only) and DIR/publish.pub (public, for the updater's app.trusted-keys).\n";
}

bool isSafeName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '.')
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
               c == '-' || c == '_' || c == '+';
    });
}

std::int64_t parseByteSize(const std::string& text) {
    std::string digits = text;
    int shift = 0;
    if (!digits.empty()) {
        switch (digits.back()) {
        case 'k': case 'K': shift = 10; break;
        case 'm': case 'M': shift = 20; break;
        case 'g': case 'G': shift = 30; break;
        default: break;
        }
        if (shift)
            digits.pop_back();
    }
    Poco::UInt64 value = 0;
    if (digits.empty() || digits[0] == '-' || digits[0] == '+' || !Poco::NumberParser::tryParseUnsigned64(digits, value) ||
        value == 0 || value > (static_cast<Poco::UInt64>(1) << (62 - shift)))
        throw UsageError("invalid size: " + text);
    return static_cast<std::int64_t>(value << shift);
}

PublishOptions parsePublishOptions(const std::vector<std::string>& args) {
    PublishOptions o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasValue = false;
        const auto eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        auto take = [&]() -> std::string {
            if (hasValue)
                return value;
            if (i + 1 >= args.size())
                throw UsageError("option " + name + " needs a value");
            return args[++i];
        };
        auto takeOnce = [&](std::string& slot) {
            if (!slot.empty())
                throw UsageError("option " + name + " given twice");
            slot = take();
            if (slot.empty())
                throw UsageError("option " + name + " needs a non-empty value");
        };
        if (name == "--help" || name == "-h") {
            o.help = true;
        } else if (name == "--force") {
            o.force = true;
        } else if (name == "--content") {
            takeOnce(o.content);
        } else if (name == "--version") {
            takeOnce(o.version);
        } else if (name == "--out") {
            takeOnce(o.out);
        } else if (name == "--previous") {
            // "--previous 1.0 1.1" as well as "--previous 1.0 --previous 1.1".
            o.previous.push_back(take());
            while (!hasValue && i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0)
                o.previous.push_back(args[++i]);
        } else if (name == "--commands") {
            takeOnce(o.commands);
        } else if (name == "--stages") {
            takeOnce(o.stages);
        } else if (name == "--adapter") {
            takeOnce(o.adapter);
        } else if (name == "--env") {
            takeOnce(o.envName);
        } else if (name == "--env-content") {
            takeOnce(o.envContent);
        } else if (name == "--sign-key") {
            takeOnce(o.signKey);
        } else if (name == "--gen-key") {
            takeOnce(o.genKey);
        } else if (name == "--package-size") {
            o.packageSize = parseByteSize(take());
        } else if (name == "--jobs") {
            const std::string text = take();
            int n = 0;
            if (!Poco::NumberParser::tryParse(text, n) || n < 1 || n > 256)
                throw UsageError("invalid number of jobs: " + text);
            o.jobs = n;
        } else {
            throw UsageError("unknown option: " + args[i]);
        }
    }
    if (o.help)
        return o;
    if (!o.genKey.empty()) {
        if (args.size() != 2 && !(args.size() == 1 && args[0].find('=') != std::string::npos))
            throw UsageError("--gen-key DIR is used alone");
        return o;
    }
    if (o.content.empty())
        throw UsageError("missing --content DIR");
    if (o.version.empty())
        throw UsageError("missing --version V");
    if (o.out.empty())
        throw UsageError("missing --out ROOT");
    if (o.envName.empty() != o.envContent.empty())
        throw UsageError("--env and --env-content go together");
    if (o.jobs == 0)
        o.jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    return o;
}

void validatePublishOptions(const PublishOptions& o) {
    if (!isDirectory(o.content))
        throw PublishError("content directory does not exist: " + o.content);
    // The publication would be published into itself.
    if (isWithin(o.out, o.content))
        throw PublishError("the output directory " + o.out + " lies inside the content directory " + o.content);
    if (!o.envContent.empty() && isWithin(o.out, o.envContent))
        throw PublishError("the output directory " + o.out + " lies inside the environment content directory " +
                           o.envContent);
    if (!isSafeName(o.version))
        throw PublishError("invalid version '" + o.version +
                           "': use letters, digits and . - _ + (not starting with .), at most 64 characters");
    const std::string target = PublicationLayout::versionDir(o.out, o.version);
    if (Poco::File(target).exists() && !o.force)
        throw PublishError("version " + o.version + " is already published at " + target +
                           " (use --force to replace it)");
    std::vector<std::string> seen;
    for (const auto& p : o.previous) {
        if (!isSafeName(p))
            throw PublishError("invalid previous version '" + p + "'");
        if (p == o.version)
            throw PublishError("--previous " + p + " is the version being published");
        if (std::find(seen.begin(), seen.end(), p) != seen.end())
            throw PublishError("--previous " + p + " given twice");
        seen.push_back(p);
        const std::string info = PublicationLayout::versionDir(o.out, p) + kVersionInfoName;
        if (!isFile(info))
            throw PublishError("previous version " + p + " is not published under " + o.out + " (no " + info + ")");
    }
    if (!o.commands.empty() && !isFile(o.commands))
        throw PublishError("commands file does not exist: " + o.commands);
    if (!o.adapter.empty() && !isFile(o.adapter))
        throw PublishError("adapter file does not exist: " + o.adapter);
    if (!o.signKey.empty() && !isFile(o.signKey))
        throw PublishError("signing key does not exist: " + o.signKey);
    if (!o.stages.empty() && !isFile(o.stages))
        throw PublishError("stages file does not exist: " + o.stages);
    if (!o.envName.empty()) {
        if (!isSafeName(o.envName) || PublicationLayout::isReservedName(o.envName))
            throw PublishError("invalid environment name '" + o.envName +
                               "': use letters, digits and . - _ +, and none of the publication's own file names");
        if (!isDirectory(o.envContent))
            throw PublishError("environment content directory does not exist: " + o.envContent);
    }
}

} // namespace Patcher
