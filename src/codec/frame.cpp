// The RPC frame envelope: layout, the classification of received frames and error bodies.
#include "codec/frame.hpp"

#include <cstring>

#include "codec/byte_order.hpp"
#include "codec/utf8.hpp"

namespace tarnel::frame {

Header read_header(ByteView frame) {
    const std::uint8_t* p = frame.data();
    return Header{p[0], p[1], le::load<std::uint32_t>(p + 4), le::load<std::uint16_t>(p + 8),
                  le::load<std::uint32_t>(p + 12)};
}

namespace {
void write_header(std::uint8_t* out, Kind kind, std::uint32_t seq, std::uint16_t fn_id, std::uint32_t payload_len) {
    out[0] = kProtocolVersion;
    out[1] = static_cast<std::uint8_t>(kind);
    le::store<std::uint16_t>(out + 2, 0);
    le::store<std::uint32_t>(out + 4, seq);
    le::store<std::uint16_t>(out + 8, fn_id);
    le::store<std::uint16_t>(out + 10, 0);
    le::store<std::uint32_t>(out + 12, payload_len);
}
}  // namespace

void write_request_header(std::uint8_t* out, std::uint32_t seq, std::uint16_t fn_id, std::uint32_t payload_len) {
    write_header(out, Kind::Request, seq, fn_id, payload_len);
}

Bytes encode_request(std::uint32_t seq, std::uint16_t fn_id, ByteView payload) {
    Bytes out(kHeaderLen + payload.size());
    write_request_header(out.data(), seq, fn_id, static_cast<std::uint32_t>(payload.size()));
    if (!payload.empty()) std::memcpy(out.data() + kHeaderLen, payload.data(), payload.size());
    return out;
}

Bytes encode_echo_reply(ByteView echo_request) {
    const Header h = read_header(echo_request);
    Bytes out(echo_request.begin(), echo_request.end());
    write_header(out.data(), Kind::EchoReply, h.seq, h.fn_id, h.payload_len);
    return out;
}

ErrorBody decode_error_body(ByteView payload) {
    if (payload.size() < 8) return {};
    ErrorBody body{le::load<std::uint16_t>(payload.data()), le::load<std::uint16_t>(payload.data() + 2), {}};
    const std::uint64_t length = le::load<std::uint32_t>(payload.data() + 4);
    if (8 + length <= payload.size()) body.message = utf8::decode_lossy(payload.subspan(8, length));
    return body;
}

Outcome classify(ByteView frame, std::uint32_t expected_seq, std::uint16_t expected_fn_id) {
    const std::size_t length = frame.size();
    if (length < kHeaderLen) {
        return outcome::DecodeFailure{"frame too short: " + std::to_string(length) + " < " +
                                      std::to_string(kHeaderLen)};
    }
    const Header h = read_header(frame);
    const std::uint64_t declared = kHeaderLen + std::uint64_t{h.payload_len};
    if (declared != length) {
        return outcome::DecodeFailure{"payload length mismatch: expected " + std::to_string(declared) + ", got " +
                                      std::to_string(length)};
    }
    if (h.version != kProtocolVersion) {
        return outcome::TransportFailure{"protocol version mismatch: got " + std::to_string(h.version) +
                                         ", expected " + std::to_string(kProtocolVersion)};
    }
    if (h.kind == static_cast<std::uint8_t>(Kind::EchoRequest)) return outcome::Echo{encode_echo_reply(frame)};
    const bool response = h.kind == static_cast<std::uint8_t>(Kind::Response);
    if (!response && h.kind != static_cast<std::uint8_t>(Kind::ErrorResponse)) return outcome::Ignore{};
    if (h.seq != expected_seq) {
        return outcome::TransportFailure{"seq mismatch: expected " + std::to_string(expected_seq) + ", got " +
                                         std::to_string(h.seq)};
    }
    if (h.fn_id != expected_fn_id) {
        return outcome::TransportFailure{"fnId mismatch: expected " + std::to_string(expected_fn_id) + ", got " +
                                         std::to_string(h.fn_id)};
    }
    const ByteView payload = frame.subspan(kHeaderLen);
    if (response) return outcome::Success{payload};
    ErrorBody body = decode_error_body(payload);
    return outcome::RemoteError{RpcError{h.seq, h.fn_id, body.err, body.sub, std::move(body.message)}};
}

}  // namespace tarnel::frame
