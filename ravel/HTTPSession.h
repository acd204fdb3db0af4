#pragma once

#include "ravel/Exceptions.h"
#include "ravel/Session.h"

#include <Poco/Logger.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Timespan.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ravel {

// Fewer than rate bytes a second over a window ends a transfer; a rate of 0
// turns the rule off.
struct LowSpeed {
    std::int64_t rate = 0;
    Poco::Timespan window;
};

// True once whoever waits for a server should give up at once (the run was
// stopped); read from the reading thread while it waits.
using Cancelled = std::function<bool()>;

// Buffered reading over a connected socket. Status and header lines come
// through a small buffer; large body reads go straight from the socket into the
// caller's memory, so a body byte is copied once on its way to the sink.
// The end of the stream or a receive timeout is an exception, and so is
// cancelled() holding while the server is silent (DownloadStoppedException).
class SocketChannel {
public:
    static constexpr std::size_t kLineBufferSize = 16384;
    // How long a silent server may keep a cancelled reader waiting.
    static constexpr std::int64_t kCancelSliceMs = 200;

    // peer names the server in failure texts; timeout is the socket's receive
    // timeout, quoted when it expires.
    SocketChannel(const Poco::Net::StreamSocket& socket, const std::string& peer, const Poco::Timespan& timeout,
                  const LowSpeed& lowSpeed = {}, Cancelled cancelled = {});
    SocketChannel(const SocketChannel&) = delete;
    SocketChannel& operator=(const SocketChannel&) = delete;

    // Sends a request; its response starts a new low-speed window.
    void send(const std::string& data);
    // One line without its CR LF. False, with the first maxLength bytes in
    // line, when no line feed comes within maxLength bytes.
    bool readLine(std::string& line, std::size_t maxLength);
    // Exactly count bytes; received counts those already in data, also when
    // the read fails part way.
    void read(char* data, std::size_t count, std::size_t* received = nullptr);
    // Up to count bytes, at least one, but no longer than patience once some
    // have come: a slow link still hands its bytes on, and a stop is seen.
    // got counts the bytes in data, also when the read fails part way.
    void readFor(char* data, std::size_t count, std::chrono::milliseconds patience, std::size_t& got);
    // Time the reader held the bytes (a paused run, a slow disk) is not the
    // server's: neither the low-speed rule nor the silence timeout counts it.
    void excuse(std::chrono::steady_clock::duration held);
    // Up to count bytes, at least one; 0 once the server closed the connection.
    std::size_t readSome(char* data, std::size_t count);
    // Unread bytes already received, in the buffer or in the socket.
    bool hasPendingInput();
    void close();

private:
    using Clock = std::chrono::steady_clock;

    void fill();
    void restartClock();
    void account(std::size_t received);
    int receive(char* data, std::size_t count);     // the end of the stream throws
    int receiveSome(char* data, std::size_t count); // 0 at the end of the stream

    Poco::Net::StreamSocket socket_;
    const std::string peer_;
    const Poco::Timespan timeout_;
    const LowSpeed lowSpeed_;
    const Cancelled cancelled_;
    Clock::time_point lastData_;
    Clock::time_point windowStart_;
    std::int64_t windowBytes_ = 0;
    std::vector<char> buffer_;
    std::size_t begin_ = 0; // unread bytes are [begin_, end_)
    std::size_t end_ = 0;
};

// The hand-written HTTP/1.1 client of one connection. Requests carry the Host
// line, the extra headers and the operation's own header, nothing else;
// responses are framed by Content-Length, or by the end of the connection
// when a whole resource comes without one. Malformed framing is refused:
// numbers with anything but digits, conflicting lengths, header lines without
// a colon, a partial answer without its range.
class BasicHTTPSession : public Session {
public:
    static constexpr std::int64_t kDefaultReadBufferSize = 524288;
    static constexpr int kDefaultTimeoutSeconds = 20;
    using Headers = std::map<std::string, std::string>;

    explicit BasicHTTPSession(const SessionKey& key);
    ~BasicHTTPSession() override;

    std::string name() const override { return name_; }
    SessionKey key() const override { return key_; }
    std::int64_t detect_length(const std::string& uri) override;
    void download(const std::string& uri, const DataSink& sink) override;
    void download_partially(const std::string& uri, std::int64_t offset, std::int64_t length,
                            const DataSink& sink) override;
    void download_if_modified(const std::string& uri, std::string& lastModified, const DataSink& sink) override;
    void obtain_headers(const std::string& uri, std::string& lastModified, std::int64_t& length,
                        std::string& location) override;
    bool reusable() const override { return reusable_; }

    // The connected channel; Poco::NullPointerException when not connected.
    virtual SocketChannel& stream() = 0;

    void setHeader(const std::string& name, const std::string& value) { headers_[name] = value; }
    const Headers& headers() const { return headers_; }
    void setReadBufferSize(std::int64_t size) { readBufferSize_ = size; }
    std::int64_t readBufferSize() const { return readBufferSize_; }
    // Bounds connecting, the TLS handshake and every wait for the next bytes
    // of a response.
    void setTimeout(const Poco::Timespan& timeout) { timeout_ = timeout; }
    const Poco::Timespan& timeout() const { return timeout_; }
    void setLowSpeed(const LowSpeed& lowSpeed) { lowSpeed_ = lowSpeed; }
    void setCancelled(Cancelled cancelled) { cancelled_ = std::move(cancelled); }

protected:
    struct Response {
        std::string version;
        int status = 0;
        std::string reason;
        std::map<std::string, std::string> headers; // lower-case names, trimmed values
        bool hasContentLength = false;
        std::int64_t contentLength = 0;
        std::string header(const std::string& lowerName) const;
        bool chunked() const;
    };

    static HTTPStatusException statusError(const Response& response);

    void sendRequest(const std::string& method, const std::string& uri, const std::string& extraName = {},
                     const std::string& extraValue = {});
    Response readResponse();
    void read_content(std::int64_t count, const DataSink& sink);
    void read_until_close(const DataSink& sink);
    // Hands bytes to the sink; its time is excused from the connection's clock.
    void deliver(const DataSink& sink, const char* data, std::int64_t count);
    // A chunked body: the first `skip` decoded bytes are dropped, then up to
    // `limit` (all when negative) go to the sink; returns the bytes delivered.
    std::int64_t read_chunked(std::int64_t skip, std::int64_t limit, const DataSink& sink);
    // The body of a whole-resource response, by its length or to the end.
    void read_body(const Response& response, const DataSink& sink);
    void skip(std::int64_t count);
    // The connection may carry another request once a response with this
    // framing was read up to bodyRead bytes of its body.
    void finishResponse(const Response& response, std::int64_t bodyRead, bool bodyless);
    // Opens the channel over a connected socket: receive timeout, buffers.
    std::unique_ptr<SocketChannel> openChannel(Poco::Net::StreamSocket& socket);
    // Closes the channel, logging and swallowing a failure.
    void closeChannel(std::unique_ptr<SocketChannel>& channel);
    Poco::Net::SocketAddress address() const;
    std::string peer() const; // host:port, as failure texts name the server

    Poco::Logger& log_;
    Cancelled cancelled_;

private:
    const std::string name_;
    const SessionKey key_;
    Headers headers_;
    std::int64_t readBufferSize_ = kDefaultReadBufferSize;
    Poco::Timespan timeout_{kDefaultTimeoutSeconds, 0};
    LowSpeed lowSpeed_;
    bool reusable_ = false;
    bool chunkedDone_ = false; // the last chunked body was read to its end
};

// Plain TCP.
class HTTPSession : public BasicHTTPSession {
public:
    explicit HTTPSession(const SessionKey& key) : BasicHTTPSession(key) {}
    ~HTTPSession() override;
    void connect() override;
    void close() override;
    SocketChannel& stream() override;

private:
    Poco::Net::StreamSocket socket_;
    std::unique_ptr<SocketChannel> channel_;
};

// TLS with the socket library's default client context. Without an
// application configuration that sets one up, the library installs a context
// that checks the server against the system's certificate authorities and
// rejects a certificate that fails.
class SecureHTTPSession : public BasicHTTPSession {
public:
    explicit SecureHTTPSession(const SessionKey& key) : BasicHTTPSession(key) {}
    ~SecureHTTPSession() override;
    void connect() override;
    void close() override;
    SocketChannel& stream() override;

private:
    Poco::Net::SecureStreamSocket socket_;
    std::unique_ptr<SocketChannel> channel_;
};

// Makes unconnected sessions: HTTPSession for "http", SecureHTTPSession for
// anything else, each with the extra headers, read buffer size, timeout,
// low-speed rule and cancel test.
class HTTPSessionFactory : public SessionFactory {
public:
    explicit HTTPSessionFactory(BasicHTTPSession::Headers headers = {}, std::int64_t readBufferSize = 0,
                                Poco::Timespan timeout = Poco::Timespan(BasicHTTPSession::kDefaultTimeoutSeconds, 0),
                                LowSpeed lowSpeed = {}, Cancelled cancelled = {})
        : headers_(std::move(headers)),
          readBufferSize_(readBufferSize),
          timeout_(timeout),
          lowSpeed_(lowSpeed),
          cancelled_(std::move(cancelled)) {}
    std::shared_ptr<Session> create(const SessionKey& key) override;

private:
    const BasicHTTPSession::Headers headers_;
    const std::int64_t readBufferSize_; // 0: the session's default
    const Poco::Timespan timeout_;
    const LowSpeed lowSpeed_;
    const Cancelled cancelled_;
};

} // namespace ravel
