// Control file lines on arbitrary text; a parsed file must survive its own
// canonical layout.
#include "base/Singleton.h"
#include "distr/ControlFile.h"
#include "base/RootStorage.h"

#include <Poco/Exception.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

using namespace Patcher;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A fresh storage per input keeps the interned paths from piling up.
    Singleton<RootStorage>::create();
    try {
        ControlFile file;
        file.parse(std::string(reinterpret_cast<const char*>(data), size));
        std::ostringstream out;
        file.write(out);
        ControlFile again;
        again.parse(out.str());
        if (again.count() != file.count() || again.removals().size() != file.removals().size())
            std::abort();
    } catch (const Poco::Exception&) {
    } catch (const std::exception&) {
    }
    Singleton<RootStorage>::destroy();
    return 0;
}
