// One upgraded WebSocket connection in the server role, owned by the engine's connection slot.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/experimental/channel.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "codec/payload_codec.hpp"
#include "ws/handshake_stream.hpp"

namespace tarnel::ws {

namespace asio = boost::asio;
namespace beast = boost::beast;
using Deadline = std::optional<std::chrono::steady_clock::time_point>;

inline constexpr std::size_t kMessageLimit = 64 * 1024 * 1024;
inline constexpr std::size_t kWriteBufferBytes = 128 * 1024;

struct Received {
    enum class Kind { Binary, Text, Closed, Failed };
    Kind kind = Kind::Closed;
    std::string failure;  // the WebSocket layer's description, for Failed
};

// Every member runs on the socket's executor, the strand of the engine that owns the connection, so
// nothing here needs a lock.
//
// A call may be abandoned while it waits for a read or a write. A WebSocket operation can only be
// cancelled terminally, and the connection must stay usable, so stream operations are never cancelled:
// they belong to the connection, at most one read and one write at a time. A caller only waits for
// their completion; the next caller takes the message (or the completion) an abandoned one left behind.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    using Socket = asio::ip::tcp::socket;
    using Stream = beast::websocket::stream<HandshakeStream<Socket>>;

    explicit Connection(Socket socket);
    ~Connection();

    // Reads and validates the upgrade request, runs the origin check and answers with the exact 101
    // response. Returns nothing on success, or the description of the failure (the socket is then
    // unusable and is closed by the caller).
    asio::awaitable<std::optional<std::string>> upgrade();

    // Sends one message and waits until it has been written; returns the failure, if any.
    asio::awaitable<boost::system::error_code> send(Bytes message, bool text);

    // The next message, or nothing when the deadline passes first (none: no limit). A message that is
    // already waiting is taken even when the deadline has passed. A Binary or Text message stays in
    // message() until the next receive.
    asio::awaitable<std::optional<Received>> receive(Deadline deadline);
    ByteView message() const;

    // Closes the TCP socket at once, without a closing handshake; whatever is in flight ends.
    void discard();

    // Requests whose callers gave up after the frame was handed over: their late answers are expected.
    void remember_abandoned(std::uint32_t seq, std::uint16_t fn_id);
    bool forget_abandoned(std::uint32_t seq, std::uint16_t fn_id);

private:
    enum class ReadState { Idle, Reading, Ready };
    using Signal = asio::experimental::channel<void(boost::system::error_code)>;

    void start_read();
    asio::awaitable<bool> wait_signal(Signal& signal, Deadline deadline);

    Stream ws_;
    beast::flat_buffer buffer_;
    ReadState read_state_ = ReadState::Idle;
    boost::system::error_code read_error_;
    bool read_text_ = false;
    Signal read_done_;
    bool writing_ = false;
    boost::system::error_code write_error_;
    Bytes write_buffer_;
    Signal write_done_;
    std::deque<std::pair<std::uint32_t, std::uint16_t>> abandoned_;
};

}  // namespace tarnel::ws
