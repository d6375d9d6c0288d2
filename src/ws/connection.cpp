// The connection's upgrade, and its reads and writes that outlive the calls that started them.
#include "ws/connection.hpp"

#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/parser.hpp>

#include "ws/log.hpp"
#include "ws/origin_check.hpp"
#include "ws/upgrade_request.hpp"

namespace tarnel::ws {

namespace {

using namespace asio::experimental::awaitable_operators;
constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);
constexpr std::size_t kAbandonedLimit = 64;
// When a call's deadline has already passed (a zero time-out), a message that has already arrived is
// still read: this is how long reading it may take. The bytes may sit in the socket or already in the
// WebSocket layer's own buffer, which cannot be inspected, so the read is simply given this long.
constexpr auto kArrivedMessageGrace = std::chrono::milliseconds(5);

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

Connection::Connection(Socket socket)
    : ws_(std::move(socket)), read_done_(ws_.get_executor(), 1), write_done_(ws_.get_executor(), 1) {}

Connection::~Connection() = default;

asio::awaitable<std::optional<std::string>> Connection::upgrade() {
    Socket& socket = ws_.next_layer().next_layer();
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
    ws_.next_layer().swallow_writes(true);
    auto [accept_error] = co_await ws_.async_accept(request, use_tuple);
    ws_.next_layer().swallow_writes(false);
    if (accept_error) co_return accept_error.message();
    const std::string response = switching_protocols_response(request);
    auto [write_error, written] = co_await asio::async_write(socket, asio::buffer(response), use_tuple);
    if (write_error) co_return write_error.message();
    co_return std::nullopt;
}

// Waits for `signal` until the deadline; false when the deadline came first. A stale signal (left by an
// operation whose caller gave up) may wake us early: callers re-check their state and wait again.
asio::awaitable<bool> Connection::wait_signal(Signal& signal, Deadline deadline) {
    if (!deadline) {
        co_await signal.async_receive(use_tuple);
        co_await throw_if_cancelled();
        co_return true;
    }
    asio::steady_timer timer(ws_.get_executor(), *deadline);
    auto first = co_await (signal.async_receive(use_tuple) || timer.async_wait(use_tuple));
    co_await throw_if_cancelled();
    co_return first.index() == 0;
}

asio::awaitable<boost::system::error_code> Connection::send(Bytes message, bool text) {
    while (writing_) co_await wait_signal(write_done_, std::nullopt);  // an abandoned call's write
    writing_ = true;
    write_buffer_ = std::move(message);
    ws_.text(text);
    ws_.async_write(asio::buffer(write_buffer_),
                    [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
                        self->writing_ = false;
                        self->write_error_ = ec;
                        self->write_done_.try_send(boost::system::error_code());
                    });
    while (writing_) co_await wait_signal(write_done_, std::nullopt);
    co_return write_error_;
}

void Connection::start_read() {
    buffer_.clear();
    read_state_ = ReadState::Reading;
    ws_.async_read(buffer_, [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
        self->read_error_ = ec;
        self->read_text_ = self->ws_.got_text();
        self->read_state_ = ReadState::Ready;
        self->read_done_.try_send(boost::system::error_code());
    });
}

asio::awaitable<std::optional<Received>> Connection::receive(Deadline deadline) {
    if (read_state_ == ReadState::Idle) start_read();
    if (read_state_ == ReadState::Reading && deadline && std::chrono::steady_clock::now() >= *deadline) {
        deadline = *deadline + kArrivedMessageGrace;  // from the deadline: a flood cannot extend it
    }
    while (read_state_ == ReadState::Reading) {
        if (!co_await wait_signal(read_done_, deadline) && read_state_ == ReadState::Reading) co_return std::nullopt;
    }
    read_state_ = ReadState::Idle;  // the message stays in buffer_ until the next read starts
    Received received;
    if (!read_error_) {
        received.kind = read_text_ ? Received::Kind::Text : Received::Kind::Binary;
    } else if (is_end_of_connection(read_error_)) {
        received.kind = Received::Kind::Closed;
    } else {
        received.kind = Received::Kind::Failed;
        received.failure = read_error_.message();
    }
    co_return received;
}

ByteView Connection::message() const {
    const auto data = buffer_.data();
    return ByteView(static_cast<const std::uint8_t*>(data.data()), data.size());
}

void Connection::discard() {
    boost::system::error_code ignored;
    beast::get_lowest_layer(ws_).shutdown(Socket::shutdown_both, ignored);
    beast::get_lowest_layer(ws_).close(ignored);
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
