// Classification of a received frame against an expected seq and fnId taken from the input: the outcome
// must be the one the header calls for, with its exact text; reserved bytes must not matter.
//
// Input: one mode byte, the expected seq (4 bytes) and fnId (2 bytes), then the frame. The mode lets the
// expected values come from the frame itself, so that matching responses are reached often.
#include <cstdint>
#include <variant>

#include "codec/frame.hpp"
#include "fuzz_support.hpp"

using namespace tarnel;
namespace outcome = frame::outcome;

namespace {

std::string describe(const frame::Outcome& o) {
    if (auto* s = std::get_if<outcome::Success>(&o)) return "Success(" + std::to_string(s->payload.size()) + ")";
    if (auto* r = std::get_if<outcome::RemoteError>(&o)) return "RemoteError(" + render(r->error) + ")";
    if (auto* e = std::get_if<outcome::Echo>(&o)) return "Echo(" + fuzz::hex(e->reply.data(), e->reply.size(), SIZE_MAX) + ")";
    if (std::holds_alternative<outcome::Ignore>(o)) return "Ignore";
    if (auto* d = std::get_if<outcome::DecodeFailure>(&o)) return "DecodeFailure(" + d->text + ")";
    return "TransportFailure(" + std::get<outcome::TransportFailure>(o).text + ")";
}

// What the header calls for, worked out here from the bytes; the frame is at least 16 bytes long.
std::string expected_outcome(const tarnel::Bytes& f, std::uint32_t seq, std::uint16_t fn_id) {
    const std::size_t length = f.size();
    if (length < 16) return "DecodeFailure(frame too short: " + std::to_string(length) + " < 16)";
    const std::uint64_t declared = 16 + fuzz::load_le(&f[12], 4);
    if (declared != length) {
        return "DecodeFailure(payload length mismatch: expected " + std::to_string(declared) + ", got " +
               std::to_string(length) + ")";
    }
    if (f[0] != 1) return "TransportFailure(protocol version mismatch: got " + std::to_string(f[0]) + ", expected 1)";
    if (f[1] == 4) {
        tarnel::Bytes reply = f;
        reply[1] = 5;
        reply[2] = reply[3] = reply[10] = reply[11] = 0;
        return "Echo(" + fuzz::hex(reply.data(), reply.size(), SIZE_MAX) + ")";
    }
    if (f[1] != 2 && f[1] != 3) return "Ignore";
    const auto got_seq = static_cast<std::uint32_t>(fuzz::load_le(&f[4], 4));
    const auto got_fn = static_cast<std::uint16_t>(fuzz::load_le(&f[8], 2));
    if (got_seq != seq) {
        return "TransportFailure(seq mismatch: expected " + std::to_string(seq) + ", got " + std::to_string(got_seq) + ")";
    }
    if (got_fn != fn_id) {
        return "TransportFailure(fnId mismatch: expected " + std::to_string(fn_id) + ", got " + std::to_string(got_fn) +
               ")";
    }
    if (f[1] == 2) return "Success(" + std::to_string(length - 16) + ")";
    const frame::ErrorBody body = frame::decode_error_body(ByteView(f).subspan(16));
    return "RemoteError(" + render(RpcError{got_seq, got_fn, body.err, body.sub, body.message}) + ")";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 7) return 0;
    const std::uint8_t mode = data[0] % 4;
    auto seq = static_cast<std::uint32_t>(fuzz::load_le(data + 1, 4));
    auto fn_id = static_cast<std::uint16_t>(fuzz::load_le(data + 5, 2));
    const auto f = fuzz::exact_copy(data + 7, size - 7);
    if (f.size() >= 16 && (mode == 1 || mode == 2)) seq = static_cast<std::uint32_t>(fuzz::load_le(&f[4], 4));
    if (f.size() >= 16 && (mode == 2 || mode == 3)) fn_id = static_cast<std::uint16_t>(fuzz::load_le(&f[8], 2));

    const frame::Outcome got = frame::classify(ByteView(f), seq, fn_id);
    const std::string want = expected_outcome(f, seq, fn_id);
    FUZZ_CHECK(describe(got) == want, "got " + describe(got) + ", want " + want + " for " + fuzz::hex(f.data(), f.size()));

    if (auto* success = std::get_if<outcome::Success>(&got)) {
        FUZZ_CHECK(success->payload.data() == f.data() + 16 && success->payload.size() == f.size() - 16,
                   "the payload does not lie exactly after the header");
    }
    if (f.size() >= 16) {
        // The reserved bytes are ignored on receipt.
        auto altered = f;
        altered[2] ^= 0xA5, altered[3] ^= 0x01, altered[10] ^= 0xFF, altered[11] ^= 0x3C;
        const frame::Outcome again = frame::classify(ByteView(altered), seq, fn_id);
        FUZZ_CHECK(describe(again) == want, "reserved bytes changed the outcome to " + describe(again));
    }
    return 0;
}
