// The connection's upgrade, and its reads and writes that outlive the calls that started them.
#include "ws/connection.hpp"

#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/parser.hpp>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include "ws/large_buffers.hpp"
#include "ws/log.hpp"
#include "ws/origin_check.hpp"
#include "ws/test_seams.hpp"
#include "ws/upgrade_request.hpp"

namespace tarnel::ws {

namespace {

constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);
constexpr std::size_t kAbandonedLimit = 64;
// When a call's deadline has already passed (a zero time-out), a message that has already arrived is
// still read: this is how long reading it may take. The bytes may sit in the socket or already in the
// WebSocket layer's own buffer, which cannot be inspected, so the read is simply given this long.
constexpr auto kArrivedMessageGrace = std::chrono::milliseconds(5);
// A write is given at least this long, whatever its deadline: the deadline is there for a peer that has
// stopped reading, and a zero time-out must still let a frame out that the socket takes at once (its
// completion only runs a moment after the bytes left).
constexpr auto kMinimumWriteTime = std::chrono::milliseconds(100);

// After the awaiting coroutine was cancelled, its operations complete with operation_aborted; that must
// end the call, not read as a time-out or a wake-up.
asio::awaitable<void> throw_if_cancelled() {
    auto state = co_await asio::this_coro::cancellation_state;
    if (state.cancelled() != asio::cancellation_type::none) {
        throw boost::system::system_error(asio::error::operation_aborted);
    }
}

bool is_end_of_connection(const boost::system::error_code& ec) {
    return ec == beast::websocket::error::closed || ec == asio::error::eof ||
           ec == asio::error::operation_aborted || ec == asio::error::bad_descriptor ||
           ec == asio::error::not_connected;
}

}  // namespace

FrameBuffer::const_buffers_type FrameBuffer::data() const {
    return {asio::const_buffer(head_.data(), head_used_), asio::const_buffer(body_.data(), body_used_)};
}

FrameBuffer::mutable_buffers_type FrameBuffer::prepare(std::size_t n) {
    if (n > max_size() - size()) throw std::length_error("FrameBuffer overflow");
    const std::size_t in_head = std::min(n, kHeadLen - head_used_);
    const std::size_t in_body = n - in_head;
    try {
        grow_body(body_used_ + in_body);
    } catch (const std::length_error&) {
        throw;
    } catch (...) {
        failure_ = std::current_exception();
        throw std::length_error("the receive buffer could not grow");
    }
    return {asio::mutable_buffer(head_.data() + head_used_, in_head),
            asio::mutable_buffer(body_.data() + body_used_, in_body)};
}

void FrameBuffer::commit(std::size_t n) {
    const std::size_t to_head = std::min(n, kHeadLen - head_used_);
    head_used_ += to_head;
    body_used_ = std::min(body_used_ + (n - to_head), body_.size());
}

void FrameBuffer::consume(std::size_t n) {
    if (n >= size()) {
        clear();
        return;
    }
    // Not on any hot path (the WebSocket layer never consumes a caller's buffer): shift and refill.
    Bytes rest = contiguous();
    rest.erase(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(n));
    clear();
    const auto room = prepare(rest.size());
    asio::buffer_copy(room, asio::buffer(rest));
    commit(rest.size());
}

void FrameBuffer::clear() {
    head_used_ = 0;
    body_used_ = 0;
}

Bytes FrameBuffer::contiguous() const {
    Bytes all;
    all.reserve(size());
    all.insert(all.end(), head_.begin(), head_.begin() + static_cast<std::ptrdiff_t>(head_used_));
    all.insert(all.end(), body_.begin(), body_.begin() + static_cast<std::ptrdiff_t>(body_used_));
    return all;
}

void FrameBuffer::release() {
    clear();
    if (body_.capacity() > kKeptBytes) Bytes().swap(body_);
}

Bytes FrameBuffer::take_body() {
    if (body_used_ < kHandOverBytes) {
        return Bytes(body_.begin(), body_.begin() + static_cast<std::ptrdiff_t>(body_used_));
    }
    Bytes taken = std::exchange(body_, Bytes());
    taken.resize(body_used_);  // shrinking keeps the storage: no copy
    body_used_ = 0;
    return taken;
}

// Grows the writable part to `size`. The vector keeps its size between messages, so only growth beyond
// the largest message so far pays for zero-filling; a larger vector (a kept large buffer when there is
// one) receives only the bytes used so far.
void FrameBuffer::grow_body(std::size_t size) {
    if (size >= runtime::kLargeTransferBytes && !large_) large_ = std::make_unique<runtime::LargeTransfer>();
    if (size <= body_.size()) return;
    if (size > body_.capacity()) {
        if (size >= runtime::kLargeTransferBytes) test_seams::large_receive_allocation(size);
        Bytes bigger = size >= kLargeBuffer ? take_large_buffer(size) : Bytes();
        if (bigger.capacity() < size) bigger.reserve(std::max(size, 2 * body_.capacity()));
        if (bigger.size() < body_used_) bigger.resize(body_used_);
        if (body_used_ != 0) std::memcpy(bigger.data(), body_.data(), body_used_);
        body_.swap(bigger);
        give_back_large_buffer(std::move(bigger));
    }
    if (body_.size() < size) body_.resize(size);
}

static_assert(asio::is_dynamic_buffer_v1<FrameBuffer>::value);

Connection::Connection(Socket socket) : ws_(std::move(socket)), timer_(ws_.get_executor()) {}

Connection::~Connection() = default;

asio::awaitable<std::optional<std::string>> Connection::upgrade() {
    Socket& socket = beast::get_lowest_layer(ws_);
    HandshakeStream<Socket>& handshake = ws_.next_layer().next_layer().next_layer();
    http::request_parser<http::empty_body> parser;
    parser.header_limit(kUpgradeHeaderLimit);
    beast::flat_buffer request_buffer;
    auto [read_error, read_size] = co_await http::async_read(socket, request_buffer, parser, use_tuple);
    if (read_error) co_return "reading the upgrade request: " + read_error.message();
    const UpgradeRequest& request = parser.get();
    // An invalid request gets no response at all, only the close.
    if (auto problem = upgrade_request_problem(request)) co_return *problem;

    std::optional<std::string_view> origin;
    if (auto field = request.find(http::field::origin); field != request.end()) {
        origin = std::string_view(field->value().data(), field->value().size());
    }
    const OriginDecision decision = check_origin(origin);
    if (!decision.accepted) {
        log_line("rejected origin: " + decision.origin);
        co_await asio::async_write(socket, asio::buffer(kForbiddenResponse.data(), kForbiddenResponse.size()),
                                   use_tuple);
        co_return "origin refused with HTTP 403 Forbidden";
    }

    ws_.read_message_max(kMessageLimit);
    ws_.write_buffer_bytes(kWriteBufferBytes);
    handshake.swallow_writes(true);
    auto [accept_error] = co_await ws_.async_accept(request, use_tuple);
    handshake.swallow_writes(false);
    if (accept_error) co_return accept_error.message();
    const std::string response = switching_protocols_response(request);
    auto [write_error, written] = co_await asio::async_write(socket, asio::buffer(response), use_tuple);
    if (write_error) co_return write_error.message();
    co_return std::nullopt;
}

asio::awaitable<boost::system::error_code> Connection::Parking::wait() {
    auto [ec] = co_await asio::async_initiate<decltype(use_tuple), void(boost::system::error_code)>(
        [this](auto handler) {
            executor_ = asio::get_associated_executor(handler);
            slot_ = asio::get_associated_cancellation_slot(handler);
            if (slot_.is_connected()) {
                slot_.assign([this](asio::cancellation_type type) {
                    if (type != asio::cancellation_type::none) cancelled();
                });
            }
            handler_ = [handler = std::move(handler)](boost::system::error_code ec) mutable {
                std::move(handler)(ec);
            };
        },
        use_tuple);
    co_return ec;
}

void Connection::Parking::wake(boost::system::error_code ec) {
    if (!handler_) return;
    if (slot_.is_connected()) slot_.clear();
    slot_ = asio::cancellation_slot();
    auto handler = std::exchange(handler_, nullptr);
    handler(ec);
}

// Runs inside the cancellation slot's own handler, which completing the coroutine in place would
// destroy while it runs: the completion is posted instead (cancellation is rare).
void Connection::Parking::cancelled() {
    if (!handler_) return;
    slot_ = asio::cancellation_slot();
    asio::post(executor_, [handler = std::exchange(handler_, nullptr)]() mutable {
        handler(asio::error::operation_aborted);
    });
}

void Connection::start_write(bool text, Deadline deadline) {
    writing_ = true;
    if (deadline) deadline = std::max(*deadline, std::chrono::steady_clock::now() + kMinimumWriteTime);
    write_deadline_ = deadline;
    if (deadline) watch_deadline(*deadline);
    ws_.text(text);
    auto done = [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
        self->writing_ = false;
        self->write_deadline_.reset();
        self->write_error_ = ec;
        // A large request need not stay with the connection: it is kept for the next large payload, after
        // the waiting call has moved on.
        Bytes written = std::exchange(self->write_buffer_, Bytes());
        self->writer_.wake(boost::system::error_code());
        give_back_large_buffer(std::move(written));
    };
    if (write_raw_) {
        asio::async_write(beast::get_lowest_layer(ws_), asio::buffer(write_buffer_), std::move(done));
    } else if (write_has_header_) {
        const std::array<asio::const_buffer, 2> buffers{asio::buffer(write_header_), asio::buffer(write_buffer_)};
        ws_.async_write(buffers, std::move(done));
    } else {
        ws_.async_write(asio::buffer(write_buffer_), std::move(done));
    }
}

// Every co_await here stands alone in its statement: g++ 12 miscompiles a co_await inside a larger
// expression of these coroutines (a comparison, or `co_return co_await`) into a trap.
asio::awaitable<boost::system::error_code> Connection::finish_write() {
    while (writing_) {
        const boost::system::error_code woken = co_await writer_.wait();
        if (woken == asio::error::operation_aborted) throw boost::system::system_error(woken);
        co_await throw_if_cancelled();
    }
    if (write_timed_out_) co_return asio::error::timed_out;
    co_return write_error_;
}

// An abandoned call's write may still be running: it is waited for first (its own deadline bounds that).
// If it ended the connection, this message cannot go out either.
asio::awaitable<boost::system::error_code> Connection::send(Bytes message, bool text, Deadline deadline) {
    if (writing_) co_await finish_write();
    if (discarded_) co_return write_timed_out_ ? asio::error::timed_out : asio::error::not_connected;
    write_has_header_ = false;
    write_raw_ = false;
    write_buffer_ = std::move(message);
    start_write(text, deadline);
    const boost::system::error_code written = co_await finish_write();
    co_return written;
}

asio::awaitable<boost::system::error_code> Connection::send(std::array<std::uint8_t, 16> header, Bytes payload,
                                                            Deadline deadline) {
    if (writing_) co_await finish_write();
    if (discarded_) co_return write_timed_out_ ? asio::error::timed_out : asio::error::not_connected;
    write_has_header_ = true;
    write_raw_ = false;
    write_header_ = header;
    write_buffer_ = std::move(payload);
    start_write(false, deadline);
    const boost::system::error_code written = co_await finish_write();
    co_return written;
}

asio::awaitable<boost::system::error_code> Connection::send_rest(Bytes rest, Deadline deadline) {
    if (writing_) co_await finish_write();
    if (discarded_) co_return write_timed_out_ ? asio::error::timed_out : asio::error::not_connected;
    write_raw_ = true;
    write_buffer_ = std::move(rest);
    start_write(false, deadline);
    const boost::system::error_code written = co_await finish_write();
    co_return written;
}

void Connection::start_read(std::optional<AnswerTo> answer_to) {
    buffer_.clear();
    read_state_ = ReadState::Reading;
    try {
        if (answer_to && nothing_buffered()) {
            read_when_readable(*answer_to);
        } else {
            start_websocket_read();
        }
    } catch (...) {
        read_broke(std::current_exception());
    }
}

void Connection::start_websocket_read() {
    ws_.async_read(buffer_, [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
        self->buffer_.end_large();
        self->read_ended(ec, self->ws_.got_text());
    });
}

// The message read directly becomes the received one, as if the WebSocket layer had read it.
void Connection::answer_read(const DirectAnswer& answer) {
    try {
        const auto room = buffer_.prepare(answer.head.size() + answer.payload.size());
        const std::array<asio::const_buffer, 2> parts{asio::buffer(answer.head), asio::buffer(answer.payload)};
        buffer_.commit(asio::buffer_copy(room, parts));
    } catch (...) {
        return read_broke(std::current_exception());
    }
    read_ended(boost::system::error_code(), false);
}

void Connection::read_ended(boost::system::error_code ec, bool text) {
    read_error_ = ec;
    read_exception_ = buffer_.take_failure();
    read_text_ = text;
    read_state_ = ReadState::Ready;
    reader_.wake(boost::system::error_code());
}

void Connection::read_broke(std::exception_ptr failure) {
    buffer_.end_large();
    if (auto kept = buffer_.take_failure()) failure = kept;
    read_error_ = boost::system::error_code();
    read_exception_ = failure;
    read_state_ = ReadState::Ready;
    reader_.wake(boost::system::error_code());
}

// The timer's pending wait ends at the earliest deadline it was armed for. A later deadline leaves it
// alone: when it fires for a deadline that no longer applies, it is armed again for the current one.
void Connection::watch_deadline(std::chrono::steady_clock::time_point deadline) {
    if (timer_expiry_ && *timer_expiry_ <= deadline) return;
    timer_expiry_ = deadline;
    timer_.expires_at(deadline);  // a pending wait for a later expiry ends with operation_aborted
    timer_.async_wait([weak = weak_from_this(), deadline](boost::system::error_code ec) {
        auto self = weak.lock();
        if (self && !ec) self->deadline_timer_fired(deadline);
    });
}

// A write past its deadline ends the connection: a WebSocket write cannot be abandoned half-way and the
// stream reused, and closing the socket is what makes the pending write complete. A read past its
// deadline only wakes its caller, who decides.
void Connection::deadline_timer_fired(std::chrono::steady_clock::time_point expiry) {
    if (timer_expiry_ != expiry) return;  // re-armed since this wait completed
    timer_expiry_.reset();
    const auto now = std::chrono::steady_clock::now();
    if (writing_ && write_deadline_) {
        if (now >= *write_deadline_) {
            write_timed_out_ = true;
            discard();
        } else {
            watch_deadline(*write_deadline_);
        }
    }
    if (reader_.occupied() && reader_deadline_) {
        if (now >= *reader_deadline_) {
            reader_.wake(asio::error::timed_out);
        } else {
            watch_deadline(*reader_deadline_);
        }
    }
}

asio::awaitable<std::optional<Received>> Connection::receive(Deadline deadline, std::optional<AnswerTo> answer_to) {
    if (read_state_ == ReadState::Idle) start_read(answer_to);
    if (read_state_ == ReadState::Reading && deadline && std::chrono::steady_clock::now() >= *deadline) {
        deadline = *deadline + kArrivedMessageGrace;  // from the deadline: a flood cannot extend it
    }
    while (read_state_ == ReadState::Reading) {
        reader_deadline_ = deadline;
        if (deadline) watch_deadline(*deadline);
        const boost::system::error_code woken = co_await reader_.wait();
        reader_deadline_.reset();
        if (woken == asio::error::operation_aborted) throw boost::system::system_error(woken);
        co_await throw_if_cancelled();
        if (woken == asio::error::timed_out && read_state_ == ReadState::Reading) co_return std::nullopt;
    }
    read_state_ = ReadState::Idle;  // the message stays in buffer_ until the next read starts
    Received received;
    if (read_exception_) {
        received.kind = Received::Kind::Broken;
        received.exception = std::exchange(read_exception_, nullptr);
        buffer_.release();
    } else if (!read_error_) {
        received.kind = read_text_ ? Received::Kind::Text : Received::Kind::Binary;
        if (read_text_) buffer_.release();  // text is never looked at
    } else if (is_end_of_connection(read_error_)) {
        received.kind = Received::Kind::Closed;
    } else {
        received.kind = Received::Kind::Failed;
        received.failure = read_error_.message();
    }
    co_return received;
}

// A socket cannot change context, but its descriptor can: released from this one (which forgets it),
// then assigned to a new socket of the other. The WebSocket layer's state, its read-ahead bytes included,
// stays where it is, in the stream above the socket.
void Connection::move_to(const asio::any_io_executor& executor) {
    timer_.cancel();
    timer_expiry_.reset();
    timer_ = asio::steady_timer(executor);
    Socket& socket = beast::get_lowest_layer(ws_);
    if (!socket.is_open()) {
        socket = Socket(executor);  // discarded already: nothing to move
        return;
    }
    boost::system::error_code ec;
    const auto protocol = socket.local_endpoint(ec).protocol();
    const int descriptor = ec ? -1 : socket.release(ec);
    socket = Socket(executor);
    if (descriptor >= 0) socket.assign(protocol, descriptor, ec);
    if (ec) {
        if (descriptor >= 0) ::close(descriptor);
        discarded_ = true;  // the calls find it closed and fail as with any lost connection
    }
}

void Connection::discard_from_outside() {
    // Only the socket's own state changes here, with a system call that is safe beside the strand's use of
    // the socket: the descriptor stays open (closing it could hand its number to another socket while the
    // strand still uses it) and the timer untouched, until the strand discards the connection itself.
    discarded_ = true;
    ::shutdown(beast::get_lowest_layer(ws_).native_handle(), SHUT_RDWR);
    asio::post(ws_.get_executor(), [self = shared_from_this()] { self->discard(); });
}

void Connection::discard() {
    discarded_ = true;
    boost::system::error_code ignored;
    beast::get_lowest_layer(ws_).shutdown(Socket::shutdown_both, ignored);
    beast::get_lowest_layer(ws_).close(ignored);
    timer_.cancel();
    timer_expiry_.reset();
}

void Connection::remember_abandoned(std::uint32_t seq, std::uint16_t fn_id) {
    if (abandoned_.size() == kAbandonedLimit) abandoned_.pop_front();
    abandoned_.emplace_back(seq, fn_id);
}

bool Connection::forget_abandoned(std::uint32_t seq, std::uint16_t fn_id) {
    auto found = std::find(abandoned_.begin(), abandoned_.end(), std::make_pair(seq, fn_id));
    if (found == abandoned_.end()) return false;
    abandoned_.erase(found);
    return true;
}

}  // namespace tarnel::ws
