#include "tests/support/NginxServer.h"

#include "tests/support/ChildProcess.h"

#include <Poco/Net/ServerSocket.h>
#include <Poco/String.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

namespace {

const char* const kNginx = "/usr/sbin/nginx";
const char* const kOpenssl = "/usr/bin/openssl";

// A port that was free a moment ago. nginx binds it shortly after; a loss of
// that race shows as "Address already in use" and the start is tried again.
int freeLoopbackPort() {
    return Poco::Net::ServerSocket(Poco::Net::SocketAddress("127.0.0.1", 0)).address().port();
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace

bool NginxServer::available() { return ::access(kNginx, X_OK) == 0 && ::access(kOpenssl, X_OK) == 0; }

NginxServer::NginxServer(const std::string& root) : NginxServer(Options{root}) {}

NginxServer::NginxServer(const Options& options) : options_(options) {
    if (options_.root.empty())
        throw std::invalid_argument("NginxServer needs a root directory");
    if (options_.root.back() == '/')
        options_.root.pop_back();
    for (const char* sub : {"tmp", "logs"})
        ::mkdir((dir_.path() + sub).c_str(), 0700);
    if (options_.https) {
        certFile_ = dir_.file("cert.pem");
        keyFile_ = dir_.file("key.pem");
        RunResult r = runProgram(kOpenssl, {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                            "-nodes", "-keyout", keyFile_, "-out", certFile_, "-days", "2", "-subj",
                                            "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"});
        if (r.code != 0)
            throw std::runtime_error("openssl could not make a certificate: " + r.err);
    }
    for (int attempt = 0; attempt < 5; ++attempt)
        if (tryStart())
            return;
    throw std::runtime_error("nginx did not start: " + errorLog());
}

NginxServer::~NginxServer() { stop(); }

bool NginxServer::tryStart(bool newPorts) {
    if (newPorts) {
        port_ = freeLoopbackPort();
        httpsPort_ = options_.https ? freeLoopbackPort() : 0;
        if (httpsPort_ == port_)
            return false;
    }
    ::unlink(dir_.file("nginx.pid").c_str());
    ::unlink(dir_.file("error.log").c_str());
    writeConfig();
    process_ = std::make_unique<ChildProcess>(
        kNginx, std::vector<std::string>{"-p", dir_.path(), "-e", dir_.file("error.log"), "-c", dir_.file("nginx.conf")});

    // The master writes its pid file only after it has bound every listener.
    const std::string expected = std::to_string(process_->pid());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Poco::trim(readAll(dir_.file("nginx.pid"))) == expected)
            return true;
        if (!process_->running()) {
            process_->wait(1000);
            std::string log = errorLog();
            process_.reset();
            if (log.find("Address already in use") != std::string::npos)
                return false;
            throw std::runtime_error("nginx exited at start: " + log + readAll(dir_.file("nginx.conf")));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stop();
    throw std::runtime_error("nginx did not come up within 15 s: " + errorLog());
}

void NginxServer::writeConfig() const {
    const std::string& d = dir_.path();
    std::ostringstream c;
    if (::geteuid() == 0)
        c << "user root;\n"; // workers must read the test's private directories
    c << "worker_processes 1;\n"
      << "daemon off;\nmaster_process on;\n"
      << "pid " << d << "nginx.pid;\n"
      << "error_log " << d << "error.log warn;\n"
      << "events { worker_connections 1024; }\n"
      << "http {\n"
      << "  log_format ravel '$request_method|$request_uri|$http_range|$status|$body_bytes_sent|$connection|$scheme';\n"
      << "  access_log " << d << "access.log ravel;\n";
    for (const char* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        c << "  " << t << "_temp_path " << d << "tmp/" << t << ";\n";
    c << "  default_type application/octet-stream;\n"
      << "  sendfile on;\n  tcp_nopush on;\n"
      << "  keepalive_timeout 75s;\n  keepalive_requests 100000;\n"
      << "  server_tokens off;\n"
      << "  server {\n"
      << "    listen 127.0.0.1:" << port_ << ";\n";
    if (options_.https)
        c << "    listen 127.0.0.1:" << httpsPort_ << " ssl;\n"
          << "    ssl_certificate " << certFile_ << ";\n"
          << "    ssl_certificate_key " << keyFile_ << ";\n";
    c << "    server_name localhost;\n"
      << "    root " << options_.root << ";\n"
      << "    location /r301/ { rewrite ^/r301/(.*)$ /$1 permanent; }\n"
      << "    location /slow/ { alias " << options_.root << "/; limit_rate " << options_.slowRate << "; }\n";
    c << "  }\n}\n";
    std::ofstream out(d + "nginx.conf", std::ios::trunc);
    out << c.str();
    if (!out)
        throw std::runtime_error("cannot write " + d + "nginx.conf");
}

void NginxServer::stop() {
    if (!process_)
        return;
    // Fast shutdown: a graceful one would wait for slow transfers to end.
    process_->signal(SIGTERM);
    process_->wait(15000);
    process_.reset();
}

void NginxServer::stopServing() { stop(); }

void NginxServer::resumeServing() {
    // Another program may have taken a port meanwhile: that shows as a failure
    // to start, not as a server on other ports.
    if (!tryStart(false))
        throw std::runtime_error("nginx could not bind its ports again: " + errorLog());
}

std::string NginxServer::url(const std::string& target) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + target;
}

std::string NginxServer::httpsUrl(const std::string& target) const {
    return "https://127.0.0.1:" + std::to_string(httpsPort_) + "/" + target;
}

std::string NginxServer::errorLog() const { return readAll(dir_.file("error.log")); }

std::vector<NginxServer::Request> NginxServer::requests() const {
    std::vector<Request> result;
    std::istringstream in(readAll(dir_.file("access.log")));
    for (std::string line; std::getline(in, line);) {
        const std::vector<std::string> f = split(line, '|');
        if (f.size() != 7)
            continue; // a line still being written
        try {
            result.push_back({f[0], f[1], f[2] == "-" ? "" : f[2], std::stoi(f[3]), std::stoll(f[4]),
                              std::stoll(f[5]), f[6]});
        } catch (const std::exception&) {
            // a line still being written
        }
    }
    return result;
}

std::int64_t NginxServer::bodyBytesSince(std::size_t from) const {
    std::vector<Request> all = requests();
    std::int64_t sum = 0;
    for (std::size_t i = from; i < all.size(); ++i)
        sum += all[i].bodyBytes;
    return sum;
}

} // namespace testsupport
