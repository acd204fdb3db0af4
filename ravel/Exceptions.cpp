#include "ravel/Exceptions.h"

#include "app/Errors.h"

#include <typeinfo>

namespace {

// className() must return a pointer that outlives the call.
template <class T>
const char* cachedName() {
    static const std::string name = Patcher::demangle(typeid(T).name());
    return name.c_str();
}

} // namespace

#define RAVEL_IMPLEMENT_EXCEPTION(CLS, BASE, NAME)                                                \
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

namespace ravel {

RAVEL_IMPLEMENT_EXCEPTION(ravelException, Poco::Exception, "RAVEL library error")
RAVEL_IMPLEMENT_EXCEPTION(ProtocolException, ravelException, "Protocol error")
RAVEL_IMPLEMENT_EXCEPTION(DownloadInterruptedException, ravelException, "Download interrupted")
RAVEL_IMPLEMENT_EXCEPTION(DownloadInterruptedLocallyException, DownloadInterruptedException,
                          "Download interrupted loccally")
RAVEL_IMPLEMENT_EXCEPTION(DownloadInterruptedRemotelyException, DownloadInterruptedException,
                          "Download interrupted remotely")

} // namespace ravel

RAVEL_IMPLEMENT_EXCEPTION(DlError, Poco::Exception, "Download error")
