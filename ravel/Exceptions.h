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
PATCHER_DECLARE_EXCEPTION(DownloadInterruptedException, ravelException)
// The segment was asked to abort.
PATCHER_DECLARE_EXCEPTION(DownloadInterruptedLocallyException, DownloadInterruptedException)
// The transfer broke after part of the body was delivered.
PATCHER_DECLARE_EXCEPTION(DownloadInterruptedRemotelyException, DownloadInterruptedException)

} // namespace ravel

// What a failed request raises in its synchronous caller: the message and code
// recorded for the request (the last attempt's failure, or 70000-70003).
PATCHER_DECLARE_EXCEPTION(DlError, Poco::Exception)
