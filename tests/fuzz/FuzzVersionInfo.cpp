// The version-info parser on arbitrary text: every outcome is a load or an
// exception, never a crash or a hang.
#include "distr/VersionInfo.h"

#include <Poco/Exception.h>

#include <cstdint>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    Patcher::VersionInfo info;
    try {
        info.parse(in);
        std::ostringstream out;
        info.write(out);
        info.latestVersion();
    } catch (const Poco::Exception&) {
    } catch (const std::exception&) {
    }
    return 0;
}
