#include "progress/Client.h"

#include "platform/Process.h"
#include "progress/IpcMessages.h"

#include <Poco/Logger.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/SocketDefs.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Timespan.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace {

// The code of a receive on a socket that was shut down (the Windows socket
// error); on POSIX such a receive returns 0 instead.
constexpr int kShutdownCode = 10058;

} // namespace

FrameBuffer::FrameBuffer(std::size_t capacity) : buffer_(capacity) {}

void FrameBuffer::reset() { read_ = write_ = 0; }

bool FrameBuffer::pack(const std::string& text) {
    if (text.size() > kMaxFrameText)
        throw std::logic_error("message size is too big for packing with single call");
    if (2 + text.size() > freeSize())
        return false;
    buffer_[write_] = static_cast<char>(text.size() & 0xFF);
    buffer_[write_ + 1] = static_cast<char>(text.size() >> 8);
    std::memcpy(buffer_.data() + write_ + 2, text.data(), text.size());
    write_ = static_cast<std::uint16_t>(write_ + 2 + text.size());
    return true;
}

void FrameBuffer::commit(std::size_t count) {
    if (count > 65535)
        throw std::logic_error("refactor class SmartBuffer");
    if (count > freeSize())
        throw std::logic_error("available bytes count is greater then BUFF_MAX_SIZE");
    write_ = static_cast<std::uint16_t>(write_ + count);
}

bool FrameBuffer::nextFrame(std::string& text) {
    std::size_t available = size();
    if (available >= 2) {
        std::size_t length = static_cast<unsigned char>(buffer_[read_]) |
                             static_cast<std::size_t>(static_cast<unsigned char>(buffer_[read_ + 1])) << 8;
        if (available - 2 >= length) {
            text.assign(buffer_.data() + read_ + 2, length);
            read_ = static_cast<std::uint16_t>(read_ + 2 + length);
            if (read_ == write_)
                reset();
            return true;
        }
        if (length > buffer_.size() - 2) {
            reset();
            throw std::logic_error("stream is too big: buffer size should be increased, headerLength: " +
                                   std::to_string(length));
        }
    }
    // Keep the partial frame at the start so the rest has room to arrive.
    if (read_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + read_, available);
        read_ = 0;
        write_ = static_cast<std::uint16_t>(available);
    }
    return false;
}

Client::Client() : logger_(Poco::Logger::get("IPCLogger")) {}

Client::~Client() {
    // The hooks of a derived class are gone by now: only release the threads.
    std::shared_ptr<Poco::Net::StreamSocket> socket;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        socket = socket_;
        closing_ = true;
    }
    queued_.notify_all();
    written_.notify_all();
    if (socket) {
        try {
            socket->shutdown();
        } catch (...) {
        }
        joinThreads();
    }
}

void Client::joinThreads() {
    if (sender_.joinable())
        sender_.join();
    if (threadStarted_ && Poco::Thread::current() != &thread_) {
        thread_.join();
        threadStarted_ = false;
    }
}

bool Client::isConnected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return socket_ && !lost_;
}

void Client::connect(int port) {
    disconnect();
    try {
        auto socket = std::make_shared<Poco::Net::StreamSocket>();
        socket->connect(Poco::Net::SocketAddress("localhost", static_cast<Poco::UInt16>(port & 0xFFFF)));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            socket_ = socket;
            lost_ = false;
            reported_ = false;
            lossReported_ = false;
            receiveEnded_ = false;
            closing_ = false;
            outbox_.clear();
        }
        logger_.information("Server listening at port: " + std::to_string(port));
        onConnected();
        thread_.start(*this);
        threadStarted_ = true;
        sender_ = std::thread([this, socket] { sendLoop(socket); });
        send(registrationMessage());
    } catch (const Poco::Exception& e) {
        logger_.error("ERROR: Connect failed: " + e.displayText());
        onConnectFailed();
    }
}

void Client::disconnect() {
    std::shared_ptr<Poco::Net::StreamSocket> socket;
    bool lost = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        socket = socket_;
        closing_ = true;
        lost = lost_;
    }
    if (!socket)
        return;
    queued_.notify_all();
    written_.notify_all();
    if (!lost)
        drain(*socket);
    try {
        // Also ends a write blocked on a launcher that does not read.
        socket->shutdown();
    } catch (const Poco::Exception&) {
        // Already reset by the peer: the receiving loop has ended or will end.
    }
    // Not under mutex_: the threads take it on their way out.
    joinThreads();
    bool reported = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        try {
            socket_->close();
        } catch (const Poco::Exception&) {
        }
        socket_.reset();
        outbox_.clear();
        reported = reported_;
    }
    if (!reported)
        onDisconnected();
}

// The system may still hold reports (the exit report above all) for a launcher
// that reads slowly. Only the write side is closed meanwhile and the receiving
// loop goes on: a command arriving on a socket shut for reading resets the
// connection, and the reset throws away whatever the launcher had not taken.
void Client::drain(Poco::Net::StreamSocket& socket) {
    using Clock = std::chrono::steady_clock;
    try {
        socket.shutdownSend(); // also ends a write blocked on a launcher that does not read
    } catch (const Poco::Exception&) {
        return;
    }
    long long last = -1;
    Clock::time_point moved = Clock::now();
    for (;;) {
        const long long left = platform::unsentBytes(socket.impl()->sockfd());
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (left <= 0 || receiveEnded_)
                return;
        }
        if (left != last) {
            last = left;
            moved = Clock::now();
        } else if (Clock::now() - moved >= std::chrono::milliseconds(sendTimeoutMs_)) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::uint64_t Client::enqueue(const std::string& text, bool replaceable) {
    FrameBuffer frame(kBufferSize);
    if (!frame.pack(text)) {
        logger_.error("Failed to pack message.");
        return 0;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!socket_ || lost_ || closing_)
        return 0;
    // Room for a burst (the estimation, then the first stage at once) that a
    // reading launcher takes whole; only a launcher that falls behind loses the
    // oldest records.
    if (replaceable) {
        const auto posted = [](const Outgoing& o) { return o.replaceable; };
        if (static_cast<std::size_t>(std::count_if(outbox_.begin(), outbox_.end(), posted)) >= kMaxUnsentPosts)
            outbox_.erase(std::find_if(outbox_.begin(), outbox_.end(), posted));
    }
    outbox_.push_back({std::string(frame.data(), frame.size()), ++lastQueued_, replaceable});
    queued_.notify_one();
    return lastQueued_;
}

bool Client::post(const std::string& text) { return enqueue(text, true) != 0; }

bool Client::send(const std::string& text) {
    const std::uint64_t seq = enqueue(text, false);
    if (seq == 0)
        return false;
    std::unique_lock<std::mutex> lock(mutex_);
    // Frames are written in queue order, and a lost link empties the queue. A
    // loss is told (onDisconnected) before the sends it failed return.
    written_.wait(lock, [&] { return lastWritten_ >= seq || lossReported_ || closing_; });
    return lastWritten_ >= seq;
}

namespace {

// Writes all of frame within timeoutMs, however the socket splits it up.
void writeWithin(Poco::Net::StreamSocket& socket, const std::string& frame, long timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const char* p = frame.data();
    std::size_t left = frame.size();
    while (left > 0) {
        const auto remaining =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
        int n = 0;
        try {
            if (remaining <= 0)
                throw Poco::TimeoutException();
            socket.setSendTimeout(Poco::Timespan(remaining));
            n = socket.sendBytes(p, static_cast<int>(left));
        } catch (const Poco::Exception& e) {
            // Some POCO versions report the elapsed SO_SNDTIMEO as a plain I/O error.
            if (!dynamic_cast<const Poco::TimeoutException*>(&e) && e.code() != POCO_EAGAIN &&
                e.code() != POCO_EWOULDBLOCK)
                throw;
            throw Poco::TimeoutException("the launcher read nothing for " + std::to_string(timeoutMs) + " ms");
        }
        if (n <= 0)
            throw Poco::Net::ConnectionResetException("connection lost while sending");
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

} // namespace

void Client::sendLoop(std::shared_ptr<Poco::Net::StreamSocket> socket) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        queued_.wait(lock, [&] { return closing_ || !outbox_.empty(); });
        if (closing_)
            return;
        Outgoing next = std::move(outbox_.front());
        outbox_.pop_front();
        lock.unlock();
        std::string error;
        try {
            writeWithin(*socket, next.frame, sendTimeoutMs_);
        } catch (const Poco::Exception& e) {
            error = e.displayText();
        }
        lock.lock();
        if (error.empty()) {
            lastWritten_ = next.seq;
            written_.notify_all();
            continue;
        }
        // A write that disconnect() cut short is no loss of the link.
        if (closing_)
            return;
        // The socket stays for the owner to release; the shutdown ends the
        // receiving loop.
        lost_ = true;
        reported_ = true;
        outbox_.clear();
        try {
            socket->shutdown();
        } catch (const Poco::Exception&) {
        }
        lock.unlock();
        logger_.error("ERROR: " + error);
        onDisconnected();
        lock.lock();
        lossReported_ = true;
        written_.notify_all();
        return;
    }
}

void Client::onMessage(const std::string&) {}
void Client::onConnected() {}
void Client::onConnectFailed() {}
void Client::onDisconnected() {}
void Client::onReceiveEnded() {}
std::string Client::registrationMessage() { return Patcher::registrationMessage(id_); }

void Client::run() {
    const std::string id = std::to_string(id_);
    logger_.information("Client " + id + " thread started");
    std::shared_ptr<Poco::Net::StreamSocket> socket;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        socket = socket_;
    }
    FrameBuffer in(kBufferSize);
    try {
        for (;;) {
            int n = socket->receiveBytes(in.freeSpace(), static_cast<int>(in.freeSize()));
            // 0: the launcher closed its side, or disconnect() shut the socket down.
            if (n <= 0)
                break;
            in.commit(static_cast<std::size_t>(n));
            std::string text;
            while (in.nextFrame(text))
                onMessage(text);
        }
    } catch (const Poco::Exception& e) {
        if (e.code() != kShutdownCode)
            logger_.error("Poco::Exception: " + e.displayText());
    } catch (const std::exception& e) {
        logger_.error(std::string("std::exception: ") + e.what());
    }
    logger_.information("Client " + id + " thread ended");
    bool byItself = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        receiveEnded_ = true;
        byItself = !closing_ && !reported_;
    }
    if (byItself)
        onReceiveEnded();
}
