#pragma once

#include "tests/support/TempDir.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class ChildProcess;

// An nginx of the test's own on free loopback ports, serving a directory over
// HTTP and HTTPS (a certificate made at start with openssl), with byte ranges
// and keep-alive. Besides the files at "/name" it answers:
//   /slow/name               /name sent at Options::slowRate per connection
// Stopped by its pid when the object goes away. Construction throws
// std::runtime_error when nginx cannot be started.
class NginxServer {
public:
    struct Options {
        std::string root;              // directory served at "/"
        bool https = true;             // also listen with TLS
        std::string slowRate = "256k"; // nginx limit_rate for /slow/
    };

    // One line of the access log, written when nginx has finished a request.
    struct Request {
        std::string method;
        std::string uri;
        std::string range;             // the Range header, empty when none
        int status = 0;
        std::int64_t bodyBytes = 0;    // body bytes sent
        std::int64_t connection = 0;   // serial number of the connection
        std::string scheme;            // "http" or "https"
    };

    explicit NginxServer(const std::string& root);
    explicit NginxServer(const Options& options);
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    int port() const { return port_; }
    int httpsPort() const { return httpsPort_; }
    // "http://127.0.0.1:PORT/" + target (target without a leading '/').
    std::string url(const std::string& target) const;
    std::string httpsUrl(const std::string& target) const;
    const std::string& certificateFile() const { return certFile_; }
    const std::string& root() const { return options_.root; }

    // Every request logged so far, in order of completion.
    std::vector<Request> requests() const;
    // Body bytes sent for requests logged after the first `from` entries.
    std::int64_t bodyBytesSince(std::size_t from = 0) const;
    std::string errorLog() const;

    // Stops nginx (a server gone away mid-transfer) and starts it again on
    // the same ports with the same configuration; the access log is kept.
    void stopServing();
    void resumeServing();

    // Whether nginx and openssl are installed (tests skip otherwise).
    static bool available();

private:
    bool tryStart(bool newPorts = true);
    void writeConfig() const;
    void stop();

    Options options_;
    TempDir dir_;
    std::string certFile_;
    std::string keyFile_;
    int port_ = 0;
    int httpsPort_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

} // namespace testsupport
