#pragma once

#include "base/Errors.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Patcher {

// Refusals of the publisher: bad options, bad content, a failing tool. The message
// is meant for the person running it and names the offending path or value.
PATCHER_DECLARE_EXCEPTION(PublishError, Poco::Exception)
// The command line itself is malformed (unknown option, missing value).
PATCHER_DECLARE_EXCEPTION(UsageError, PublishError)

struct PublishOptions {
    std::string content;                // directory tree of the new version
    std::string version;                // published under out/version/
    std::string out;                    // the root holding every published version
    std::vector<std::string> previous;  // versions under out/ to make deltas from
    std::string commands;               // published as "cmds.bat"
    std::string stages;                 // stage pattern file
    std::string adapter;                // published as "adapter.exe"
    std::string envName;                // environment redirect: out/version/envName/
    std::string envContent;
    std::string signKey;                // private key: "version-info.txt.sig" beside each description
    std::string genKey;                 // only make a key pair in this directory
    // Small enough that the first download and the last extraction, which
    // overlap nothing, stay short; large enough to keep requests few.
    std::int64_t packageSize = 64ll << 20;
    int jobs = 0;                       // 0: one per hardware thread
    bool force = false;                 // replace an existing publication of version
    bool help = false;
};

// Parses the arguments after the program name; "--name value" and "--name=value"
// both work. Throws UsageError. Only the form is checked here; validate() checks
// what the values name.
PublishOptions parsePublishOptions(const std::vector<std::string>& args);

// Checks the options against the file system: the content directory exists, the
// version is not published yet (unless force), every previous version is, the
// files named exist, names are usable as directory names. Throws PublishError.
void validatePublishOptions(const PublishOptions& options);

// A version or environment name must be usable as one path segment of a URL and
// of a Windows path: letters, digits and ". - _ +", not starting with ".".
bool isSafeName(const std::string& name);

// "1048576", "64K", "256M", "1G" (binary units). Throws UsageError.
std::int64_t parseByteSize(const std::string& text);

std::string publishUsage();

} // namespace Patcher
