#pragma once

#include "ravel/Session.h"

#include <Poco/Logger.h>

#include <memory>

namespace ravel {

// Repeats a failed operation once on a fresh connection, unless bytes of the
// transfer were already delivered (DownloadInterruptedException), which would
// hand them to the sink twice.
class RecoverableSession : public Session {
public:
    explicit RecoverableSession(std::shared_ptr<Session> session);

    std::string name() const override { return "recoverable->" + session_->name(); }
    SessionKey key() const override { return session_->key(); }
    void connect() override { session_->connect(); }
    void close() override { session_->close(); }
    std::int64_t detect_length(const std::string& uri) override;
    void download(const std::string& uri, const DataSink& sink) override;
    void download_partially(const std::string& uri, std::int64_t offset, std::int64_t length,
                            const DataSink& sink) override;
    void download_if_modified(const std::string& uri, std::string& lastModified, const DataSink& sink) override;
    void obtain_headers(const std::string& uri, std::string& lastModified, std::int64_t& length,
                        std::string& location) override;
    bool reusable() const override { return session_->reusable(); }

    const std::shared_ptr<Session>& wrapped() const { return session_; }

private:
    template <class Op>
    auto recover(Op op) -> decltype(op());

    const std::shared_ptr<Session> session_;
    Poco::Logger& log_;
};

} // namespace ravel
