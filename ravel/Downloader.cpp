#include "ravel/Downloader.h"

#include "ravel/Exceptions.h"
#include "ravel/Writer.h"

#include <Poco/Format.h>
#include <Poco/Logger.h>

#include <stdexcept>

namespace ravel {

namespace {

Poco::Logger& segmentLog() {
    static Poco::Logger& log = Poco::Logger::get("ravel.Segment");
    return log;
}

std::string requestTarget(const Poco::URI& uri) {
    const std::string target = uri.getPathAndQuery();
    return target.empty() ? std::string("/") : target;
}

} // namespace

// ---- Segment

Segment::Segment(const Poco::URI& uri, std::int64_t fileOffset, std::int64_t relOffset, std::int64_t length,
                 std::shared_ptr<Session> session)
    : uri_(uri),
      uriText_(uri.toString()),
      fileOffset_(fileOffset),
      relOffset_(relOffset),
      length_(length),
      session_(std::move(session)) {}

Segment::~Segment() { join(); }

void Segment::start(Downloader& downloader) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != Idle)
        return;
    if (thread_.joinable())
        thread_.join(); // an earlier attempt's thread, already at its end
    // Running before the thread exists, so that an abort() right after start()
    // is seen by the first block. std::thread starts the thread or throws.
    state_ = Running;
    try {
        thread_ = std::thread([this, &downloader] { run(downloader); });
    } catch (...) {
        // Left running, the segment could never be started again and its
        // request would wait for it for ever.
        state_ = Idle;
        throw;
    }
}

bool Segment::abort() {
    std::lock_guard<std::mutex> lock(mutex_);
    int running = Running;
    return state_.compare_exchange_strong(running, AbortRequested);
}

bool Segment::join() {
    // Joined outside the mutex: the thread may still need it (abort).
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
            thread.swap(thread_);
    }
    if (thread.joinable())
        thread.join();
    return state_ != Idle;
}

void Segment::closeSession() {
    try {
        session_->close();
    } catch (const std::exception& exc) {
        segmentLog().error(Poco::format("Segment (%s) -> %s: close failed: %s", session_->name(), uriText_,
                                        std::string(exc.what())));
    }
}

void Segment::run(Downloader& downloader) {
    Poco::Logger& log = segmentLog();
    std::string sessionName = session_->name();
    try {
        session_->connect();
        sessionName = session_->name();
        const DataSink sink = [this, &downloader, &sessionName](const char* data, std::int64_t count) {
            onBlock(downloader, sessionName, data, count);
        };
        const std::int64_t done = done_;
        session_->download_partially(requestTarget(uri_), fileOffset_ + done, length_ - done, sink);
    } catch (const DownloadInterruptedLocallyException&) {
        log.error(Poco::format("Segment (%s) -> %s: aborted", sessionName, uriText_));
        closeSession();
    } catch (const Poco::Exception& exc) {
        log.error(Poco::format("Segment (%s) Poco exception -> %s: %s", sessionName, uriText_, exc.displayText()));
        closeSession();
        downloader.fail(failureOf(exc));
    } catch (const std::exception& exc) {
        log.error(Poco::format("Segment (%s) exception -> %s: %s", sessionName, uriText_, std::string(exc.what())));
        closeSession();
        downloader.fail(failureOf(exc));
    } catch (...) {
        log.error(Poco::format("Segment (%s) exception -> %s: unknown exception", sessionName, uriText_));
        closeSession();
        downloader.fail("unknown exception in a segment", 0);
    }
    state_ = Idle;
}

void Segment::onBlock(Downloader& downloader, const std::string& sessionName, const char* data, std::int64_t count) {
    // The session stays open here: closing it would destroy the connection
    // whose read loop called us. run() closes it once the exception is back.
    try {
        downloader.beginBlock();
        const std::int64_t done = done_;
        downloader.write(data, count, relOffset_ + done);
        BlockNotification block;
        block.uri = uriText_;
        block.filePosition = fileOffset_ + done;
        block.requestPosition = relOffset_ + done;
        block.count = count;
        downloader.notify(block);
        downloader.endBlock();
    } catch (const Poco::Exception& exc) {
        segmentLog().error(Poco::format("Segment (%s) -> %s: download_callback Poco exception: %s", sessionName,
                                        uriText_, exc.displayText()));
        downloader.fail(failureOf(exc));
        throw;
    } catch (const std::exception& exc) {
        segmentLog().error(Poco::format("Segment (%s) -> %s: download_callback exception: %s", sessionName, uriText_,
                                        std::string(exc.what())));
        downloader.fail(failureOf(exc));
        throw;
    }
    done_ += count;
    downloader.advance(count);
    if (state_ == AbortRequested)
        throw DownloadInterruptedLocallyException(0);
}

// ---- Downloader

Downloader::Downloader(DownloaderObserver* observer, std::shared_ptr<Writer> writer)
    : observer_(observer), writer_(std::move(writer)) {}

Downloader::~Downloader() { joinAll(); }

void Downloader::addSegment(const std::shared_ptr<Segment>& segment) {
    std::lock_guard<std::mutex> lock(listMutex_);
    std::int64_t done = 0;
    if (writer_) {
        const std::int64_t rel = segment->relOffset();
        for (const Range& range : writer_->storedRanges()) {
            if (range.start <= rel && rel <= range.start + range.length) {
                done = std::min(segment->length(), range.start + range.length - rel);
                break;
            }
        }
    }
    segment->setDone(done);
    segments_.push_back(segment);
    total_ += segment->length();
    done_ += done;
}

void Downloader::start() {
    std::lock_guard<std::mutex> lock(listMutex_);
    for (const auto& segment : segments_)
        segment->start(*this);
}

void Downloader::abortAll() {
    std::lock_guard<std::mutex> lock(listMutex_);
    for (const auto& segment : segments_)
        segment->abort();
}

void Downloader::joinAll() {
    for (const auto& segment : segments())
        segment->join();
}

void Downloader::write(const char* data, std::int64_t count, std::int64_t position) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (count > 0)
        writer_->write(data, count, position);
}

void Downloader::notify(const BlockNotification& block) {
    if (observer_)
        observer_->onData(*this, block);
}

void Downloader::fail(const std::string& message, int code) {
    if (observer_)
        observer_->onError(*this, message, code);
}

void Downloader::fail(const Failure& failure) {
    if (observer_)
        observer_->onFailure(*this, failure);
}

void Downloader::beginBlock() {
    if (observer_)
        observer_->onBlockBegin(*this);
}

void Downloader::endBlock() {
    if (observer_)
        observer_->onBlockEnd(*this);
}

std::int64_t Downloader::total() const {
    std::lock_guard<std::mutex> lock(listMutex_);
    return total_;
}

std::vector<std::shared_ptr<Segment>> Downloader::segments() const {
    std::lock_guard<std::mutex> lock(listMutex_);
    return segments_;
}

// ---- DownloaderBuilder

DownloaderBuilder& DownloaderBuilder::sessionFactory(std::shared_ptr<SessionFactory> factory) {
    factory_ = std::move(factory);
    return *this;
}

DownloaderBuilder& DownloaderBuilder::uri(const Poco::URI& uri) {
    uri_ = uri;
    return *this;
}

DownloaderBuilder& DownloaderBuilder::observer(DownloaderObserver* observer) {
    observer_ = observer;
    return *this;
}

DownloaderBuilder& DownloaderBuilder::writer(std::shared_ptr<Writer> writer) {
    writer_ = std::move(writer);
    return *this;
}

DownloaderBuilder& DownloaderBuilder::addSegment(std::int64_t fileOffset, std::int64_t relOffset,
                                                 std::int64_t length) {
    std::shared_ptr<Session> session = factory_->create(sessionKeyOf(uri_));
    segments_.push_back(std::make_shared<Segment>(uri_, fileOffset, relOffset, length, std::move(session)));
    return *this;
}

std::shared_ptr<Downloader> DownloaderBuilder::build() {
    auto downloader = std::make_shared<Downloader>(observer_, writer_);
    for (const auto& segment : segments_)
        downloader->addSegment(segment);
    return downloader;
}

} // namespace ravel
