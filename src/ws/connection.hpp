// One upgraded WebSocket connection in the server role, owned by the engine's connection slot.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <chrono>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "codec/expected.hpp"
#include "codec/payload_codec.hpp"
#include "runtime/link.hpp"
#include "ws/continuation_stream.hpp"
#include "ws/direct_lane.hpp"
#include "ws/handshake_stream.hpp"
#include "ws/replay_stream.hpp"
#include "ws/websocket_stream.hpp"

namespace tarnel::ws {

namespace asio = boost::asio;
namespace beast = boost::beast;
using Deadline = std::optional<std::chrono::steady_clock::time_point>;
using RequestHeader = std::array<std::uint8_t, 16>;

inline constexpr std::size_t kMessageLimit = 64 * 1024 * 1024;
inline constexpr std::size_t kWriteBufferBytes = 128 * 1024;

// The receive buffer, a dynamic buffer for the WebSocket layer that keeps a message's first 16 bytes (an
// RPC frame's header) in an array of their own and the rest (the payload) in a byte vector. A matching
// response's payload can then become the call's result as it lies: a large one is handed over without a
// copy, a small one is copied and the vector stays, grown, for the next message.
class FrameBuffer {
public:
    using const_buffers_type = std::array<asio::const_buffer, 2>;
    using mutable_buffers_type = std::array<asio::mutable_buffer, 2>;
    static constexpr std::size_t kHeadLen = 16;
    // Payloads at least this large are handed over rather than copied.
    static constexpr std::size_t kHandOverBytes = 256 * 1024;

    std::size_t size() const { return head_used_ + body_used_; }
    std::size_t max_size() const { return body_.max_size(); }
    std::size_t capacity() const { return kHeadLen + body_.capacity(); }
    const_buffers_type data() const;
    mutable_buffers_type prepare(std::size_t n);
    void commit(std::size_t n);
    void consume(std::size_t n);
    void clear();

    // The first min(16, size()) bytes, and the bytes after them.
    ByteView head() const { return ByteView(head_.data(), head_used_); }
    ByteView body() const { return ByteView(body_.data(), body_used_); }
    // The whole message in one buffer (a copy).
    Bytes contiguous() const;
    // The bytes after the first 16, taken out of the buffer: handed over when large, copied when small.
    Bytes take_body();
    // Forgets the message and frees the storage if it grew past what a usual message needs, so that one
    // huge message does not stay resident with the connection until it closes.
    void release();
    // Storage up to this size is kept for the next message.
    static constexpr std::size_t kKeptBytes = 4 * 1024 * 1024;

    // The message being read has grown large (see runtime/link.hpp): counted until end_large().
    void end_large() { large_.reset(); }

    // A failure to grow (no memory) is kept here, and prepare() throws std::length_error instead: the one
    // exception the WebSocket layer turns into a failed read (buffer_overflow) rather than letting it unwind
    // through its own state. Whoever sees the read fail takes the real exception here.
    std::exception_ptr take_failure() { return std::exchange(failure_, nullptr); }

private:
    void grow_body(std::size_t size);

    std::unique_ptr<runtime::LargeTransfer> large_;
    std::exception_ptr failure_;
    std::array<std::uint8_t, kHeadLen> head_{};
    std::size_t head_used_ = 0;
    Bytes body_;  // its size() is the writable part, at least body_used_; kept from message to message
    std::size_t body_used_ = 0;
};

struct Received {
    // Broken: the read threw (no memory for the message, say); the stream's state is unknown.
    enum class Kind { Binary, Text, Closed, Failed, Broken };
    Kind kind = Kind::Closed;
    std::string failure;           // the WebSocket layer's description, for Failed
    std::exception_ptr exception;  // for Broken
};

// Every member runs on the socket's executor, the strand of the engine that owns the connection; its
// reads are made by one call at a time, the holder of the engine's slot lock, and its writes by one call at
// a time, the holder of the engine's write lock (see SharedRecords): at most one read and one write are in
// flight, as the WebSocket layer allows, so nothing here needs a lock; except the direct lane's members
// (ws/connection_direct.cpp), which a call uses from its own thread under the rules of ws/direct_lane.hpp:
// those that touch the socket or the lane's counters ask for the lane's lock as a proof (a
// DirectLane::Hold), idle() and the flags it reads are atomic, and discard_from_outside() is the only way
// to discard the connection off the strand.
//
// A call may be abandoned while it waits for a read or a write. A WebSocket operation can only be
// cancelled terminally, and the connection must stay usable, so stream operations are never cancelled:
// they belong to the connection, at most one read and one write at a time. A caller only waits for
// their completion; the next caller takes the message (or the completion) an abandoned one left behind.
//
// The waiting is the hot path of every call, so it is kept to the bare minimum: the completion of a
// stream operation resumes the waiting coroutine directly (it runs on the same strand), and deadlines
// share one timer per connection that is re-armed only when a deadline comes earlier than the armed one,
// instead of racing a fresh timer against every wait.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    using Socket = asio::ip::tcp::socket;
    using Stream = WebSocketStream;

    explicit Connection(Socket socket);
    ~Connection();

    // Reads and validates the upgrade request, runs the origin check and answers with the exact 101
    // response. Returns nothing on success, or the description of the failure (the socket is then
    // unusable and is closed by the caller).
    asio::awaitable<std::optional<std::string>> upgrade();

    // Sends one message and waits until it has been written; returns the failure, if any. A write still
    // unfinished at `deadline` (none: no limit) discards the connection and fails with
    // asio::error::timed_out: a peer that stops reading must not hold the connection, and the slot lock,
    // for ever. The deadline belongs to the write, so it also ends a write whose caller gave up.
    asio::awaitable<boost::system::error_code> send(Bytes message, bool text, Deadline deadline);
    // Sends one binary message made of `header` followed by `payload`, written together without being
    // joined into one buffer first.
    asio::awaitable<boost::system::error_code> send(std::array<std::uint8_t, 16> header, Bytes payload,
                                                    Deadline deadline);

    // The next message, or nothing when the deadline passes first (none: no limit). A message that is
    // already waiting is taken even when the deadline has passed. A Binary or Text message stays in
    // message() until the next receive. An exception thrown while the message was read (an allocation
    // failure) ends the read as Broken, carrying it, rather than unwinding through the link and leaving
    // the caller to its deadline; the connection must then be discarded.
    //
    // With `answer_to` (the request whose answer is awaited), when nothing is buffered above the socket the
    // read waits for the socket to become readable and reads that answer directly (read_directly): no
    // WebSocket read, no speculative read that finds nothing. Anything else goes to the WebSocket layer.
    struct AnswerTo {
        std::uint32_t seq;
        std::uint16_t fn_id;
    };
    asio::awaitable<std::optional<Received>> receive(Deadline deadline, std::optional<AnswerTo> answer_to = {});
    FrameBuffer& message() { return buffer_; }

    // Moves the socket and the deadline timer to `executor` (another context's strand): from then on every
    // member runs there. Only with nothing in flight: no read, no write.
    void move_to(const asio::any_io_executor& executor);

    // Closes the TCP socket at once, without a closing handshake; whatever is in flight ends. On the strand.
    void discard();
    // The same from a thread outside the strand (the direct lane's): the socket is shut down at once, and
    // closed by the strand.
    void discard_from_outside();
    bool discarded() const { return discarded_; }

    // The direct lane (ws/connection_direct.cpp): a small request written, and its answer read, by the
    // calling thread itself with plain non-blocking system calls, outside the strand, while nothing else
    // can use the connection: the caller holds the slot lock and the lane's lock, and idle() said so.
    // Whatever those calls read that is not simply the answer is given back to the WebSocket layer, which
    // reads it next.
    //
    // Nothing in flight (no read, no write), nothing buffered above the socket, not discarded.
    bool idle() const;
    // Writes one unfragmented binary frame of `header` and `payload`. Returns the bytes of the frame that
    // the socket did not take (empty: all of it went; see send_rest), or the socket's failure.
    BasicExpected<Bytes, boost::system::error_code> write_directly(const DirectLane::Hold& lane,
                                                                 const RequestHeader& header, ByteView payload);
    // The answer to request `seq`/`fn_id`, if it is what the socket holds now: one whole frame carrying the
    // matching response (its 16-byte header, unmasked, and its payload). Otherwise nothing, and whatever was
    // read has been given back.
    struct DirectAnswer {
        RequestHeader head;
        Bytes payload;
    };
    std::optional<DirectAnswer> read_directly(const DirectLane::Hold& lane, std::uint32_t seq, std::uint16_t fn_id);
    // True when the last read_directly() found the socket empty.
    bool found_nothing() const { return socket_was_empty_; }
    // Whether a call should try read_directly() right after its write: an answer that comes while the
    // request is being written (the peer on this CPU) comes so for nearly every call, one that comes later
    // (the peer on another CPU) nearly never, and then trying costs a system call for nothing. So it is
    // tried until it misses twice in a row (one miss is the odd answer that came late), and then once in
    // kRetryDirectReadEvery calls.
    bool worth_reading_directly(const DirectLane::Hold& lane);
    void note_direct_read(const DirectLane::Hold& lane);
    static constexpr unsigned kRetryDirectReadEvery = 16;
    // Whether answers have lately come after the calls' writes (two misses in a row, see above).
    bool answers_come_late() const { return direct_misses_in_a_row_ >= 2; }
    // On the strand, like send(): writes the rest of a frame that write_directly() began.
    asio::awaitable<boost::system::error_code> send_rest(Bytes rest, Deadline deadline);

    // Requests whose callers gave up after the frame was handed over: their late answers are expected.
    void remember_abandoned(std::uint32_t seq, std::uint16_t fn_id);
    bool forget_abandoned(std::uint32_t seq, std::uint16_t fn_id);

private:
    enum class ReadState { Idle, Reading, Ready };

    // The one coroutine waiting for a read, or for a write (each lock admits one caller at a time),
    // parked until the operation ends, its deadline passes or the coroutine is cancelled.
    class Parking {
    public:
        // Completes with success (woken), asio::error::timed_out or asio::error::operation_aborted.
        asio::awaitable<boost::system::error_code> wait();
        // Resumes the parked coroutine, if any, in this very call: the caller is on the strand.
        void wake(boost::system::error_code ec);
        bool occupied() const { return static_cast<bool>(handler_); }

    private:
        void cancelled();

        std::move_only_function<void(boost::system::error_code)> handler_;
        asio::any_io_executor executor_;
        asio::cancellation_slot slot_;
    };

    // Nothing read ahead by the WebSocket layer or given back to it, and no message of its own half-read.
    bool nothing_buffered() const;
    void start_read(std::optional<AnswerTo> answer_to);
    void start_websocket_read();
    // Reads what the socket holds next into the direct buffer, through the reactor (which then makes the
    // one recv when the socket is readable, and none before: unlike a wait for readability, which re-arms
    // the descriptor each time), and takes the awaited answer from it, or hands it all to the WebSocket layer.
    void read_when_readable(AnswerTo answer_to);
    // What read_directly() does with `got` bytes received into the direct buffer, or with the failure.
    std::optional<DirectAnswer> take_answer(boost::system::error_code failure, std::size_t got, std::uint32_t seq,
                                            std::uint16_t fn_id);
    void answer_read(const DirectAnswer& answer);
    void read_ended(boost::system::error_code ec, bool text);
    // The read threw `failure` (or, when the receive buffer kept one, that one): it ends as Broken.
    void read_broke(std::exception_ptr failure);
    void start_write(bool text, Deadline deadline);
    asio::awaitable<boost::system::error_code> finish_write();
    void watch_deadline(std::chrono::steady_clock::time_point deadline);
    void deadline_timer_fired(std::chrono::steady_clock::time_point expiry);

    Stream ws_;
    FrameBuffer buffer_;
    // Set on the strand; read by idle() from the thread of a direct call.
    std::atomic<ReadState> read_state_ = ReadState::Idle;
    boost::system::error_code read_error_;
    std::exception_ptr read_exception_;  // the read broke (see receive)
    bool read_text_ = false;
    Parking reader_;
    Deadline reader_deadline_;
    std::atomic<bool> writing_ = false;
    Deadline write_deadline_;
    bool write_timed_out_ = false;
    std::atomic<bool> discarded_ = false;
    boost::system::error_code write_error_;
    std::array<std::uint8_t, 16> write_header_{};
    bool write_has_header_ = false;
    bool write_raw_ = false;  // write_buffer_ is the rest of a frame begun directly: no framing
    Bytes write_buffer_;
    Parking writer_;
    // One timer serves every deadline of the connection; `timer_expiry_` is when its pending wait ends.
    asio::steady_timer timer_;
    std::optional<std::chrono::steady_clock::time_point> timer_expiry_;
    std::deque<std::pair<std::uint32_t, std::uint16_t>> abandoned_;
    Bytes direct_buffer_;  // what read_directly() receives into; kept from call to call
    unsigned direct_misses_in_a_row_ = 0;
    bool socket_was_empty_ = false;
    unsigned direct_reads_skipped_ = 0;
};

}  // namespace tarnel::ws
