#include "base/Errors.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace Patcher {

std::string demangle(const char* mangled) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> out(abi::__cxa_demangle(mangled, nullptr, nullptr, &status),
                                               std::free);
    return status == 0 && out ? std::string(out.get()) : std::string(mangled);
}

PATCHER_IMPLEMENT_EXCEPTION(UpdaterError, Poco::Exception, "Updater error")
PATCHER_IMPLEMENT_EXCEPTION(InternalError, UpdaterError, "Internal error")
PATCHER_IMPLEMENT_EXCEPTION(SHA1CheckError, UpdaterError, "SHA1 check error")
PATCHER_IMPLEMENT_EXCEPTION(InvalidDistr, UpdaterError, "Invalid distribution error")
PATCHER_IMPLEMENT_EXCEPTION(Interrupted, Poco::Exception, "Interruption exception")

} // namespace Patcher
