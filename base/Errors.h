#pragma once

#include <Poco/Exception.h>

#include <string>
#include <typeinfo>

namespace Patcher {

// Demangled run-time type name ("Patcher::RootStorage").
std::string demangle(const char* mangled);

// The demangled name of T, computed once: className() must return a pointer
// that outlives the call.
template <class T>
const char* demangledName() {
    static const std::string name = demangle(typeid(T).name());
    return name.c_str();
}

} // namespace Patcher

// Exception classes in the framework's manner (constructors with a code,
// name(), clone(), rethrow()), with className() the demangled type name. Used
// by every module for its own exception family.
#define PATCHER_DECLARE_EXCEPTION(CLS, BASE)                                     \
    class CLS : public BASE {                                                    \
    public:                                                                      \
        explicit CLS(int code = 0);                                              \
        CLS(const std::string& msg, int code = 0);                               \
        CLS(const std::string& msg, const std::string& arg, int code = 0);       \
        CLS(const std::string& msg, const Poco::Exception& nested, int code = 0); \
        CLS(const CLS& exc);                                                     \
        ~CLS() noexcept override;                                                \
        CLS& operator=(const CLS& exc);                                          \
        const char* name() const noexcept override;                              \
        const char* className() const noexcept override;                         \
        Poco::Exception* clone() const override;                                 \
        void rethrow() const override;                                           \
    };

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
    const char* CLS::className() const noexcept { return ::Patcher::demangledName<CLS>(); }       \
    Poco::Exception* CLS::clone() const { return new CLS(*this); }                                \
    void CLS::rethrow() const { throw *this; }

namespace Patcher {

// The updater's own failures. The codes travel to the launcher, which tells the
// kinds apart by them: raise each class with the code its comment gives.

// Code: the OS error number (a failed output file during a copy check).
PATCHER_DECLARE_EXCEPTION(UpdaterError, Poco::Exception)
// Code 3: broken invariants and malformed input.
PATCHER_DECLARE_EXCEPTION(InternalError, UpdaterError)
// Code 4: a file whose SHA-1 differs from the expected one.
PATCHER_DECLARE_EXCEPTION(SHA1CheckError, UpdaterError)
// Code 5: distribution content that contradicts itself.
PATCHER_DECLARE_EXCEPTION(InvalidDistr, UpdaterError)
// Code 1: a stop seen by StopState::check(); the message names the operation.
PATCHER_DECLARE_EXCEPTION(Interrupted, Poco::Exception)

enum ErrorCode {
    kInterruptedCode = 1,
    kInternalErrorCode = 3,
    kSHA1CheckErrorCode = 4,
    kInvalidDistrCode = 5,
    kStdExceptionCode = 7,    // IPC error report for a std::exception
    kUnknownExceptionCode = 8 // IPC error report for anything else
};

} // namespace Patcher
