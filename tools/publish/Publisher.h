#pragma once

#include "tools/publish/PublishOptions.h"

#include <Poco/Timestamp.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Patcher {

class ProgressReporter;
class StopState;
struct PublishStats;

struct PublishSummary {
    struct DeltaSummary {
        std::string unit;        // "" for the main distribution, else the environment
        std::string from;        // version
        int changed = 0;         // files present in both versions with other content
        int entries = 0;         // deltas kept
        std::int64_t storedSize = 0;
    };
    std::string target;          // ROOT/V/
    int files = 0;
    std::int64_t size = 0;       // of the content
    std::int64_t storedSize = 0; // in packages
    int compressedFiles = 0;
    int reusedFiles = 0;         // stored bytes copied from a previous version
    int packages = 0;
    int removals = 0;
    std::vector<DeltaSummary> deltas;
};

// One publishing run (see publishUsage()). Everything is built in a hidden
// directory beside ROOT/V and renamed into place only after the whole
// publication was read back and verified, so a failure or a stop leaves ROOT/V
// as it was.
class Publisher {
public:
    // The wall clock of the description's dates.
    using Clock = std::function<Poco::Timestamp()>;

    // stop (may be null) is polled by every long loop; reporter gets warnings
    // and the progress phases; clock (empty: the system's) dates the publication.
    Publisher(PublishOptions options, PublishStats& stats, ProgressReporter& reporter, StopState* stop,
              Clock clock = {});
    ~Publisher();
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    // Throws PublishError for refused input and failing tools, Interrupted after
    // a stop.
    PublishSummary run();

    // How entries of (stage, stored size), in order, fill packages of at most
    // limit bytes: the index of the first entry of each package. An entry larger
    // than the limit gets a package of its own; a package never mixes stages.
    static std::vector<std::size_t> packageStarts(const std::vector<std::pair<int, std::int64_t>>& entries,
                                                  std::int64_t limit);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Writes a new Ed25519 key pair as dir/publish.key (readable by its owner only)
// and dir/publish.pub, creating dir; never replaces an existing file. Returns
// (private, public) paths; throws PublishError.
std::pair<std::string, std::string> writeKeyPair(const std::string& dir);

} // namespace Patcher
