#pragma once

#include "ravel/Session.h"

#include <Poco/Logger.h>

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

namespace ravel {

class RecoverableSession;

// Open connections kept for reuse by key. Every connection it makes is a
// RecoverableSession over a session of the factory. Connections idle for more
// than the idle limit are closed at the next borrow or give-back. Thread-safe.
class SessionPool {
public:
    static constexpr std::int64_t kIdleLimit = 60; // seconds
    using Clock = std::function<std::int64_t()>;  // seconds since the epoch

    explicit SessionPool(std::shared_ptr<SessionFactory> factory, std::int64_t idleLimit = kIdleLimit,
                         Clock clock = {});
    ~SessionPool();
    SessionPool(const SessionPool&) = delete;
    SessionPool& operator=(const SessionPool&) = delete;

    // A connected session for key, marked in use: an idle one of the pool, or a
    // new one. A failure to connect goes to the caller and adds nothing.
    std::shared_ptr<Session> borrow(const SessionKey& key);
    // Marks a borrowed session idle again; its connection stays open.
    void giveBack(const std::shared_ptr<Session>& session);
    // Forgets the session; the pool no longer holds its connection.
    void remove(const std::shared_ptr<Session>& session);

    std::size_t size() const;
    std::size_t idleCount() const;

private:
    struct Entry {
        std::shared_ptr<RecoverableSession> session;
        bool inUse = false;
        std::int64_t releasedAt = 0;
    };

    // Moves entries idle for too long into expired; the caller destroys them
    // after unlocking, since destroying a session closes its socket.
    void purge(std::list<Entry>& expired); // caller holds mutex_

    const std::shared_ptr<SessionFactory> factory_;
    const std::int64_t idleLimit_;
    const Clock clock_;
    Poco::Logger& log_;

    mutable std::mutex mutex_;
    std::list<Entry> entries_; // guarded by mutex_
};

// A session that borrows its connection from the pool on connect and gives it
// back on close, unless an operation on it failed or the connection holds
// unread bytes: then the connection is closed and dropped from the pool.
// One thread at a time.
class PooledSession : public Session {
public:
    PooledSession(std::shared_ptr<SessionPool> pool, const SessionKey& key);
    ~PooledSession() override;
    PooledSession(const PooledSession&) = delete;
    PooledSession& operator=(const PooledSession&) = delete;

    std::string name() const override { return name_; }
    SessionKey key() const override { return key_; }
    void connect() override;
    void close() override;
    std::int64_t detect_length(const std::string& uri) override;
    void download(const std::string& uri, const DataSink& sink) override;
    void download_partially(const std::string& uri, std::int64_t offset, std::int64_t length,
                            const DataSink& sink) override;
    void download_if_modified(const std::string& uri, std::string& lastModified, const DataSink& sink) override;
    void obtain_headers(const std::string& uri, std::string& lastModified, std::int64_t& length,
                        std::string& location) override;
    bool reusable() const override { return session_ && session_->reusable(); }

    // The borrowed connection, null when none.
    const std::shared_ptr<Session>& borrowed() const { return session_; }

private:
    template <class Op>
    auto guarded(Op op) -> decltype(op());

    const std::shared_ptr<SessionPool> pool_;
    const SessionKey key_;
    std::shared_ptr<Session> session_;
    bool busy_ = false;
    std::string name_ = "pooled-session-not-initialized";
};

// Makes PooledSessions over one pool, unconnected.
class PooledSessionFactory : public SessionFactory {
public:
    explicit PooledSessionFactory(std::shared_ptr<SessionPool> pool) : pool_(std::move(pool)) {}
    std::shared_ptr<Session> create(const SessionKey& key) override;
    const std::shared_ptr<SessionPool>& pool() const { return pool_; }

private:
    const std::shared_ptr<SessionPool> pool_;
};

} // namespace ravel
