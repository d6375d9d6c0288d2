// The 16-byte RPC frame envelope: building requests and echo replies, classifying received frames.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "codec/engine_error.hpp"
#include "codec/payload_codec.hpp"

namespace tarnel::frame {

inline constexpr std::uint8_t kProtocolVersion = 1;
inline constexpr std::size_t kHeaderLen = 16;

enum class Kind : std::uint8_t {
    Request = 1,
    Response = 2,
    ErrorResponse = 3,
    EchoRequest = 4,
    EchoReply = 5,
};

struct Header {
    std::uint8_t version = 0;
    std::uint8_t kind = 0;
    std::uint32_t seq = 0;
    std::uint16_t fn_id = 0;
    std::uint32_t payload_len = 0;
};

// Reads the header fields; the caller guarantees at least kHeaderLen bytes.
Header read_header(ByteView frame);

// Builds a Request frame in one buffer of its final size.
Bytes encode_request(std::uint32_t seq, std::uint16_t fn_id, ByteView payload);
// Writes the 16 header bytes of a Request carrying `payload_len` bytes.
void write_request_header(std::uint8_t* out, std::uint32_t seq, std::uint16_t fn_id, std::uint32_t payload_len);
// Builds the EchoReply of an EchoRequest that passed the length and version checks.
Bytes encode_echo_reply(ByteView echo_request);

struct ErrorBody {
    std::uint16_t err = 0;
    std::uint16_t sub = 0;
    std::string message;
};
// Never fails: a body too short for its fields or its declared message gives an empty message.
ErrorBody decode_error_body(ByteView payload);

namespace outcome {
struct Success {
    ByteView payload;  // borrows the classified frame
};
struct RemoteError {
    RpcError error;
};
struct Echo {
    Bytes reply;
};
struct Ignore {};
struct DecodeFailure {
    std::string text;
};
struct TransportFailure {
    std::string text;
};
}  // namespace outcome

using Outcome = std::variant<outcome::Success, outcome::RemoteError, outcome::Echo, outcome::Ignore,
                             outcome::DecodeFailure, outcome::TransportFailure>;

// Applies the checks to one received binary message, in their fixed order; the first that applies decides.
Outcome classify(ByteView frame, std::uint32_t expected_seq, std::uint16_t expected_fn_id);

}  // namespace tarnel::frame
