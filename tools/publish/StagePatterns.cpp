#include "tools/publish/StagePatterns.h"

#include "distr/FileOps.h"
#include "tools/publish/PublishOptions.h"

#include <Poco/NumberParser.h>
#include <Poco/String.h>

#include <sstream>

namespace Patcher {

namespace {

char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool matchFrom(const char* p, const char* s) {
    for (;;) {
        if (*p == '\0')
            return *s == '\0';
        if (p[0] == '*' && p[1] == '*') {
            const char* rest = p + 2;
            if (*rest == '/') {
                // "**/" matches nothing, or anything that ends with a '/'.
                if (matchFrom(rest + 1, s))
                    return true;
                for (const char* t = s; *t; ++t)
                    if (*t == '/' && matchFrom(rest + 1, t + 1))
                        return true;
                return false;
            }
            for (const char* t = s;; ++t) {
                if (matchFrom(rest, t))
                    return true;
                if (!*t)
                    return false;
            }
        }
        if (*p == '*') {
            for (const char* t = s;; ++t) {
                if (matchFrom(p + 1, t))
                    return true;
                if (!*t || *t == '/')
                    return false;
            }
        }
        if (*s == '\0')
            return false;
        if (*p == '?') {
            if (*s == '/')
                return false;
        } else if (fold(*p) != fold(*s)) {
            return false;
        }
        ++p;
        ++s;
    }
}

} // namespace

bool globMatch(const std::string& pattern, const std::string& path) {
    return matchFrom(pattern.c_str(), path.c_str());
}

StagePatterns StagePatterns::parse(const std::string& text, const std::string& origin) {
    StagePatterns result;
    result.origin_ = origin;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const std::string trimmed = Poco::trim(line);
        if (trimmed.empty() || trimmed[0] == '#')
            continue;
        const auto blank = trimmed.find_first_of(" \t");
        const std::string where = origin + ":" + std::to_string(number) + ": ";
        if (blank == std::string::npos)
            throw PublishError(where + "expected \"STAGE PATTERN\", got \"" + trimmed + "\"");
        const std::string stageText = trimmed.substr(0, blank);
        const std::string pattern = Poco::trim(trimmed.substr(blank + 1));
        int stage = 0;
        if (!Poco::NumberParser::tryParse(stageText, stage) || stage < 1 || stage > kMaxStage)
            throw PublishError(where + "stage must be a number from 1 to " + std::to_string(kMaxStage) + ", got \"" +
                               stageText + "\"");
        if (pattern.find('\\') != std::string::npos)
            throw PublishError(where + "patterns separate directories with \"/\", not \"\\\"");
        result.rules_.push_back(Rule{pattern, stage, number});
    }
    return result;
}

StagePatterns StagePatterns::load(const std::string& path) {
    std::string text;
    try {
        text = readWholeFile(path);
    } catch (const Poco::Exception& e) {
        throw PublishError("cannot read the stages file " + path + ": " + e.displayText());
    }
    return parse(text, path);
}

int StagePatterns::stageOf(const std::string& path) {
    for (auto& rule : rules_) {
        if (globMatch(rule.pattern, path)) {
            rule.used = true;
            return rule.stage;
        }
    }
    return 1;
}

std::vector<std::string> StagePatterns::unusedRules() const {
    std::vector<std::string> unused;
    for (const auto& rule : rules_)
        if (!rule.used)
            unused.push_back(origin_ + ":" + std::to_string(rule.line) + ": " + rule.pattern);
    return unused;
}

} // namespace Patcher
