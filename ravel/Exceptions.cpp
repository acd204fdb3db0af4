#include "ravel/Exceptions.h"

namespace ravel {

PATCHER_IMPLEMENT_EXCEPTION(ravelException, Poco::Exception, "RAVEL library error")
PATCHER_IMPLEMENT_EXCEPTION(ProtocolException, ravelException, "Protocol error")
PATCHER_IMPLEMENT_EXCEPTION(DownloadInterruptedException, ravelException, "Download interrupted")
PATCHER_IMPLEMENT_EXCEPTION(DownloadInterruptedLocallyException, DownloadInterruptedException,
                            "Download interrupted loccally")
PATCHER_IMPLEMENT_EXCEPTION(DownloadInterruptedRemotelyException, DownloadInterruptedException,
                            "Download interrupted remotely")

} // namespace ravel

PATCHER_IMPLEMENT_EXCEPTION(DlError, Poco::Exception, "Download error")
