#include "ravel/RecoverableSession.h"

#include "ravel/Exceptions.h"

#include <Poco/Format.h>

namespace ravel {

namespace {

std::string textOf(const std::exception& exc) {
    if (auto* poco = dynamic_cast<const Poco::Exception*>(&exc))
        return poco->displayText();
    return exc.what();
}

} // namespace

RecoverableSession::RecoverableSession(std::shared_ptr<Session> session)
    : session_(std::move(session)), log_(Poco::Logger::get("ravel.Session")) {}

template <class Op>
auto RecoverableSession::recover(Op op) -> decltype(op()) {
    try {
        return op();
    } catch (const DownloadInterruptedException& exc) {
        log_.error(Poco::format("%s Download interrupted: %s", name(), exc.displayText()));
        throw;
    } catch (const HTTPStatusException&) {
        throw; // the server's answer, not a broken connection: asking again here doubles every failure
    } catch (const Poco::TimeoutException&) {
        throw; // a silent or trickling server: a new connection would wait as long again
    } catch (const std::exception& exc) {
        log_.error(Poco::format("%s Recovering from exception: ", name()) + textOf(exc));
    }
    session_->close();
    session_->connect();
    return op();
}

std::int64_t RecoverableSession::detect_length(const std::string& uri) {
    if (log_.trace())
        log_.trace(Poco::format("%s detect_length(%s)", name(), uri));
    return recover([&] { return session_->detect_length(uri); });
}

void RecoverableSession::download(const std::string& uri, const DataSink& sink) {
    if (log_.trace())
        log_.trace(Poco::format("%s download(%s)", name(), uri));
    recover([&] { session_->download(uri, sink); });
}

void RecoverableSession::download_partially(const std::string& uri, std::int64_t offset, std::int64_t length,
                                            const DataSink& sink) {
    if (log_.trace())
        log_.trace(Poco::format("%s download_partially(%s, %Ld, %Ld)", name(), uri, static_cast<Poco::Int64>(offset),
                                static_cast<Poco::Int64>(length)));
    recover([&] { session_->download_partially(uri, offset, length, sink); });
}

void RecoverableSession::download_if_modified(const std::string& uri, std::string& lastModified,
                                              const DataSink& sink) {
    if (log_.trace())
        log_.trace(Poco::format("%s download_if_modified(%s, %s)", name(), uri, lastModified));
    recover([&] { session_->download_if_modified(uri, lastModified, sink); });
}

void RecoverableSession::obtain_headers(const std::string& uri, std::string& lastModified, std::int64_t& length,
                                        std::string& location) {
    if (log_.trace())
        log_.trace(Poco::format("%s obtain_headers(%s)", name(), uri));
    recover([&] { session_->obtain_headers(uri, lastModified, length, location); });
}

} // namespace ravel
