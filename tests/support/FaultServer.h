#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <Poco/Net/StreamSocket.h>

namespace Poco {
namespace Net {
class ServerSocket;
} // namespace Net
} // namespace Poco

namespace testsupport {

// An HTTP/1.1 server of our own on a free loopback port for what nginx will not
// do: it serves one body at every path (or the files of a directory), with byte
// ranges, HEAD and keep-alive, and misbehaves on request. Every fault is
// bounded in time and traffic: stalls end at stallMs or when the server stops,
// connections idle for 10 s are closed, and bodies are the test's own content.
//   /hop/N/path     302 to /hop/N-1/path, and /hop/1/path to /path
//   /loop/path      302 to itself
class FaultServer {
public:
    enum class Fault {
        None,
        DropAfterBytes,  // close after `param` body bytes of a GET
        RangeAsFull,     // a range request gets 200 and the whole body
        WrongLength,     // 206 whose Content-Length is `param` bytes off (the body too)
        NoContentLength, // no Content-Length (HEAD and GET); the body ends with the connection
        Garbage,         // bytes that are not a status line, then close
        Stall,           // headers, then nothing for stallMs
        PauseAfterBytes, // `param` body bytes, a pause of stallMs, then the rest
        Status500,
        Status503,
        RedirectToFailing, // 302 to a port where nobody listens
        CloseOnAccept,     // close each new connection at once
        Chunked,           // Transfer-Encoding: chunked (the body in chunk framing); `param` 1: 200 for a range
        NegativeLength,    // Content-Length: -1
        LongBody,          // a correct 206 followed by `param` more bytes
        SeparatedLength,   // Content-Length with a "," after its first digit ("1,0" for 10)
        TwoLengths,        // a second Content-Length header, one more than the first
        HeaderWithoutColon, // a header line "X-Broken" without a colon
        NoContentRange,    // 206 without Content-Range
        Status404,
        FlipByte,          // the body byte at `param` (or the last one) inverted
        HtmlPage,          // 200 with a short HTML error page for every GET
        LateRange,         // 206 with the right headers whose bytes start `param` bytes late
        Drip,              // headers, then one body byte every stallMs
        Slow,              // stallMs of silence before a correct answer
        Reset,             // `param` body bytes, then a connection reset
    };

    // Serves the files under root by path; a missing one is 404.
    struct Directory {
        std::string root;
    };

    struct Request {
        std::string head;   // request line and headers as received
        std::string method;
        std::string target;
        std::string range;  // the Range header's value
        bool faulted = false;
        int stallsEndedBefore = 0; // stalls that had ended when it arrived
    };

    explicit FaultServer(std::string content);
    explicit FaultServer(Directory directory);
    ~FaultServer();
    FaultServer(const FaultServer&) = delete;
    FaultServer& operator=(const FaultServer&) = delete;

    // The next `times` requests (or connections, for CloseOnAccept) meet the
    // fault, -1 for all of them; later ones are served well.
    // Status503 sends "Retry-After: param" when param is positive.
    void setFault(Fault fault, int times = -1, std::int64_t param = 0);
    // Only requests whose target contains fragment meet the fault.
    void setFaultPath(const std::string& fragment);
    void setStallMs(int ms) { stallMs_ = ms; }
    void setLastModified(const std::string& value);

    std::uint16_t port() const { return port_; }
    std::string url(const std::string& path = "/file") const;
    const std::string& content() const { return content_; }

    std::vector<Request> requests() const;
    int connections() const { return connections_; }

    // A URL on loopback where nothing listens.
    static std::string deadUrl();

private:
    FaultServer(std::string content, std::string root);
    void acceptLoop();
    void serve(Poco::Net::StreamSocket socket);
    void serveRequests(Poco::Net::StreamSocket& socket);
    bool takeFault(Fault& fault, std::int64_t& param, bool head, const std::string& target);
    // The body at target; false when there is none.
    bool resource(const std::string& target, std::string& body) const;
    void stall();
    bool sendAll(Poco::Net::StreamSocket& socket, const std::string& data);

    const std::string content_;
    const std::string root_; // empty: content_ at every path
    std::unique_ptr<Poco::Net::ServerSocket> server_;
    std::uint16_t port_ = 0;
    std::atomic<int> stallMs_{3000};
    std::atomic<int> connections_{0};
    std::atomic<int> stallsEnded_{0};

    mutable std::mutex mutex_;
    Fault fault_ = Fault::None;         // guarded by mutex_
    int faultTimes_ = 0;                // guarded by mutex_
    std::int64_t faultParam_ = 0;       // guarded by mutex_
    std::string faultPath_;             // guarded by mutex_
    std::string lastModified_ = "Wed, 21 Oct 2015 07:28:00 GMT"; // guarded by mutex_
    std::vector<Request> requests_;     // guarded by mutex_
    std::vector<std::thread> workers_;  // guarded by mutex_
    std::vector<Poco::Net::StreamSocket> sockets_; // guarded by mutex_; one per worker
    bool stopping_ = false;             // guarded by mutex_
    std::condition_variable stopped_;   // stopping_ became true

    std::thread acceptor_;
};

} // namespace testsupport
