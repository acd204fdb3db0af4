#include "app/Errors.h"

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

namespace {

// className() must return a pointer that outlives the call; the demangled names
// of our few classes are computed once.
template <class T>
const char* cachedName() {
    static const std::string name = demangle(typeid(T).name());
    return name.c_str();
}

} // namespace

#define PATCHER_IMPLEMENT_EXCEPTION(CLS, BASE, NAME)                                              \
    CLS::CLS(int code) : BASE(code) {}                                                            \
    CLS::CLS(const std::string& msg, int code) : BASE(msg, code) {}                               \
    CLS::CLS(const std::string& msg, const std::string& arg, int code) : BASE(msg, arg, code) {}  \
    CLS::CLS(const std::string& msg, const Poco::Exception& nested, int code)                     \
        : BASE(msg, nested, code) {}                                                              \
    CLS::CLS(const CLS& exc) : BASE(exc) {}                                                       \
    CLS::~CLS() noexcept {}                                                                       \
    CLS& CLS::operator=(const CLS& exc) {                                                         \
        BASE::operator=(exc);                                                                     \
        return *this;                                                                             \
    }                                                                                             \
    const char* CLS::name() const noexcept { return NAME; }                                       \
    const char* CLS::className() const noexcept { return cachedName<CLS>(); }                     \
    Poco::Exception* CLS::clone() const { return new CLS(*this); }                                \
    void CLS::rethrow() const { throw *this; }

PATCHER_IMPLEMENT_EXCEPTION(UpdaterError, Poco::Exception, "Updater error")
PATCHER_IMPLEMENT_EXCEPTION(InternalError, UpdaterError, "Internal error")
PATCHER_IMPLEMENT_EXCEPTION(SHA1CheckError, UpdaterError, "SHA1 check error")
PATCHER_IMPLEMENT_EXCEPTION(InvalidDistr, UpdaterError, "Invalid distribution error")
PATCHER_IMPLEMENT_EXCEPTION(Interrupted, Poco::Exception, "Interruption exception")

} // namespace Patcher
