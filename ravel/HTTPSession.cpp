#include "ravel/HTTPSession.h"

#include "ravel/Exceptions.h"

#include <Poco/Exception.h>
#include <Poco/Format.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/RejectCertificateHandler.h>
#include <Poco/Net/SSLException.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/Net/SocketImpl.h>
#include <Poco/NumberFormatter.h>
#include <Poco/String.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <limits>
#include <mutex>

namespace ravel {

namespace {

constexpr std::size_t kMaxLine = 8192;
constexpr int kMaxHeaders = 256;
// A body's bytes reach the sink at least this often on a slow link; the sink is
// where a stop is seen.
constexpr std::chrono::milliseconds kDeliveryPatience(500);

std::atomic<int> gSessionCounter{0};

std::string textOf(const std::exception& exc) {
    if (auto* poco = dynamic_cast<const Poco::Exception*>(&exc))
        return poco->displayText();
    return exc.what();
}

// A token of an invalid status line goes into a message: keep it short and
// printable.
std::string printable(const std::string& text) {
    std::string out;
    for (char c : text.substr(0, 64))
        out += (c >= 0x20 && c < 0x7f) ? c : '?';
    if (text.size() > 64)
        out += "...";
    return out;
}

std::string firstToken(const std::string& line) {
    const auto begin = line.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return {};
    const auto end = line.find_first_of(" \t\r", begin);
    return line.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

// HTTP numbers are plain decimal digits: no sign, no separators, no spaces.
bool parseHttpNumber(const std::string& text, std::int64_t& value) {
    if (text.empty() || text.size() > 18) // 18 digits cannot overflow
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

// "bytes first-last/total": true with first and last when it has that shape.
bool parseContentRange(const std::string& value, Poco::Int64& first, Poco::Int64& last) {
    const std::string unit = "bytes ";
    if (Poco::icompare(value.substr(0, unit.size()), unit) != 0)
        return false;
    const std::string rest = value.substr(unit.size());
    const auto dash = rest.find('-');
    const auto slash = rest.find('/');
    if (dash == std::string::npos || slash == std::string::npos || slash < dash)
        return false;
    std::int64_t a = 0;
    std::int64_t b = 0;
    if (!parseHttpNumber(Poco::trim(rest.substr(0, dash)), a) ||
        !parseHttpNumber(Poco::trim(rest.substr(dash + 1, slash - dash - 1)), b) || b < a)
        return false;
    first = a;
    last = b;
    return true;
}

using Clock = std::chrono::steady_clock;

// The socket library's own exception for a socket error code, as a blocking
// connect would raise it.
struct SocketErrors : Poco::Net::SocketImpl {
    [[noreturn]] static void raise(int code, const std::string& arg) {
        error(code, arg);
        throw Poco::Net::NetException(arg, code);
    }
};

// Waits for the socket in short slices, so that a stop is seen while a host
// does not answer; the whole wait ends at the deadline.
void awaitSocket(const Poco::Net::Socket& socket, int mode, Clock::time_point deadline, const Cancelled& cancelled,
                 const std::string& stopText) {
    for (;;) {
        if (cancelled && cancelled())
            throw DownloadStoppedException(stopText);
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            throw Poco::TimeoutException();
        if (socket.poll(Poco::Timespan(std::min<Poco::Timespan::TimeDiff>(left, SocketChannel::kCancelSliceMs * 1000)),
                        mode))
            return;
    }
}

// Leaves the socket connected and non-blocking. The socket library names no
// address in a failed connect; the log and the caller should see which server
// refused.
void connectSocket(Poco::Net::StreamSocket& socket, const Poco::Net::SocketAddress& address,
                   const Poco::Timespan& timeout, const std::string& peer, const Cancelled& cancelled) {
    try {
        socket.connectNB(address);
        awaitSocket(socket, Poco::Net::Socket::SELECT_READ | Poco::Net::Socket::SELECT_WRITE |
                                Poco::Net::Socket::SELECT_ERROR,
                    Clock::now() + std::chrono::microseconds(timeout.totalMicroseconds()), cancelled,
                    "Stopped while connecting to " + peer);
        if (const int error = socket.impl()->socketError())
            SocketErrors::raise(error, address.toString());
    } catch (const Poco::Net::ConnectionRefusedException& exc) {
        throw Poco::Net::ConnectionRefusedException(peer, exc.code());
    } catch (const Poco::TimeoutException& exc) {
        throw Poco::TimeoutException("Connecting to " + peer, exc.code());
    }
}

// The handshake over a non-blocking socket, bounded by the same timeout. The
// certificate checks are those of a blocking connect: the context's during the
// handshake, the host name's after it.
void handshake(Poco::Net::SecureStreamSocket& socket, const Poco::Timespan& timeout, const std::string& peer,
               const Cancelled& cancelled) {
    const Clock::time_point deadline = Clock::now() + std::chrono::microseconds(timeout.totalMicroseconds());
    try {
        for (;;) {
            const int rc = socket.completeHandshake();
            if (rc == 1)
                break;
            if (rc != Poco::Net::SecureStreamSocket::ERR_SSL_WANT_READ &&
                rc != Poco::Net::SecureStreamSocket::ERR_SSL_WANT_WRITE)
                throw Poco::Net::SSLConnectionUnexpectedlyClosedException(peer);
            awaitSocket(socket,
                        rc == Poco::Net::SecureStreamSocket::ERR_SSL_WANT_READ ? Poco::Net::Socket::SELECT_READ
                                                                                : Poco::Net::Socket::SELECT_WRITE,
                        deadline, cancelled, "Stopped during the TLS handshake with " + peer);
        }
    } catch (const Poco::TimeoutException& exc) {
        throw Poco::TimeoutException("Connecting to " + peer, exc.code());
    }
    socket.verifyPeerCertificate();
}

std::mutex gContextMutex;

// The socket library's default client context. An application configures it
// from its "openSSL.client" settings; without an application (tools, tests)
// it would refuse, so one is installed here: system certificate authorities,
// failed checks rejected rather than asked about on a console.
Poco::Net::Context::Ptr defaultClientContext() {
    static std::once_flag once;
    std::call_once(once, [] { Poco::Net::initializeSSL(); });
    std::lock_guard<std::mutex> lock(gContextMutex);
    try {
        return Poco::Net::SSLManager::instance().defaultClientContext();
    } catch (const Poco::IllegalStateException&) {
        Poco::Net::Context::Ptr context =
            new Poco::Net::Context(Poco::Net::Context::TLS_CLIENT_USE, "", "", "", Poco::Net::Context::VERIFY_RELAXED,
                                   9, true, "ALL:!ADH:!LOW:!EXP:!MD5:@STRENGTH");
        Poco::Net::SSLManager::InvalidCertificateHandlerPtr reject(new Poco::Net::RejectCertificateHandler(false));
        Poco::Net::SSLManager::instance().initializeClient(nullptr, reject, context);
        return Poco::Net::SSLManager::instance().defaultClientContext();
    }
}

} // namespace

// ---- SocketChannel

SocketChannel::SocketChannel(const Poco::Net::StreamSocket& socket, const std::string& peer,
                             const Poco::Timespan& timeout, const LowSpeed& lowSpeed, Cancelled cancelled)
    : socket_(socket),
      peer_(peer),
      timeout_(timeout),
      lowSpeed_(lowSpeed),
      cancelled_(std::move(cancelled)),
      buffer_(kLineBufferSize) {
    restartClock();
}

void SocketChannel::restartClock() {
    lastData_ = windowStart_ = Clock::now();
    windowBytes_ = 0;
}

// The low-speed rule: a window that brought fewer than rate * window bytes
// ends the transfer, so a server that trickles cannot hold a request for ever.
void SocketChannel::account(std::size_t received) {
    const Clock::time_point now = Clock::now();
    if (received > 0)
        lastData_ = now;
    windowBytes_ += static_cast<std::int64_t>(received);
    if (lowSpeed_.rate <= 0 || lowSpeed_.window <= 0)
        return;
    const std::chrono::microseconds window(lowSpeed_.window.totalMicroseconds());
    if (now - windowStart_ < window)
        return;
    const double seconds = std::chrono::duration<double>(now - windowStart_).count();
    if (static_cast<double>(windowBytes_) < static_cast<double>(lowSpeed_.rate) * seconds)
        throw Poco::TimeoutException(Poco::format("Less than %Ld bytes/s from %s for %.1f seconds",
                                                  static_cast<Poco::Int64>(lowSpeed_.rate), peer_, seconds));
    windowStart_ = now;
    windowBytes_ = 0;
}

int SocketChannel::receiveSome(char* data, std::size_t count) {
    for (;;) {
        try {
            const int n =
                std::max(0, socket_.receiveBytes(data, static_cast<int>(std::min<std::size_t>(count, INT_MAX))));
            account(static_cast<std::size_t>(n));
            return n;
        } catch (const Poco::TimeoutException&) {
            // The socket wakes at least once per low-speed window, and often
            // enough to see a stop (see BasicHTTPSession::openChannel); silence
            // ends at the timeout.
            if (cancelled_ && cancelled_())
                throw DownloadStoppedException("Stopped while waiting for " + peer_);
            if (Clock::now() - lastData_ >= std::chrono::microseconds(timeout_.totalMicroseconds()))
                throw Poco::TimeoutException(Poco::format("No data from %s for %.1f seconds", peer_,
                                                          static_cast<double>(timeout_.totalMilliseconds()) / 1000.0));
            account(0);
        }
    }
}

int SocketChannel::receive(char* data, std::size_t count) {
    const int n = receiveSome(data, count);
    if (n == 0)
        throw Poco::Net::NetException("Connection closed by the server", peer_);
    return n;
}

std::size_t SocketChannel::readSome(char* data, std::size_t count) {
    if (begin_ < end_) {
        const std::size_t buffered = std::min(count, end_ - begin_);
        std::memcpy(data, buffer_.data() + begin_, buffered);
        begin_ += buffered;
        return buffered;
    }
    return count == 0 ? 0 : static_cast<std::size_t>(receiveSome(data, count));
}

void SocketChannel::send(const std::string& data) {
    restartClock();
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        const int n = socket_.sendBytes(p, static_cast<int>(std::min<std::size_t>(left, INT_MAX)));
        if (n <= 0)
            throw Poco::Net::NetException("Failed to send the request");
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

void SocketChannel::fill() {
    if (begin_ == end_) {
        begin_ = end_ = 0;
    } else if (end_ == buffer_.size()) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    end_ += static_cast<std::size_t>(receive(buffer_.data() + end_, buffer_.size() - end_));
}

bool SocketChannel::readLine(std::string& line, std::size_t maxLength) {
    maxLength = std::min(maxLength, buffer_.size());
    for (;;) {
        const char* begin = buffer_.data() + begin_;
        const char* lf = static_cast<const char*>(std::memchr(begin, '\n', end_ - begin_));
        if (lf && static_cast<std::size_t>(lf - begin) <= maxLength) {
            line.assign(begin, lf);
            begin_ += line.size() + 1;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return true;
        }
        if (end_ - begin_ >= maxLength) {
            line.assign(begin, maxLength);
            return false;
        }
        fill();
    }
}

void SocketChannel::read(char* data, std::size_t count, std::size_t* received) {
    std::size_t ignored = 0;
    std::size_t& got = received ? *received : ignored;
    got = std::min(count, end_ - begin_);
    std::memcpy(data, buffer_.data() + begin_, got);
    begin_ += got;
    // Straight from the socket: never read past the bytes asked for.
    while (got < count)
        got += static_cast<std::size_t>(receive(data + got, count - got));
}

void SocketChannel::readFor(char* data, std::size_t count, std::chrono::milliseconds patience, std::size_t& got) {
    const Clock::time_point start = Clock::now();
    got = std::min(count, end_ - begin_);
    std::memcpy(data, buffer_.data() + begin_, got);
    begin_ += got;
    while (got < count && (got == 0 || Clock::now() - start < patience))
        got += static_cast<std::size_t>(receive(data + got, count - got));
}

void SocketChannel::excuse(Clock::duration held) {
    windowStart_ += held;
    lastData_ += held;
}

bool SocketChannel::hasPendingInput() {
    if (begin_ < end_)
        return true;
    try {
        return socket_.available() > 0;
    } catch (const Poco::Exception&) {
        return true;
    }
}

void SocketChannel::close() { socket_.close(); }

// ---- BasicHTTPSession

std::string BasicHTTPSession::Response::header(const std::string& lowerName) const {
    auto it = headers.find(lowerName);
    return it == headers.end() ? std::string() : it->second;
}

BasicHTTPSession::BasicHTTPSession(const SessionKey& key)
    : log_(Poco::Logger::get("ravel.Session")),
      name_("basic-http-session-" + Poco::NumberFormatter::format0(++gSessionCounter, 3)),
      key_(key) {}

BasicHTTPSession::~BasicHTTPSession() = default;

Poco::Net::SocketAddress BasicHTTPSession::address() const { return Poco::Net::SocketAddress(key_.host, key_.port); }

std::string BasicHTTPSession::peer() const { return key_.host + ":" + std::to_string(key_.port); }

std::unique_ptr<SocketChannel> BasicHTTPSession::openChannel(Poco::Net::StreamSocket& socket) {
    Poco::Timespan wake = timeout_;
    if (lowSpeed_.rate > 0 && lowSpeed_.window > 0 && lowSpeed_.window < wake)
        wake = lowSpeed_.window;
    const Poco::Timespan slice(SocketChannel::kCancelSliceMs * 1000);
    if (cancelled_ && slice < wake)
        wake = slice;
    socket.setReceiveTimeout(wake);
    socket.setSendTimeout(timeout_);
    socket.setNoDelay(true);
    reusable_ = true; // a fresh connection holds nothing unread
    return std::make_unique<SocketChannel>(socket, peer(), timeout_,
                                           lowSpeed_, cancelled_);
}

void BasicHTTPSession::closeChannel(std::unique_ptr<SocketChannel>& channel) {
    if (log_.trace())
        log_.trace(Poco::format("%s: closing...", name_));
    reusable_ = false;
    if (!channel)
        return;
    try {
        channel->close();
    } catch (const std::exception& exc) {
        log_.warning(Poco::format("%s: failed to close - %s", name_, textOf(exc)));
    }
    channel.reset();
}

void BasicHTTPSession::sendRequest(const std::string& method, const std::string& uri, const std::string& extraName,
                                   const std::string& extraValue) {
    reusable_ = false;
    std::string host = key_.host;
    if (host.find(':') != std::string::npos)
        host = "[" + host + "]"; // an IPv6 literal
    std::string request;
    request.reserve(256);
    request.append(method).append(" ").append(uri.empty() ? std::string("/") : uri).append(" HTTP/1.1\r\n");
    request.append("Host: ").append(host).append(":").append(std::to_string(key_.port)).append("\r\n");
    for (const auto& header : headers_)
        request.append(header.first).append(":").append(header.second).append("\r\n");
    if (!extraName.empty())
        request.append(extraName).append(":").append(extraValue).append("\r\n");
    request.append("\r\n");
    stream().send(request);
}

BasicHTTPSession::Response BasicHTTPSession::readResponse() {
    SocketChannel& channel = stream();
    Response response;

    std::string line;
    const bool complete = channel.readLine(line, kMaxLine);
    const std::string token = firstToken(line);
    if (!complete || token.compare(0, 5, "HTTP/") != 0)
        throw ProtocolException("Invalid response: " + printable(token));
    response.version = token;
    std::string rest = Poco::trim(line.substr(line.find(token) + token.size()));
    const auto space = rest.find_first_of(" \t");
    const std::string code = rest.substr(0, space);
    std::int64_t status = 0;
    if (code.size() != 3 || !parseHttpNumber(code, status))
        throw ProtocolException("Invalid response status: " + printable(code));
    response.status = static_cast<int>(status);
    response.reason = space == std::string::npos ? std::string() : Poco::trim(rest.substr(space));

    std::vector<std::string> lengths; // every Content-Length value, as sent
    for (int count = 0;; ++count) {
        if (!channel.readLine(line, kMaxLine))
            throw ProtocolException("Response header line longer than " + std::to_string(kMaxLine) + " bytes");
        if (line.empty())
            break;
        if (count == kMaxHeaders)
            throw ProtocolException("Too many response headers");
        const auto colon = line.find(':');
        if (colon == std::string::npos || colon == 0)
            throw ProtocolException("Invalid response header line: " + printable(line));
        const std::string name = Poco::toLower(Poco::trim(line.substr(0, colon)));
        const std::string value = Poco::trim(line.substr(colon + 1));
        if (name == "content-length")
            lengths.push_back(value);
        response.headers[name] = value;
    }

    if (!lengths.empty()) {
        // Two framings of one body: whichever we chose, the peer may mean the other.
        for (const std::string& other : lengths)
            if (other != lengths.front())
                throw ProtocolException("Conflicting Content-Length headers in the response: '" + lengths.front() +
                                        "' and '" + other + "'.");
        std::int64_t value = 0;
        if (!parseHttpNumber(lengths.front(), value))
            throw ProtocolException("HTTP header Content-Length has invalid value: '" + lengths.front() + "'.");
        response.hasContentLength = true;
        response.contentLength = value;
    }
    return response;
}

namespace {

// Chunked framing is read; any other coding (compression) would store its
// bytes as file data.
void requireIdentityFraming(const std::map<std::string, std::string>& headers) {
    auto coding = headers.find("transfer-encoding");
    if (coding != headers.end() && Poco::icompare(coding->second, "identity") != 0 &&
        Poco::icompare(coding->second, "chunked") != 0)
        throw ProtocolException("Unsupported Transfer-Encoding of the response: '" + coding->second + "'.");
}

} // namespace

HTTPStatusException BasicHTTPSession::statusError(const Response& response) {
    return HTTPStatusException(response.reason, response.status, response.header("retry-after"));
}

bool BasicHTTPSession::Response::chunked() const {
    return Poco::icompare(header("transfer-encoding"), "chunked") == 0;
}

void BasicHTTPSession::finishResponse(const Response& response, std::int64_t bodyRead, bool bodyless) {
    const std::string connection = Poco::toLower(response.header("connection"));
    const bool keepAlive = response.version == "HTTP/1.0" ? connection.find("keep-alive") != std::string::npos
                                                          : connection.find("close") == std::string::npos;
    const bool bodyDone =
        bodyless || (response.chunked() ? chunkedDone_
                                        : response.hasContentLength && bodyRead == response.contentLength);
    reusable_ = keepAlive && bodyDone && !stream().hasPendingInput();
}

void BasicHTTPSession::read_content(std::int64_t count, const DataSink& sink) {
    const std::int64_t asked = count;
    std::int64_t delivered = 0;
    try {
        std::vector<char> buffer(static_cast<std::size_t>(std::min(count, std::max<std::int64_t>(readBufferSize_, 1))));
        SocketChannel& channel = stream();
        while (count > 0) {
            const std::int64_t n = std::min<std::int64_t>(count, static_cast<std::int64_t>(buffer.size()));
            std::size_t got = 0;
            try {
                channel.readFor(buffer.data(), static_cast<std::size_t>(n), kDeliveryPatience, got);
            } catch (const std::exception&) {
                // What arrived before the break is good data: handed on, it is
                // stored and recorded, and the next attempt starts after it.
                if (got > 0) {
                    delivered += static_cast<std::int64_t>(got);
                    sink(buffer.data(), static_cast<std::int64_t>(got));
                }
                throw;
            }
            delivered += static_cast<std::int64_t>(got);
            count -= static_cast<std::int64_t>(got);
            deliver(sink, buffer.data(), static_cast<std::int64_t>(got));
        }
    } catch (const std::exception& exc) {
        log_.error(Poco::format("%s: read_content(%Ld) exception: ", name_, static_cast<Poco::Int64>(asked)) +
                   textOf(exc));
        if (delivered == 0)
            throw;
        log_.error(Poco::format("%s: read_content(%Ld) exception on read: throwing DownloadInterruptedRemotely", name_,
                                static_cast<Poco::Int64>(asked)));
        throw DownloadInterruptedRemotelyException(0);
    }
}

void BasicHTTPSession::deliver(const DataSink& sink, const char* data, std::int64_t count) {
    const auto start = std::chrono::steady_clock::now();
    sink(data, count);
    stream().excuse(std::chrono::steady_clock::now() - start);
}

void BasicHTTPSession::read_until_close(const DataSink& sink) {
    std::int64_t delivered = 0;
    try {
        std::vector<char> buffer(static_cast<std::size_t>(std::max<std::int64_t>(readBufferSize_, 1)));
        SocketChannel& channel = stream();
        for (;;) {
            const std::size_t n = channel.readSome(buffer.data(), buffer.size());
            if (n == 0)
                break;
            delivered += static_cast<std::int64_t>(n);
            deliver(sink, buffer.data(), static_cast<std::int64_t>(n));
        }
    } catch (const std::exception& exc) {
        log_.error(Poco::format("%s: read_until_close() exception: ", name_) + textOf(exc));
        if (delivered == 0)
            throw;
        throw DownloadInterruptedRemotelyException(0);
    }
}

std::int64_t BasicHTTPSession::read_chunked(std::int64_t skip, std::int64_t limit, const DataSink& sink) {
    chunkedDone_ = false;
    std::int64_t delivered = 0;
    try {
        std::vector<char> buffer(static_cast<std::size_t>(std::max<std::int64_t>(std::min<std::int64_t>(readBufferSize_, 65536), 1)));
        SocketChannel& channel = stream();
        std::string line;
        for (;;) {
            if (!channel.readLine(line, kMaxLine))
                throw ProtocolException("Chunk size line longer than " + std::to_string(kMaxLine) + " bytes");
            const std::string digits = Poco::trim(line.substr(0, line.find(';')));
            std::int64_t size = 0;
            if (digits.empty() || digits.size() > 15 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                throw ProtocolException("Invalid chunk size line: " + printable(line));
            for (char c : digits)
                size = size * 16 + (c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
            if (size == 0)
                break;
            while (size > 0) {
                if (limit >= 0 && delivered == limit)
                    return delivered; // the rest stays unread: the connection is not reused
                std::int64_t n = std::min<std::int64_t>(size, static_cast<std::int64_t>(buffer.size()));
                if (skip == 0 && limit >= 0)
                    n = std::min(n, limit - delivered);
                else if (skip > 0)
                    n = std::min(n, skip);
                std::size_t got = 0;
                channel.readFor(buffer.data(), static_cast<std::size_t>(n), kDeliveryPatience, got);
                n = static_cast<std::int64_t>(got);
                size -= n;
                if (skip > 0) {
                    skip -= n;
                    continue;
                }
                delivered += n;
                deliver(sink, buffer.data(), n);
            }
            if (!channel.readLine(line, kMaxLine) || !line.empty())
                throw ProtocolException("Chunk not followed by CR LF");
        }
        for (int count = 0;; ++count) { // trailers
            if (!channel.readLine(line, kMaxLine) || count == kMaxHeaders)
                throw ProtocolException("Invalid trailer of a chunked response");
            if (line.empty())
                break;
        }
        chunkedDone_ = true;
    } catch (const std::exception& exc) {
        log_.error(Poco::format("%s: read_chunked() exception: ", name_) + textOf(exc));
        if (delivered == 0)
            throw;
        throw DownloadInterruptedRemotelyException(0);
    }
    return delivered;
}

void BasicHTTPSession::read_body(const Response& response, const DataSink& sink) {
    if (response.chunked()) {
        read_chunked(0, -1, sink);
        return;
    }
    // Without a length the body ends with the connection (HTTP/1.1 framing of
    // last resort); reading nothing would report an empty file as downloaded.
    if (response.hasContentLength)
        read_content(response.contentLength, sink);
    else
        read_until_close(sink);
}

void BasicHTTPSession::skip(std::int64_t count) {
    std::vector<char> buffer(static_cast<std::size_t>(std::min<std::int64_t>(count, 65536)));
    SocketChannel& channel = stream();
    while (count > 0) {
        const std::int64_t n = std::min<std::int64_t>(count, static_cast<std::int64_t>(buffer.size()));
        channel.read(buffer.data(), static_cast<std::size_t>(n));
        count -= n;
    }
}

std::int64_t BasicHTTPSession::detect_length(const std::string& uri) {
    if (log_.trace())
        log_.trace(Poco::format("%s: detect_length(%s)", name_, uri));
    sendRequest("HEAD", uri);
    if (log_.trace())
        log_.trace(Poco::format("%s: detect_length(%s): Request sent", name_, uri));
    const Response response = readResponse();
    if (response.status != 200)
        throw statusError(response);
    requireIdentityFraming(response.headers);
    // Without a length the resource cannot be split into ranges; taking 0
    // would report an empty file as downloaded.
    if (!response.hasContentLength)
        throw ProtocolException("HTTP header Content-Length is missing in the response");
    if (log_.trace())
        log_.trace(Poco::format("%s: detect_length(%s): Content length: %Ld", name_, uri,
                                static_cast<Poco::Int64>(response.contentLength)));
    finishResponse(response, 0, true);
    return response.contentLength;
}

void BasicHTTPSession::download(const std::string& uri, const DataSink& sink) {
    if (log_.trace())
        log_.trace(Poco::format("%s: download(%s)", name_, uri));
    sendRequest("GET", uri);
    if (log_.trace())
        log_.trace(Poco::format("%s: download(%s): Request sent", name_, uri));
    const Response response = readResponse();
    if (response.status != 200)
        throw statusError(response);
    requireIdentityFraming(response.headers);
    if (log_.trace())
        log_.trace(Poco::format("%s: download(%s): Start reading content", name_, uri));
    read_body(response, sink);
    finishResponse(response, response.contentLength, false);
}

void BasicHTTPSession::download_partially(const std::string& uri, std::int64_t offset, std::int64_t length,
                                          const DataSink& sink) {
    if (length == 0) {
        sink("", 0);
        return;
    }
    // The last byte, offset + length - 1, must be a representable position.
    if (offset < 0 || length < 0 || offset > std::numeric_limits<std::int64_t>::max() - (length - 1))
        throw Poco::InvalidArgumentException(Poco::format("Invalid byte range: offset %Ld, length %Ld",
                                                          static_cast<Poco::Int64>(offset),
                                                          static_cast<Poco::Int64>(length)));
    const std::int64_t lastByte = offset + (length - 1);
    const std::string from = std::to_string(offset);
    const std::string count = std::to_string(length);
    if (log_.trace())
        log_.trace(Poco::format("%s: download_partially(%s, %s, %s)", name_, uri, from, count));
    sendRequest("GET", uri, "Range", "bytes=" + from + "-" + std::to_string(lastByte));
    if (log_.trace())
        log_.trace(Poco::format("%s: download_partially(%s, %s, %s): Request sent", name_, uri, from, count));
    const Response response = readResponse();
    if (response.status != 206 && response.status != 200)
        throw statusError(response);
    requireIdentityFraming(response.headers);
    const bool chunked = response.chunked();
    if (response.status == 206) {
        if (!chunked && response.contentLength != length)
            throw ravelException(Poco::format("Partial content response length %Ld differs from request length %Ld",
                                              static_cast<Poco::Int64>(response.contentLength),
                                              static_cast<Poco::Int64>(length)));
        Poco::Int64 first = 0;
        Poco::Int64 last = 0;
        const std::string range = response.header("content-range");
        // Without a readable range the bytes could belong anywhere in the file.
        if (!parseContentRange(range, first, last))
            throw ravelException("Partial content response without a valid Content-Range",
                                 "'" + range + "' for bytes=" + from + "-" + std::to_string(lastByte));
        if (first != offset || last != lastByte)
            throw ravelException("Partial content response range differs from the requested one",
                                 range + " for bytes=" + from + "-" + std::to_string(lastByte));
    } else if (!chunked && response.hasContentLength && response.contentLength - offset < length) {
        throw ravelException(Poco::format("Full content response length %Ld does not hold the requested range %Ld-%Ld",
                                          static_cast<Poco::Int64>(response.contentLength),
                                          static_cast<Poco::Int64>(offset), static_cast<Poco::Int64>(lastByte)));
    }
    if (log_.trace())
        log_.trace(Poco::format("%s: download_partially(%s, %s, %s): Start reading content", name_, uri, from, count));
    // A 200 answer to a range request carries the whole resource: skip up to
    // the offset rather than fail the segment, and leave the rest unread.
    if (chunked) {
        if (read_chunked(response.status == 200 ? offset : 0, length, sink) != length)
            throw ravelException(Poco::format("Chunked response ended before the requested range %Ld-%Ld",
                                              static_cast<Poco::Int64>(offset), static_cast<Poco::Int64>(lastByte)));
        finishResponse(response, length, false);
        return;
    }
    if (response.status == 200)
        skip(offset);
    read_content(length, sink);
    finishResponse(response, response.status == 200 ? offset + length : length, false);
}

void BasicHTTPSession::download_if_modified(const std::string& uri, std::string& lastModified, const DataSink& sink) {
    if (log_.trace())
        log_.trace(Poco::format("%s: download_if_modified(%s, %s)", name_, uri, lastModified));
    if (lastModified.empty())
        sendRequest("GET", uri);
    else
        sendRequest("GET", uri, "If-Modified-Since", lastModified);
    if (log_.trace())
        log_.trace(Poco::format("%s: download_if_modified(%s, %s): Request sent", name_, uri, lastModified));
    const Response response = readResponse();
    if (response.status != 304 && response.status != 200)
        throw statusError(response);
    if (response.status == 304) {
        finishResponse(response, 0, true);
        return;
    }
    requireIdentityFraming(response.headers);
    if (log_.trace())
        log_.trace(Poco::format("%s: download_if_modified(%s, %s): Start reading content", name_, uri, lastModified));
    read_body(response, sink);
    lastModified = response.header("last-modified");
    finishResponse(response, response.contentLength, false);
}

void BasicHTTPSession::obtain_headers(const std::string& uri, std::string& lastModified, std::int64_t& length,
                                      std::string& location) {
    if (log_.trace())
        log_.trace(Poco::format("%s: obtain_headers(%s)", name_, uri));
    sendRequest("HEAD", uri);
    const Response response = readResponse();
    if (response.status == 301 || response.status == 302 || response.status == 303 || response.status == 307 ||
        response.status == 308) {
        location = response.header("location");
        // Without a location the length would be the redirect page's.
        if (location.empty())
            throw ProtocolException("Redirect without a location", std::to_string(response.status), response.status);
        length = response.contentLength;
    } else if (response.status == 200) {
        requireIdentityFraming(response.headers);
        if (!response.hasContentLength)
            throw ProtocolException("HTTP header Content-Length is missing in the response");
        length = response.contentLength;
        lastModified = response.header("last-modified");
    } else {
        throw statusError(response);
    }
    finishResponse(response, 0, true);
}

// ---- HTTPSession

HTTPSession::~HTTPSession() {
    if (log_.trace())
        log_.trace(Poco::format("%s: destroying...", name()));
    if (channel_)
        closeChannel(channel_);
}

void HTTPSession::connect() {
    if (log_.trace())
        log_.trace(Poco::format("%s: connecting...", name()));
    if (channel_)
        closeChannel(channel_);
    Poco::Net::StreamSocket socket;
    connectSocket(socket, address(), timeout(), peer(), cancelled_);
    socket.setBlocking(true);
    socket_ = socket;
    channel_ = openChannel(socket_);
}

void HTTPSession::close() { closeChannel(channel_); }

SocketChannel& HTTPSession::stream() {
    if (!channel_)
        throw Poco::NullPointerException(name() + ": not connected");
    return *channel_;
}

// ---- SecureHTTPSession

SecureHTTPSession::~SecureHTTPSession() {
    if (log_.trace())
        log_.trace(Poco::format("%s: destroying...", name()));
    if (channel_)
        closeChannel(channel_);
}

void SecureHTTPSession::connect() {
    if (log_.trace())
        log_.trace(Poco::format("%s: connecting...", name()));
    if (channel_)
        closeChannel(channel_);
    // The TLS layer goes over a plain socket left non-blocking, so that it does
    // not start the handshake itself; the plain socket's mode is the one the
    // TLS layer follows afterwards.
    Poco::Net::StreamSocket plain;
    connectSocket(plain, address(), timeout(), peer(), cancelled_);
    Poco::Net::SecureStreamSocket socket =
        Poco::Net::SecureStreamSocket::attach(plain, key().host, defaultClientContext());
    handshake(socket, timeout(), peer(), cancelled_);
    plain.setBlocking(true);
    socket_ = socket;
    channel_ = openChannel(socket_);
}

void SecureHTTPSession::close() { closeChannel(channel_); }

SocketChannel& SecureHTTPSession::stream() {
    if (!channel_)
        throw Poco::NullPointerException(name() + ": not connected");
    return *channel_;
}

// ---- HTTPSessionFactory

std::shared_ptr<Session> HTTPSessionFactory::create(const SessionKey& key) {
    std::shared_ptr<BasicHTTPSession> session;
    if (key.scheme.size() == 4 && key.scheme.compare(0, 4, "http") == 0)
        session = std::make_shared<HTTPSession>(key);
    else
        session = std::make_shared<SecureHTTPSession>(key);
    for (const auto& header : headers_)
        session->setHeader(header.first, header.second);
    if (readBufferSize_ != 0)
        session->setReadBufferSize(readBufferSize_);
    session->setTimeout(timeout_);
    session->setLowSpeed(lowSpeed_);
    session->setCancelled(cancelled_);
    return session;
}

} // namespace ravel
