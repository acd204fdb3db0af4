#include "ravel/GDownloader.h"

GDownloader::GDownloader(const ImplDetail::Options& options) : options_(options) {}

GDownloader::~GDownloader() {
    std::shared_ptr<ImplDetail> service;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        service.swap(service_);
    }
    // A caller still inside an operation holds the service too; shutting it
    // down ends that caller's request with 70001.
    if (service)
        service->shutdown();
}

void GDownloader::setStopState(Patcher::StopState* stopState) {
    std::lock_guard<std::mutex> lock(mutex_);
    stopState_ = stopState;
    if (service_)
        service_->setStopState(stopState);
}

std::shared_ptr<ImplDetail> GDownloader::service() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!service_)
        service_ = std::make_shared<ImplDetail>(stopState_, options_);
    return service_;
}

void GDownloader::download(const std::string& uri, const std::string& path, std::int64_t offset, std::int64_t size,
                           DlEventObserver* observer, const DlSettings* settings) {
    const int id = ++requestId_;
    DlSpy spy(observer);
    service()->download(uri, path, offset, size, id, &spy, settings ? *settings : settings_);
    spy.rethrow();
}

std::int64_t GDownloader::download(const std::string& uri, const std::string& path, DlEventObserver* observer,
                                   const DlSettings* settings) {
    const int id = ++requestId_;
    DlSpy spy(observer);
    service()->download(uri, path, 0, -1, id, &spy, settings ? *settings : settings_);
    spy.rethrow();
    return spy.total();
}

void GDownloader::downloadIfModified(const std::string& uri, const std::string& path, std::string& lastModified,
                                     DlEventObserver* observer, const DlSettings* settings) {
    const int id = ++requestId_;
    DlSpy spy(observer);
    service()->downloadIfModified(uri, path, lastModified, id, &spy, settings ? *settings : settings_);
    spy.rethrow();
    if (spy.lastModified() != lastModified)
        lastModified = spy.lastModified();
}
