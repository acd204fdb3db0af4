#pragma once

#include "base/Errors.h"

#include <Poco/Exception.h>

#include <string>

namespace ravel {

// The library's exceptions. DownloadInterruptedException and its subclasses
// mean "bytes of this transfer were already delivered": the session layers pass
// them on instead of repeating the request.
PATCHER_DECLARE_EXCEPTION(ravelException, Poco::Exception)
// A response the client cannot use (status line, headers, framing, status).
PATCHER_DECLARE_EXCEPTION(ProtocolException, ravelException)
// A URL whose scheme the client does not speak.
PATCHER_DECLARE_EXCEPTION(UnsupportedProtocolException, ravelException)
// A redirect chain that loops or is too long: asking again gives the same.
PATCHER_DECLARE_EXCEPTION(RedirectException, ProtocolException)
PATCHER_DECLARE_EXCEPTION(DownloadInterruptedException, ravelException)
// The segment was asked to abort.
PATCHER_DECLARE_EXCEPTION(DownloadInterruptedLocallyException, DownloadInterruptedException)
// The transfer broke after part of the body was delivered.
PATCHER_DECLARE_EXCEPTION(DownloadInterruptedRemotelyException, DownloadInterruptedException)
// A whole resource larger than its request allows; code ImplDetail::kTooLarge.
PATCHER_DECLARE_EXCEPTION(TooLargeException, ravelException)
// The run was stopped while the transfer waited for the server.
PATCHER_DECLARE_EXCEPTION(DownloadStoppedException, DownloadInterruptedException)

// A status the operation does not accept; the code is the status. Carries the
// response's Retry-After value, empty when it had none.
class HTTPStatusException : public ProtocolException {
public:
    HTTPStatusException(const std::string& reason, int status, std::string retryAfter = {});
    const std::string& retryAfter() const { return retryAfter_; }
    const char* className() const noexcept override;
    Poco::Exception* clone() const override;
    void rethrow() const override;

private:
    std::string retryAfter_;
};

} // namespace ravel

// What a failed request raises in its synchronous caller: the message and code
// recorded for the request (the last attempt's failure, or 70000-70003).
PATCHER_DECLARE_EXCEPTION(DlError, Poco::Exception)
