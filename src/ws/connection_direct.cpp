// The connection's direct lane: one request frame written, and one answer frame read, with plain
// non-blocking system calls on the calling thread (ws/direct_lane.hpp gives the rules).
//
// A small call through the WebSocket layer and the link's handler queue costs several queued steps, each
// of which lets the link's reactor poll the kernel once more. Here a call that finds the connection idle
// costs one sendmsg, and, when the peer answered while the request was being written, one recv: no
// handler, no poll. Only the simplest frames are handled so: the request (the server's frames are not
// masked) and an answer that is one whole, final, masked binary frame carrying the matching response.
// Everything else is given back to the WebSocket layer, which deals with it as it always has.
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <boost/asio/error.hpp>
#include <cerrno>
#include <cstring>

#include "codec/byte_order.hpp"
#include "codec/frame.hpp"
#include "runtime/dependency_internals.hpp"
#include "ws/connection.hpp"

namespace tarnel::ws {

namespace {

// The answers read directly are small; a larger one goes the usual way.
constexpr std::size_t kDirectReadBytes = 64 * 1024;

constexpr std::uint8_t kFinalBinary = 0x82;  // FIN, no extension bits, opcode 2
constexpr std::uint8_t kMaskBit = 0x80;

// Writes the header of an unmasked binary frame of `size` bytes; returns its length.
std::size_t write_frame_head(std::uint8_t* out, std::uint64_t size) {
    out[0] = kFinalBinary;
    if (size < 126) {
        out[1] = static_cast<std::uint8_t>(size);
        return 2;
    }
    if (size <= 0xFFFF) {
        out[1] = 126;
        out[2] = static_cast<std::uint8_t>(size >> 8);
        out[3] = static_cast<std::uint8_t>(size);
        return 4;
    }
    out[1] = 127;
    for (int i = 0; i < 8; ++i) out[2 + i] = static_cast<std::uint8_t>(size >> (8 * (7 - i)));
    return 10;
}

// A whole client frame at the start of `bytes`: final, binary, masked, its length in the shortest form
// (as the protocol requires). Anything else (including a frame not yet whole) is for the WebSocket layer.
struct ClientFrame {
    std::size_t payload_at;
    std::size_t payload_size;
    std::array<std::uint8_t, 4> mask;
};
std::optional<ClientFrame> whole_binary_frame(ByteView bytes) {
    if (bytes.size() < 2 || bytes[0] != kFinalBinary || (bytes[1] & kMaskBit) == 0) return std::nullopt;
    const std::uint8_t short_size = bytes[1] & 0x7F;
    std::size_t at = 2;
    std::uint64_t size = short_size;
    if (short_size == 126) {
        if (bytes.size() < 4) return std::nullopt;
        size = (std::uint64_t{bytes[2]} << 8) | bytes[3];
        if (size < 126) return std::nullopt;
        at = 4;
    } else if (short_size == 127) {
        if (bytes.size() < 10) return std::nullopt;
        size = 0;
        for (int i = 0; i < 8; ++i) size = (size << 8) | bytes[2 + i];
        if (size <= 0xFFFF) return std::nullopt;
        at = 10;
    }
    if (bytes.size() < at + 4 || size > bytes.size() - at - 4) return std::nullopt;
    ClientFrame frame{at + 4, static_cast<std::size_t>(size), {}};
    std::memcpy(frame.mask.data(), bytes.data() + at, 4);
    return frame;
}

// Unmasks `size` bytes that start `offset` bytes into the frame's payload.
void unmask(const std::uint8_t* in, std::uint8_t* out, std::size_t size, const std::array<std::uint8_t, 4>& mask,
            std::size_t offset) {
    std::uint8_t key[8];
    for (int i = 0; i < 8; ++i) key[i] = mask[(offset + i) % 4];
    std::uint64_t key_word;
    std::memcpy(&key_word, key, 8);
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, in + i, 8);
        word ^= key_word;
        std::memcpy(out + i, &word, 8);
    }
    for (; i < size; ++i) out[i] = in[i] ^ key[i % 8];
}

}  // namespace

bool Connection::idle() const {
    // The strand's own flags first: a write or read that ends sets them last, after everything else.
    return read_state_ == ReadState::Idle && !writing_ && !discarded_ && nothing_buffered();
}

bool Connection::nothing_buffered() const {
    return !ws_.next_layer().next_layer().holds_anything() && internals::websocket_between_messages(ws_);
}

void Connection::note_direct_read(const DirectLane::Hold& lane) {
    lane.check();
    direct_misses_in_a_row_ = socket_was_empty_ ? std::min(direct_misses_in_a_row_ + 1, 2u) : 0;
}

bool Connection::worth_reading_directly(const DirectLane::Hold& lane) {
    lane.check();
    if (direct_misses_in_a_row_ < 2 || ++direct_reads_skipped_ >= kRetryDirectReadEvery) {
        direct_reads_skipped_ = 0;
        return true;
    }
    return false;
}

BasicExpected<Bytes, boost::system::error_code> Connection::write_directly(const DirectLane::Hold& lane,
                                                                         const RequestHeader& header,
                                                                         ByteView payload) {
    lane.check();
    std::array<std::uint8_t, 10 + 16> head;
    const std::size_t frame_head = write_frame_head(head.data(), header.size() + payload.size());
    std::memcpy(head.data() + frame_head, header.data(), header.size());
    const std::size_t head_size = frame_head + header.size();
    iovec parts[2] = {{head.data(), head_size}, {const_cast<std::uint8_t*>(payload.data()), payload.size()}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = payload.empty() ? 1 : 2;
    const int fd = beast::get_lowest_layer(ws_).native_handle();
    ssize_t sent;
    do {
        sent = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        return Unexpected<boost::system::error_code>(boost::system::error_code(errno, boost::system::system_category()));
    }
    const std::size_t written = sent < 0 ? 0 : static_cast<std::size_t>(sent);
    Bytes rest;
    if (written < head_size) rest.insert(rest.end(), head.begin() + written, head.begin() + head_size);
    const std::size_t payload_written = written > head_size ? written - head_size : 0;
    rest.insert(rest.end(), payload.begin() + static_cast<std::ptrdiff_t>(payload_written), payload.end());
    return rest;
}

std::optional<Connection::DirectAnswer> Connection::read_directly(const DirectLane::Hold& lane, std::uint32_t seq,
                                                                 std::uint16_t fn_id) {
    lane.check();
    if (direct_buffer_.size() < kDirectReadBytes) direct_buffer_.resize(kDirectReadBytes);
    const int fd = beast::get_lowest_layer(ws_).native_handle();
    ssize_t got;
    do {
        got = ::recv(fd, direct_buffer_.data(), direct_buffer_.size(), MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    socket_was_empty_ = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    if (socket_was_empty_) return std::nullopt;
    const boost::system::error_code failure =
        got < 0 ? boost::system::error_code(errno, boost::system::system_category()) : boost::system::error_code();
    return take_answer(failure, got < 0 ? 0 : static_cast<std::size_t>(got), seq, fn_id);
}

std::optional<Connection::DirectAnswer> Connection::take_answer(boost::system::error_code failure, std::size_t got,
                                                                std::uint32_t seq, std::uint16_t fn_id) {
    auto& replay = ws_.next_layer().next_layer();
    if (failure || got == 0) {
        replay.give_back_failure(failure ? failure : asio::error::eof);
        return std::nullopt;
    }
    const ByteView received(direct_buffer_.data(), got);
    const auto frame = whole_binary_frame(received);
    if (frame && frame->payload_size >= frame::kHeaderLen) {
        RequestHeader head;
        unmask(received.data() + frame->payload_at, head.data(), head.size(), frame->mask, 0);
        const frame::Header h = frame::read_header(ByteView(head.data(), head.size()));
        if (h.version == frame::kProtocolVersion && h.kind == static_cast<std::uint8_t>(frame::Kind::Response) &&
            h.seq == seq && h.fn_id == fn_id && frame::kHeaderLen + std::uint64_t{h.payload_len} == frame->payload_size) {
            Bytes answer(h.payload_len);
            unmask(received.data() + frame->payload_at + frame::kHeaderLen, answer.data(), answer.size(), frame->mask,
                   frame::kHeaderLen);
            const std::size_t frame_end = frame->payload_at + frame->payload_size;
            if (frame_end < received.size()) replay.give_back(received.subspan(frame_end));
            return DirectAnswer{head, std::move(answer)};
        }
    }
    replay.give_back(received);
    return std::nullopt;
}

void Connection::read_when_readable(AnswerTo answer_to) {
    if (direct_buffer_.size() < kDirectReadBytes) direct_buffer_.resize(kDirectReadBytes);
    beast::get_lowest_layer(ws_).async_read_some(
        asio::buffer(direct_buffer_),
        [self = shared_from_this(), answer_to](boost::system::error_code ec, std::size_t got) {
            if (ec == asio::error::operation_aborted || ec == asio::error::bad_descriptor) {
                return self->read_ended(ec, false);  // discarded meanwhile
            }
            // What throws here (no memory for the answer) ends the read, not the link's run: the caller
            // would otherwise wait for its deadline.
            std::optional<DirectAnswer> answer;
            try {
                answer = self->take_answer(ec, got, answer_to.seq, answer_to.fn_id);
                if (!answer) self->start_websocket_read();
            } catch (...) {
                return self->read_broke(std::current_exception());
            }
            if (answer) self->answer_read(*answer);
        });
}

}  // namespace tarnel::ws
