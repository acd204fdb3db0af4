// The file cache loading arbitrary bytes from disk: a broken file is set aside
// and the cache starts empty; a good one saves and loads back the same.
#include "distr/FileCache.h"
#include "distr/FileOps.h"

#include <Poco/Logger.h>
#include <Poco/Path.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include <unistd.h>

using namespace Patcher;

static std::string gRoot;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Poco::Logger::root().setLevel(Poco::Message::PRIO_FATAL);
    Poco::Logger::get("Cache").setLevel(Poco::Message::PRIO_FATAL);
    gRoot = Poco::Path::temp() + "fuzz-cache-" + std::to_string(::getpid()) + "/";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    deleteFolder(gRoot + ".kvo.meta.dir");
    createFolder(gRoot + ".kvo.meta.dir");
    writeWholeFile(gRoot + FileCache::kDefaultFile, std::string(reinterpret_cast<const char*>(data), size));
    auto cache = std::make_unique<FileCache>(gRoot);
    const std::size_t count = cache->count();
    const bool hadExtra = static_cast<bool>(cache->get("fuzz/extra"));
    if (count)
        cache->put("fuzz/extra", std::string(40, '0'), 1, 1);
    cache.reset(); // saves
    if (count) {
        FileCache again(gRoot);
        if (again.count() != count + (hadExtra ? 0 : 1) || !again.isValid("fuzz/extra", std::string(40, '0')))
            std::abort();
    }
    return 0;
}
