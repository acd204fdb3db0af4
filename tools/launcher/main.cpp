// patcher-launcher: listens on a loopback port for one updater, prints every
// frame it receives as one line of JSON on standard output, and sends commands:
// each line of standard input ("stop", "pause", "resume", or a JSON object as
// it stands), and those scheduled with --on-progress.
//
//   patcher-launcher [--port N] [--on-progress N=COMMAND]... [--timeout SECONDS]
//                    [--show-length] [--never-read] [--receive-buffer BYTES]
//
// --show-length puts each frame's length field, in decimal, and a blank before
// its text. --never-read accepts the updater and then reads nothing until the
// timeout ends it (a hung launcher); --receive-buffer makes the link's receive
// buffer that small, so that an updater's writes meet a full link soon.
// The chosen port goes to standard error as "listening on port N". The exit
// code is 0 when the updater sent its exit report before closing the link, 1
// when it closed without one, 2 for bad arguments, 3 when nobody connected in time.
#include <Poco/Net/NetException.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/NumberParser.h>
#include <Poco/Timespan.h>

#include <json/reader.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

struct Options {
    int port = 0;
    int timeoutSeconds = 60;
    bool showLength = false;
    bool neverRead = false;
    int receiveBuffer = 0; // bytes; 0 leaves the system's size
    std::multimap<int, std::string> onProgress; // nth progress message -> command
};

void usage() {
    std::cerr << "usage: patcher-launcher [--port N] [--on-progress N=COMMAND]... [--timeout SECONDS]"
                 " [--show-length] [--never-read] [--receive-buffer BYTES]\n";
}

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--show-length" || arg == "--never-read") {
            (arg == "--show-length" ? options.showLength : options.neverRead) = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        std::string value = argv[++i];
        if (arg == "--port") {
            if (!Poco::NumberParser::tryParse(value, options.port))
                return false;
        } else if (arg == "--receive-buffer") {
            if (!Poco::NumberParser::tryParse(value, options.receiveBuffer))
                return false;
        } else if (arg == "--timeout") {
            if (!Poco::NumberParser::tryParse(value, options.timeoutSeconds))
                return false;
        } else if (arg == "--on-progress") {
            auto eq = value.find('=');
            int n = 0;
            if (eq == std::string::npos || !Poco::NumberParser::tryParse(value.substr(0, eq), n))
                return false;
            options.onProgress.emplace(n, value.substr(eq + 1));
        } else {
            return false;
        }
    }
    return true;
}

// One frame: 2 bytes of length, little-endian, then the text.
class Link {
public:
    explicit Link(Poco::Net::StreamSocket socket) : socket_(std::move(socket)) {}

    void send(const std::string& text) {
        std::string bytes;
        bytes += static_cast<char>(text.size() & 0xFF);
        bytes += static_cast<char>((text.size() >> 8) & 0xFF);
        bytes += text;
        std::lock_guard<std::mutex> lock(sendMutex_);
        try {
            socket_.sendBytes(bytes.data(), static_cast<int>(bytes.size()));
        } catch (const Poco::Exception& e) {
            std::cerr << "patcher-launcher: send failed: " << e.displayText() << std::endl;
        }
    }

    // False when the updater closed the link.
    bool receive(std::string& text) {
        std::string head;
        if (!readExactly(2, head))
            return false;
        std::size_t n = static_cast<unsigned char>(head[0]) | static_cast<std::size_t>(static_cast<unsigned char>(head[1])) << 8;
        return readExactly(n, text);
    }

private:
    bool readExactly(std::size_t n, std::string& out) {
        out.assign(n, '\0');
        std::size_t got = 0;
        while (got < n) {
            int r = 0;
            try {
                r = socket_.receiveBytes(&out[got], static_cast<int>(n - got));
            } catch (const Poco::Exception&) {
                return false;
            }
            if (r <= 0)
                return false;
            got += static_cast<std::size_t>(r);
        }
        return true;
    }

    Poco::Net::StreamSocket socket_;
    std::mutex sendMutex_;
};

std::string command(const std::string& word) {
    if (!word.empty() && word[0] == '{')
        return word;
    return "{\"name\": \"" + word + "\"}";
}

std::string nameOf(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors) || !value.isObject())
        return "";
    const Json::Value& name = value["name"];
    return name.isString() ? name.asString() : "";
}

int run(const Options& options) {
    Poco::Net::ServerSocket server;
    server.bind(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(options.port)));
    // Set before listening: the accepted connection inherits it.
    if (options.receiveBuffer > 0)
        server.setReceiveBufferSize(options.receiveBuffer);
    server.listen();
    std::cerr << "listening on port " << server.address().port() << std::endl;
    if (!server.poll(Poco::Timespan(options.timeoutSeconds, 0), Poco::Net::Socket::SELECT_READ)) {
        std::cerr << "patcher-launcher: nobody connected" << std::endl;
        return 3;
    }
    auto link = std::make_shared<Link>(server.acceptConnection());
    if (options.neverRead) {
        std::this_thread::sleep_for(std::chrono::seconds(options.timeoutSeconds));
        return 1;
    }

    // Standard input may block forever: this thread is never joined, and the
    // process ends with _Exit once the link is closed.
    std::thread([link] {
        std::string line;
        while (std::getline(std::cin, line))
            if (!line.empty())
                link->send(command(line));
    }).detach();

    int progress = 0;
    bool exitSeen = false;
    std::string text;
    while (link->receive(text)) {
        if (options.showLength)
            std::cout << text.size() << ' ';
        std::cout << text << std::endl;
        std::string name = nameOf(text);
        if (name == "exit")
            exitSeen = true;
        if (name == "progress") {
            ++progress;
            auto range = options.onProgress.equal_range(progress);
            for (auto it = range.first; it != range.second; ++it)
                link->send(command(it->second));
        }
    }
    return exitSeen ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        usage();
        return 2;
    }
    int code = 1;
    try {
        code = run(options);
    } catch (const Poco::Exception& e) {
        std::cerr << "patcher-launcher: " << e.displayText() << std::endl;
    }
    std::cout.flush();
    std::cerr.flush();
    std::_Exit(code);
}
