#include "ravel/DlEventObserver.h"

// The outcome is recorded before forwarding: a forwarded observer that throws
// must not cost the caller its result.
void DlSpy::onSuccess(int id, const DlRequestInfo& request) {
    lastModified_ = request.lastModified;
    if (forward_)
        forward_->onSuccess(id, request);
}

void DlSpy::onProgress(int id, const DlProgress& progress) {
    total_ = progress.total;
    if (forward_)
        forward_->onProgress(id, progress);
}

void DlSpy::onError(int id, const DlError& error, const DlRequestInfo& request) {
    keep(error);
    if (forward_)
        forward_->onError(id, error, request);
}
