#pragma once

#include <Poco/Runnable.h>
#include <Poco/Thread.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Poco {
class Logger;
namespace Net {
class StreamSocket;
}
} // namespace Poco

// Frames of the launcher link and the stage adapter's pipe: a 2-byte
// little-endian length, then that many bytes of message text. One buffer of a
// fixed capacity, either for packing frames to send or for cutting received
// bytes into frames.
class FrameBuffer {
public:
    static constexpr std::size_t kMaxFrameText = 65535;

    explicit FrameBuffer(std::size_t capacity);

    void reset();
    // Appends one frame of text. Throws std::logic_error for a text longer than
    // 65535 bytes; false (nothing appended) when the frame does not fit.
    bool pack(const std::string& text);
    // The packed bytes not yet taken.
    const char* data() const { return buffer_.data() + read_; }
    std::size_t size() const { return write_ - read_; }

    // Receiving: the free tail to receive into, then commit() what arrived.
    char* freeSpace() { return buffer_.data() + write_; }
    std::size_t freeSize() const { return buffer_.size() - write_; }
    // Throws std::logic_error when count does not fit.
    void commit(std::size_t count);
    // Takes the next complete frame's text. False while more bytes are needed.
    // Throws std::logic_error for a frame that can never fit the buffer (and
    // empties the buffer).
    bool nextFrame(std::string& text);

private:
    std::vector<char> buffer_;
    std::uint16_t read_ = 0;
    std::uint16_t write_ = 0;
};

// A TCP client of the launcher on the local machine with its own receiving
// thread. connect() and disconnect() belong to the owner's thread; send() may
// be called from any thread (the progress thread and the owner's both report).
// The virtual hooks run on the receiving thread (onMessage) or on the caller's
// thread (the others); onDisconnected() runs once per connection, on the thread
// of a failed send or of disconnect().
class Client : private Poco::Runnable {
public:
    static constexpr std::size_t kBufferSize = 4096; // BUFF_MAX_SIZE

    Client();
    // Derived classes disconnect in their own destructors (the hooks are theirs).
    ~Client() override;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Connects to localhost:port (low 16 bits), starts the receiving thread and
    // sends the registration message. A failure is logged and reported through
    // onConnectFailed(), never thrown.
    void connect(int port);
    // Shuts the socket down, joins the receiving thread, then onDisconnected().
    // Nothing when not connected.
    void disconnect();
    // One frame. False when not connected, when the text does not fit a frame
    // (logged), or when sending fails (logged; the connection is shut down and
    // counts as lost, the owner's disconnect() releases it). Throws
    // std::logic_error for a text longer than 65535 bytes.
    bool send(const std::string& text);
    void setId(int id) { id_ = id; }
    int id() const { return id_; }
    bool isConnected() const;

protected:
    virtual void onMessage(const std::string& text);
    virtual void onConnected();
    virtual void onConnectFailed();
    virtual void onDisconnected();
    virtual std::string registrationMessage();
    // On the receiving thread, when its loop ended by itself (the peer closed its
    // side, a receive failed, a frame was too large), not through disconnect()
    // or a failed send: no command can arrive any more. The link may still send.
    virtual void onReceiveEnded();

private:
    void run() override; // the receiving loop
    void joinReceiver();

    Poco::Logger& logger_; // "IPCLogger"
    mutable std::mutex mutex_;
    // Set and reset by the owner's thread; used under mutex_ by every sender.
    std::shared_ptr<Poco::Net::StreamSocket> socket_;
    bool lost_ = false;     // guarded by mutex_: a send failed on this connection
    bool reported_ = false; // guarded by mutex_: onDisconnected() ran for it
    bool closing_ = false;  // guarded by mutex_: the owner is shutting the connection down
    int id_ = 0;
    FrameBuffer sendBuffer_; // guarded by mutex_
    Poco::Thread thread_;
    bool threadStarted_ = false; // owner's thread: a loop that ended by itself is still joined
};
