#pragma once

#include <Poco/Runnable.h>
#include <Poco/Thread.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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

// A TCP client of the launcher on the local machine with a receiving thread
// and a sending thread, so that no caller ever waits on a launcher that does not
// read. connect() and disconnect() belong to the owner's thread; send() and
// post() may be called from any thread. onMessage() and onReceiveEnded() run on
// the receiving thread, onDisconnected() once per connection, on the sending
// thread (a failed or timed-out write) or in disconnect(); the other hooks on
// the caller's thread.
class Client : private Poco::Runnable {
public:
    static constexpr std::size_t kBufferSize = 4096; // BUFF_MAX_SIZE
    static constexpr long kDefaultSendTimeoutMs = 15000;
    // Posted frames that may wait unsent; a further post drops the oldest.
    static constexpr std::size_t kMaxUnsentPosts = 8;

    Client();
    // Derived classes disconnect in their own destructors (the hooks are theirs).
    ~Client() override;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Connects to localhost:port (low 16 bits), starts both threads and sends
    // the registration message. A failure is logged and reported through
    // onConnectFailed(), never thrown.
    void connect(int port);
    // Lets the launcher take the frames already written (until it has them all,
    // closes, or takes nothing for the send timeout), shuts the socket down,
    // joins both threads, then onDisconnected(). A frame not yet written is
    // dropped. Nothing when not connected.
    void disconnect();
    // One frame, never dropped for a newer one; waits until it is written or the
    // link is lost. False when not connected, when the text does not fit a frame
    // (logged), or when the link is lost first. Throws std::logic_error for a
    // text longer than 65535 bytes.
    bool send(const std::string& text);
    // Queues one frame without waiting; with kMaxUnsentPosts posted frames not
    // yet written it drops the oldest, so a slow launcher gets the newest. Same
    // failures as send().
    bool post(const std::string& text);
    // How long one frame may take to be written before the link counts as lost
    // (milliseconds, above 0). Set before connect().
    void setSendTimeout(long ms) { sendTimeoutMs_ = ms; }
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
    struct Outgoing {
        std::string frame;
        std::uint64_t seq;
        bool replaceable;
    };

    void run() override; // the receiving loop
    void sendLoop(std::shared_ptr<Poco::Net::StreamSocket> socket);
    // Queues the frame of text; 0 when it is not queued.
    std::uint64_t enqueue(const std::string& text, bool replaceable);
    void joinThreads();
    void drain(Poco::Net::StreamSocket& socket);

    Poco::Logger& logger_; // "IPCLogger"
    long sendTimeoutMs_ = kDefaultSendTimeoutMs; // owner's thread, before connect()
    mutable std::mutex mutex_;
    std::condition_variable queued_;  // the sending thread waits for work or closing_
    std::condition_variable written_; // send() waits for its frame
    // Set and reset by the owner's thread under mutex_.
    std::shared_ptr<Poco::Net::StreamSocket> socket_;
    bool lost_ = false;     // guarded by mutex_: a send failed on this connection
    bool reported_ = false; // guarded by mutex_: onDisconnected() ran or runs for it
    bool lossReported_ = false; // guarded by mutex_: the sending thread's onDisconnected() returned
    bool closing_ = false;  // guarded by mutex_: the owner is shutting the connection down
    bool receiveEnded_ = false; // guarded by mutex_: the receiving loop is over
    // Bounded: kMaxUnsentPosts posted frames, and one frame per thread waiting in send().
    std::deque<Outgoing> outbox_; // guarded by mutex_
    std::uint64_t lastQueued_ = 0;  // guarded by mutex_
    std::uint64_t lastWritten_ = 0; // guarded by mutex_
    int id_ = 0;
    Poco::Thread thread_;
    std::thread sender_;
    bool threadStarted_ = false; // owner's thread: a loop that ended by itself is still joined
};
