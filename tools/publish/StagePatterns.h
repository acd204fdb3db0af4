#pragma once

#include <string>
#include <vector>

namespace Patcher {

// The stage pattern file: one rule per line, "STAGE PATTERN" (a stage number of 1
// or more, blanks, then the pattern up to the end of the line); empty lines and
// lines starting with "#" are skipped. The first rule that matches a path gives
// its stage; no match means stage 1. Patterns match whole paths: "*" and "?" stay
// within one directory level, "**" crosses levels ("**/" also matches no
// directory at all), ASCII case is ignored as the updater ignores it.
class StagePatterns {
public:
    StagePatterns() = default;
    // origin names the text in messages. Throws PublishError "origin:line: ...".
    static StagePatterns parse(const std::string& text, const std::string& origin);
    static StagePatterns load(const std::string& path);

    int stageOf(const std::string& path);
    // "origin:line: PATTERN" of every rule that matched nothing so far.
    std::vector<std::string> unusedRules() const;

    static constexpr int kMaxStage = 1000;

private:
    struct Rule {
        std::string pattern;
        int stage;
        int line;
        bool used = false;
    };
    std::string origin_;
    std::vector<Rule> rules_;
};

// The pattern language above, exposed for tests.
bool globMatch(const std::string& pattern, const std::string& path);

} // namespace Patcher
