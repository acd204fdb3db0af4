#include "ravel/Exceptions.h"

namespace ravel {

PATCHER_IMPLEMENT_EXCEPTION(ravelException, Poco::Exception, "RAVEL library error")
PATCHER_IMPLEMENT_EXCEPTION(ProtocolException, ravelException, "Protocol error")
PATCHER_IMPLEMENT_EXCEPTION(UnsupportedProtocolException, ravelException, "RAVEL library error")
PATCHER_IMPLEMENT_EXCEPTION(RedirectException, ProtocolException, "Protocol error")
PATCHER_IMPLEMENT_EXCEPTION(DownloadInterruptedException, ravelException, "Download interrupted")
PATCHER_IMPLEMENT_EXCEPTION(DownloadInterruptedLocallyException, DownloadInterruptedException,
                            "Download interrupted loccally")
PATCHER_IMPLEMENT_EXCEPTION(DownloadInterruptedRemotelyException, DownloadInterruptedException,
                            "Download interrupted remotely")
PATCHER_IMPLEMENT_EXCEPTION(TooLargeException, ravelException, "RAVEL library error")
PATCHER_IMPLEMENT_EXCEPTION(DownloadStoppedException, DownloadInterruptedException, "Download stopped")

HTTPStatusException::HTTPStatusException(const std::string& reason, int status, std::string retryAfter)
    : ProtocolException(reason, status), retryAfter_(std::move(retryAfter)) {}

const char* HTTPStatusException::className() const noexcept { return ::Patcher::demangledName<HTTPStatusException>(); }
Poco::Exception* HTTPStatusException::clone() const { return new HTTPStatusException(*this); }
void HTTPStatusException::rethrow() const { throw *this; }

} // namespace ravel

PATCHER_IMPLEMENT_EXCEPTION(DlError, Poco::Exception, "Download error")
