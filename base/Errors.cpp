#include "base/Errors.h"

#include <boost/core/demangle.hpp>

namespace Patcher {

std::string demangle(const char* mangled) { return boost::core::demangle(mangled); }

PATCHER_IMPLEMENT_EXCEPTION(UpdaterError, Poco::Exception, "Updater error")
PATCHER_IMPLEMENT_EXCEPTION(InternalError, UpdaterError, "Internal error")
PATCHER_IMPLEMENT_EXCEPTION(SHA1CheckError, UpdaterError, "SHA1 check error")
PATCHER_IMPLEMENT_EXCEPTION(InvalidDistr, UpdaterError, "Invalid distribution error")
PATCHER_IMPLEMENT_EXCEPTION(Interrupted, Poco::Exception, "Interruption exception")

} // namespace Patcher
