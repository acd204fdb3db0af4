#pragma once

#include "base/ExceptionDelegator.h"
#include "ravel/Exceptions.h"

#include <Poco/Exception.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

// The part of a request that observers see.
struct DlRequestInfo {
    std::string uri;
    std::string path;         // destination file
    std::string lastModified; // server's value; on input the known one for a conditional download
    std::string redirectUri;  // where the header request was redirected, else empty
    std::int64_t offset = 0;  // first byte of the resource to fetch
    std::int64_t size = -1;   // bytes to fetch; -1: the whole resource, length not yet known
    std::int64_t remaining = -1;
};

// One progress notification of a request.
struct DlProgress {
    const DlRequestInfo* request = nullptr;
    std::int64_t received = 0; // bytes of the request held so far
    std::int64_t total = 0;    // bytes the request covers
    std::int64_t chunk = 0;    // bytes delivered by this notification
    bool first = false;        // the one notification sent when the request starts
};

// Observer of one request. onProgress runs on segment threads, possibly several
// at once; onSuccess and onError run once, on the thread that ends the request.
class DlEventObserver {
public:
    virtual ~DlEventObserver() = default;
    virtual void onSuccess(int id, const DlRequestInfo& request) = 0;
    virtual void onProgress(int id, const DlProgress& progress) = 0;
    virtual void onError(int id, const DlError& error, const DlRequestInfo& request) = 0;
};

// Carries a request's outcome back to the synchronous caller and forwards every
// notification to the caller's observer (which may be null).
class DlSpy : public DlEventObserver, public Patcher::ExceptionDelegator {
public:
    explicit DlSpy(DlEventObserver* forward = nullptr) : forward_(forward) {}

    void onSuccess(int id, const DlRequestInfo& request) override;
    void onProgress(int id, const DlProgress& progress) override;
    void onError(int id, const DlError& error, const DlRequestInfo& request) override;

    // Read by the caller once the request has ended.
    const std::string& lastModified() const { return lastModified_; }
    std::int64_t total() const { return total_; }

private:
    DlEventObserver* const forward_; // not owned
    std::string lastModified_;       // written once, by the thread that ends the request
    std::atomic<std::int64_t> total_{0};
};
