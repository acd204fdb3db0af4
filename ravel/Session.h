#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Poco {
class URI;
}

namespace ravel {

// Scheme ("http" or "https"), host and port of a connection.
struct SessionKey {
    std::string scheme;
    std::string host;
    std::uint16_t port = 0;

    bool operator==(const SessionKey& other) const {
        return scheme == other.scheme && host == other.host && port == other.port;
    }
    bool operator!=(const SessionKey& other) const { return !(*this == other); }
};

// The key of a URL: the scheme without regard to case, the URL's port or the
// scheme's default. Throws ravelException "Unsupported protocol: " + scheme for
// anything but http and https.
SessionKey sessionKeyOf(const Poco::URI& uri);

// Receives every block of a body as it is read. The bytes are valid during the
// call only.
using DataSink = std::function<void(const char* data, std::int64_t count)>;

// One HTTP/1.1 connection to one scheme, host and port. Used by one thread at a
// time. uri arguments are request targets (path and query). Every operation
// throws ProtocolException for a response it cannot use, and
// DownloadInterruptedRemotelyException when the transfer breaks after bytes
// were handed to the sink.
class Session {
public:
    virtual ~Session() = default;

    virtual std::string name() const = 0;
    virtual SessionKey key() const = 0;
    virtual void connect() = 0;
    virtual void close() = 0;
    // HEAD; the Content-Length of a 200 answer.
    virtual std::int64_t detect_length(const std::string& uri) = 0;
    // GET; the body of a 200 answer.
    virtual void download(const std::string& uri, const DataSink& sink) = 0;
    // GET with a Range; exactly length bytes from offset into sink. A length of
    // 0 sends nothing and calls sink once with a count of 0.
    virtual void download_partially(const std::string& uri, std::int64_t offset, std::int64_t length,
                                    const DataSink& sink) = 0;
    // GET with If-Modified-Since (when lastModified is not empty). A 304 leaves
    // lastModified as it is; a 200 delivers the body and the server's value.
    virtual void download_if_modified(const std::string& uri, std::string& lastModified, const DataSink& sink) = 0;
    // HEAD; a 301-303 answer yields its location, a 200 its length and
    // last-modified value.
    virtual void obtain_headers(const std::string& uri, std::string& lastModified, std::int64_t& length,
                                std::string& location) = 0;
    // True when the last response was read to its end and the server keeps the
    // connection open: only then may another request use it.
    virtual bool reusable() const = 0;
};

class SessionFactory {
public:
    virtual ~SessionFactory() = default;
    virtual std::shared_ptr<Session> create(const SessionKey& key) = 0;
};

} // namespace ravel
