#pragma once

#include <Poco/Exception.h>

#include <string>

namespace ravel {

// The library's exceptions. DownloadInterruptedException and its subclasses
// mean "bytes of this transfer were already delivered": the session layers pass
// them on instead of repeating the request. className() is the demangled
// run-time type name.
#define RAVEL_DECLARE_EXCEPTION(CLS, BASE)                                       \
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

RAVEL_DECLARE_EXCEPTION(ravelException, Poco::Exception)
// A response the client cannot use (status line, headers, framing, status).
RAVEL_DECLARE_EXCEPTION(ProtocolException, ravelException)
RAVEL_DECLARE_EXCEPTION(DownloadInterruptedException, ravelException)
// The segment was asked to abort.
RAVEL_DECLARE_EXCEPTION(DownloadInterruptedLocallyException, DownloadInterruptedException)
// The transfer broke after part of the body was delivered.
RAVEL_DECLARE_EXCEPTION(DownloadInterruptedRemotelyException, DownloadInterruptedException)

} // namespace ravel

// What a failed request raises in its synchronous caller: the message and code
// recorded for the request (the last attempt's failure, or 70000-70003).
RAVEL_DECLARE_EXCEPTION(DlError, Poco::Exception)
