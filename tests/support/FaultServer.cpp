#include "tests/support/FaultServer.h"

#include <Poco/Exception.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/NumberParser.h>
#include <Poco/String.h>

#include "tests/support/TempDir.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace testsupport {

namespace {

constexpr std::size_t kMaxHead = 65536;
constexpr int kIdlePolls = 100; // of 100 ms: an idle connection is closed after 10 s

bool bodyOnly(FaultServer::Fault fault) {
    using F = FaultServer::Fault;
    return fault == F::DropAfterBytes || fault == F::RangeAsFull || fault == F::WrongLength || fault == F::Stall ||
           fault == F::LongBody || fault == F::PauseAfterBytes || fault == F::FlipByte || fault == F::HtmlPage ||
           fault == F::LateRange || fault == F::Drip || fault == F::Reset || fault == F::Chunked;
}

std::string headerValue(const std::string& head, const std::string& lowerName) {
    std::istringstream lines(head.substr(head.find('\n') + 1)); // after the request line
    for (std::string line; std::getline(lines, line);) {
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos && Poco::toLower(Poco::trim(line.substr(0, colon))) == lowerName)
            return Poco::trim(line.substr(colon + 1));
    }
    return {};
}

// "bytes=a-b" or "bytes=a-" over a body of size bytes; false when absent or
// not of that form.
bool parseRange(const std::string& value, std::int64_t size, std::int64_t& first, std::int64_t& last) {
    if (value.compare(0, 6, "bytes=") != 0)
        return false;
    const std::string bounds = value.substr(6);
    const auto dash = bounds.find('-');
    if (dash == std::string::npos || bounds.find(',') != std::string::npos)
        return false;
    Poco::Int64 a = 0;
    Poco::Int64 b = size - 1;
    if (!Poco::NumberParser::tryParse64(bounds.substr(0, dash), a))
        return false;
    if (dash + 1 < bounds.size() && !Poco::NumberParser::tryParse64(bounds.substr(dash + 1), b))
        return false;
    first = a;
    last = std::min<std::int64_t>(b, size - 1);
    return true;
}

} // namespace

FaultServer::FaultServer(std::string content) : FaultServer(std::move(content), "") {}

FaultServer::FaultServer(Directory directory) : FaultServer("", std::move(directory.root)) {}

FaultServer::FaultServer(std::string content, std::string root)
    : content_(std::move(content)), root_(std::move(root)),
      server_(std::make_unique<Poco::Net::ServerSocket>(Poco::Net::SocketAddress("127.0.0.1", 0), 64)),
      port_(server_->address().port()), acceptor_([this] { acceptLoop(); }) {}

bool FaultServer::resource(const std::string& target, std::string& body) const {
    if (root_.empty()) {
        body = content_;
        return true;
    }
    const std::string path = target.substr(0, target.find('?'));
    if (path.empty() || path[0] != '/' || path.find("..") != std::string::npos)
        return false;
    if (!std::filesystem::is_regular_file(root_ + path))
        return false;
    body = readFile(root_ + path);
    return true;
}

FaultServer::~FaultServer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
    acceptor_.join();
    // The acceptor, the only one to add workers, has ended.
    for (auto& worker : workers_)
        worker.join();
    std::lock_guard<std::mutex> lock(mutex_);
    sockets_.clear();
    server_->close();
}

void FaultServer::setFault(Fault fault, int times, std::int64_t param) {
    std::lock_guard<std::mutex> lock(mutex_);
    fault_ = fault;
    faultTimes_ = times;
    faultParam_ = param;
}

void FaultServer::setFaultPath(const std::string& fragment) {
    std::lock_guard<std::mutex> lock(mutex_);
    faultPath_ = fragment;
}

void FaultServer::setLastModified(const std::string& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    lastModified_ = value;
}

std::string FaultServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<FaultServer::Request> FaultServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::string FaultServer::deadUrl() {
    const auto port = Poco::Net::ServerSocket(Poco::Net::SocketAddress("127.0.0.1", 0)).address().port();
    return "http://127.0.0.1:" + std::to_string(port) + "/file";
}

bool FaultServer::takeFault(Fault& fault, std::int64_t& param, bool head, const std::string& target) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fault_ == Fault::None || faultTimes_ == 0 || (head && bodyOnly(fault_)) ||
        target.find(faultPath_) == std::string::npos)
        return false;
    fault = fault_;
    param = faultParam_;
    if (faultTimes_ > 0)
        --faultTimes_;
    return true;
}

void FaultServer::stall() {
    std::unique_lock<std::mutex> lock(mutex_);
    stopped_.wait_for(lock, std::chrono::milliseconds(stallMs_.load()), [this] { return stopping_; });
    ++stallsEnded_;
}

bool FaultServer::sendAll(Poco::Net::StreamSocket& socket, const std::string& data) {
    try {
        std::size_t sent = 0;
        while (sent < data.size()) {
            const int n = socket.sendBytes(data.data() + sent, static_cast<int>(data.size() - sent));
            if (n <= 0)
                return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    } catch (const Poco::Exception&) {
        return false;
    }
}

void FaultServer::acceptLoop() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                return;
        }
        try {
            if (!server_->poll(Poco::Timespan(0, 10000), Poco::Net::Socket::SELECT_READ))
                continue;
            Poco::Net::StreamSocket socket = server_->acceptConnection();
            ++connections_;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (fault_ == Fault::CloseOnAccept && faultTimes_ != 0) {
                    if (faultTimes_ > 0)
                        --faultTimes_;
                    socket.close();
                    continue;
                }
                // The server keeps a handle until it stops, so that the worker
                // closes the connection and frees it, on its own thread.
                sockets_.push_back(socket);
                workers_.emplace_back([this, socket] { serve(socket); });
            }
        } catch (const Poco::Exception&) {
            // a client that went away while being accepted
        }
    }
}

void FaultServer::serve(Poco::Net::StreamSocket socket) {
    try {
        serveRequests(socket);
    } catch (const Poco::Exception&) {
        // the client went away
    }
    try {
        socket.close();
    } catch (const Poco::Exception&) {
    }
}

void FaultServer::serveRequests(Poco::Net::StreamSocket& socket) {
    socket.setReceiveTimeout(Poco::Timespan(0, 100000));
    socket.setNoDelay(true);
    std::string buffer;
    int idle = 0;
    for (;;) {
        std::size_t end;
        while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
            if (buffer.size() > kMaxHead)
                return;
            char chunk[4096];
            int n = 0;
            try {
                n = socket.receiveBytes(chunk, sizeof chunk);
            } catch (const Poco::TimeoutException&) {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stopping_ || ++idle > kIdlePolls)
                    return;
                continue;
            } catch (const Poco::Exception&) {
                return;
            }
            if (n <= 0)
                return;
            idle = 0;
            buffer.append(chunk, static_cast<std::size_t>(n));
        }

        Request request;
        request.head = buffer.substr(0, end);
        buffer.erase(0, end + 4);
        const std::string line = request.head.substr(0, request.head.find("\r\n"));
        const auto s1 = line.find(' ');
        const auto s2 = line.find(' ', s1 + 1);
        request.method = line.substr(0, s1);
        request.target = s1 == std::string::npos ? std::string() : line.substr(s1 + 1, s2 - s1 - 1);
        request.range = headerValue(request.head, "range");
        const bool head = request.method == "HEAD";
        Fault fault = Fault::None;
        std::int64_t param = 0;
        request.faulted = takeFault(fault, param, head, request.target);
        request.stallsEndedBefore = stallsEnded_;
        std::string lastModified;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
            lastModified = lastModified_;
        }

        auto simple = [](const std::string& status, const std::string& extra) {
            return "HTTP/1.1 " + status + "\r\n" + extra + "Content-Length: 0\r\n\r\n";
        };

        if (fault == Fault::Slow) {
            stall();
            fault = Fault::None;
        }
        if (fault == Fault::Garbage) {
            sendAll(socket, std::string("\x01\x02garbage-instead-of-a-status-line\r\n\r\n", 39));
            return;
        }
        if (fault == Fault::NegativeLength) {
            sendAll(socket, "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n" + (head ? std::string() : content_));
            return;
        }
        // Answers without a body of the resource: faults, redirects, a missing file.
        const std::string& target = request.target;
        std::string reply, content;
        std::int64_t size = 0, first = 0, last = -1;
        bool ranged = false;
        if (fault == Fault::Status500) {
            reply = simple("500 Internal Server Error", "");
        } else if (fault == Fault::Status503) {
            reply = simple("503 Service Unavailable", param > 0 ? "Retry-After: " + std::to_string(param) + "\r\n" : "");
        } else if (fault == Fault::Status404) {
            reply = simple("404 Not Found", "");
        } else if (fault == Fault::HtmlPage) {
            const std::string page = "<html><body><h1>Oops</h1>The service is being upgraded.</body></html>";
            reply = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(page.size()) +
                    "\r\n\r\n" + page;
        } else if (fault == Fault::RedirectToFailing) {
            reply = simple("302 Found", "Location: " + deadUrl() + "\r\n");
        } else if (target.compare(0, 6, "/loop/") == 0) {
            reply = simple("302 Found", "Location: " + target + "\r\n");
        } else if (target.compare(0, 5, "/hop/") == 0) {
            const auto slash = target.find('/', 5);
            const int hops = std::atoi(target.substr(5, slash - 5).c_str());
            const std::string rest = slash == std::string::npos ? "/" : target.substr(slash);
            reply = simple("302 Found", "Location: " + (hops > 1 ? "/hop/" + std::to_string(hops - 1) + rest : rest) +
                                            "\r\n");
        } else if (!resource(target, content)) {
            reply = simple("404 Not Found", "");
        } else {
            size = static_cast<std::int64_t>(content.size());
            last = size - 1;
            ranged = fault != Fault::RangeAsFull && !(fault == Fault::Chunked && param == 1) &&
                     parseRange(request.range, size, first, last);
            const std::string ims = headerValue(request.head, "if-modified-since");
            if (ranged && (first >= size || first > last))
                reply = simple("416 Range Not Satisfiable", "Content-Range: bytes */" + std::to_string(size) + "\r\n");
            else if (!ranged && !head && !ims.empty() && ims == lastModified)
                reply = "HTTP/1.1 304 Not Modified\r\nLast-Modified: " + lastModified + "\r\n\r\n";
        }
        if (!reply.empty()) {
            if (!sendAll(socket, reply))
                return;
            continue;
        }

        std::string body = size == 0 ? std::string() : content.substr(first, last - first + 1);
        if (fault == Fault::FlipByte && !body.empty())
            body[static_cast<std::size_t>(std::min<std::int64_t>(param, body.size() - 1))] ^= 0x5a;
        if (fault == Fault::LateRange) {
            const std::size_t length = body.size();
            body = content.substr(static_cast<std::size_t>(std::min<std::int64_t>(first + param, size)), length);
            body.resize(length, 'x');
        }
        std::string status = ranged ? "206 Partial Content" : "200 OK";
        std::string headers = "Last-Modified: " + lastModified + "\r\nAccept-Ranges: bytes\r\n";
        if (fault == Fault::HeaderWithoutColon)
            headers += "X-Broken\r\n";
        if (ranged && fault != Fault::NoContentRange)
            headers += "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                       std::to_string(size) + "\r\n";
        std::int64_t length = static_cast<std::int64_t>(body.size());
        const bool keepOpen = fault != Fault::WrongLength && fault != Fault::NoContentLength &&
                              fault != Fault::DropAfterBytes && fault != Fault::Stall && fault != Fault::Drip;
        if (fault == Fault::WrongLength) {
            length += param;
            body = param > 0 ? body + std::string(static_cast<std::size_t>(param), 'w')
                             : body.substr(0, static_cast<std::size_t>(std::max<std::int64_t>(length, 0)));
        }
        if (fault == Fault::Chunked) {
            headers += "Transfer-Encoding: chunked\r\n";
            char hex[32];
            std::snprintf(hex, sizeof hex, "%zx\r\n", body.size());
            body = body.empty() ? std::string("0\r\n\r\n") : std::string(hex) + body + "\r\n0\r\n\r\n";
        } else if (fault == Fault::SeparatedLength) {
            const std::string digits = std::to_string(length);
            headers += "Content-Length: " + digits.substr(0, 1) + "," + digits.substr(1) + "\r\n";
        } else if (fault != Fault::NoContentLength) {
            headers += "Content-Length: " + std::to_string(length) + "\r\n";
            if (fault == Fault::TwoLengths)
                headers += "Content-Length: " + std::to_string(length + 1) + "\r\n";
        }
        if (!sendAll(socket, "HTTP/1.1 " + status + "\r\n" + headers + "\r\n"))
            return;
        if (head) {
            if (!keepOpen)
                return;
            continue;
        }
        if (fault == Fault::Stall) {
            stall();
            return;
        }
        if (fault == Fault::Drip) {
            for (char byte : body) {
                if (!sendAll(socket, std::string(1, byte)))
                    return;
                stall();
                std::lock_guard<std::mutex> lock(mutex_);
                if (stopping_)
                    return;
            }
            return;
        }
        if (fault == Fault::Reset) {
            sendAll(socket, body.substr(0, static_cast<std::size_t>(std::min<std::int64_t>(param, body.size()))));
            socket.setLinger(true, 0); // the close sends a reset
            socket.close();
            return;
        }
        if (fault == Fault::DropAfterBytes)
            body = body.substr(0, static_cast<std::size_t>(std::min<std::int64_t>(param, body.size())));
        if (fault == Fault::PauseAfterBytes) {
            const std::size_t first = static_cast<std::size_t>(std::min<std::int64_t>(param, body.size()));
            if (!sendAll(socket, body.substr(0, first)))
                return;
            stall();
            body.erase(0, first);
        }
        if (fault == Fault::LongBody)
            body += std::string(static_cast<std::size_t>(param), 'L');
        if (!sendAll(socket, body))
            return;
        if (!keepOpen) {
            socket.shutdownSend();
            return;
        }
    }
}

} // namespace testsupport
