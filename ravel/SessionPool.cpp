#include "ravel/SessionPool.h"

#include "ravel/RecoverableSession.h"

#include <Poco/Format.h>
#include <Poco/Exception.h>
#include <Poco/Timestamp.h>

namespace ravel {

namespace {

std::int64_t systemSeconds() { return Poco::Timestamp().epochTime(); }

std::string describe(const SessionKey& key) {
    return Poco::format("%s://%s:%d", key.scheme, key.host, static_cast<int>(key.port));
}

} // namespace

SessionPool::SessionPool(std::shared_ptr<SessionFactory> factory, std::int64_t idleLimit, Clock clock)
    : factory_(std::move(factory)),
      idleLimit_(idleLimit),
      clock_(clock ? std::move(clock) : Clock(systemSeconds)),
      log_(Poco::Logger::get("ravel.SessionPool")) {}

SessionPool::~SessionPool() = default;

void SessionPool::purge(std::list<Entry>& expired) {
    const std::int64_t now = clock_();
    for (auto it = entries_.begin(); it != entries_.end();) {
        auto next = std::next(it);
        if (!it->inUse && now - it->releasedAt > idleLimit_)
            expired.splice(expired.end(), entries_, it);
        it = next;
    }
}

std::shared_ptr<Session> SessionPool::borrow(const SessionKey& key) {
    std::list<Entry> expired;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (log_.trace())
            log_.trace("borrowing session from the pool: " + describe(key));
        purge(expired);
        if (log_.trace()) {
            log_.trace("session pool entries:");
            for (const Entry& entry : entries_) {
                const SessionKey k = entry.session->key();
                log_.trace(Poco::format("    %s: %s://%s:%d | inUse=%b", entry.session->name(), k.scheme, k.host,
                                        static_cast<int>(k.port), entry.inUse));
            }
        }
        for (Entry& entry : entries_) {
            if (!entry.inUse && entry.session->key() == key) {
                entry.inUse = true;
                return entry.session;
            }
        }
        if (log_.trace())
            log_.trace("no available session in the pool...");
    }
    expired.clear();
    // Connecting (a TCP and maybe a TLS handshake) happens outside the lock so
    // that other segments are not held up by a slow server.
    auto session = std::make_shared<RecoverableSession>(factory_->create(key));
    session->connect();
    Entry entry;
    entry.session = session;
    entry.inUse = true;
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(std::move(entry));
    return session;
}

void SessionPool::giveBack(const std::shared_ptr<Session>& session) {
    std::list<Entry> expired;
    std::lock_guard<std::mutex> lock(mutex_);
    purge(expired);
    for (Entry& entry : entries_) {
        if (entry.session == session) {
            entry.releasedAt = clock_();
            entry.inUse = false;
            break;
        }
    }
    // expired is destroyed after the lock is released (declared first).
}

void SessionPool::remove(const std::shared_ptr<Session>& session) {
    std::list<Entry> removed;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->session == session) {
            removed.splice(removed.end(), entries_, it);
            break;
        }
    }
}

std::size_t SessionPool::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

std::size_t SessionPool::idleCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t count = 0;
    for (const Entry& entry : entries_)
        count += entry.inUse ? 0 : 1;
    return count;
}

// ---- PooledSession

PooledSession::PooledSession(std::shared_ptr<SessionPool> pool, const SessionKey& key)
    : pool_(std::move(pool)), key_(key) {}

PooledSession::~PooledSession() {
    try {
        close();
    } catch (...) {
        // close() of a session logs its own failures; nothing may leave a destructor
    }
}

void PooledSession::connect() {
    if (session_)
        return;
    session_ = pool_->borrow(key_);
    busy_ = false;
    name_ = "pooled->" + session_->name();
}

void PooledSession::close() {
    if (!session_)
        return;
    if (!busy_ && session_->reusable()) {
        pool_->giveBack(session_);
    } else {
        session_->close();
        pool_->remove(session_);
    }
    session_.reset();
}

template <class Op>
auto PooledSession::guarded(Op op) -> decltype(op()) {
    if (!session_)
        throw Poco::NullPointerException(name_ + ": not connected");
    busy_ = true;
    try {
        if constexpr (std::is_void_v<decltype(op())>) {
            op();
            busy_ = false;
        } else {
            auto result = op();
            busy_ = false;
            return result;
        }
    } catch (...) {
        pool_->remove(session_);
        throw;
    }
}

std::int64_t PooledSession::detect_length(const std::string& uri) {
    return guarded([&] { return session_->detect_length(uri); });
}

void PooledSession::download(const std::string& uri, const DataSink& sink) {
    guarded([&] { session_->download(uri, sink); });
}

void PooledSession::download_partially(const std::string& uri, std::int64_t offset, std::int64_t length,
                                       const DataSink& sink) {
    guarded([&] { session_->download_partially(uri, offset, length, sink); });
}

void PooledSession::download_if_modified(const std::string& uri, std::string& lastModified,
                                         const DataSink& sink) {
    guarded([&] { session_->download_if_modified(uri, lastModified, sink); });
}

void PooledSession::obtain_headers(const std::string& uri, std::string& lastModified, std::int64_t& length,
                                   std::string& location) {
    guarded([&] { session_->obtain_headers(uri, lastModified, length, location); });
}

std::shared_ptr<Session> PooledSessionFactory::create(const SessionKey& key) {
    return std::make_shared<PooledSession>(pool_, key);
}

} // namespace ravel
