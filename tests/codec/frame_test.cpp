// The 16-byte RPC envelope: request and echo-reply bytes, classification rules in order, error bodies.
#include "codec/frame.hpp"

#include <gtest/gtest.h>

#include "support/hex_bytes.hpp"

#include <cstdint>
#include <optional>
#include <sstream>
#include <string>

namespace tarnel::frame {
namespace {

using tarnel::test_support::hex;

Bytes text_bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

void put_le(Bytes& out, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A received frame written field by field, so that each test can spoil exactly one field.
struct Raw {
    std::uint8_t version = 1;
    std::uint8_t kind = 2;
    std::uint16_t reserved_a = 0;
    std::uint32_t seq = 0;
    std::uint16_t fn_id = 0;
    std::uint16_t reserved_b = 0;
    std::optional<std::uint32_t> declared;  // the payload's own length unless set
    Bytes payload;

    Bytes bytes() const {
        Bytes out;
        put_le(out, version, 1);
        put_le(out, kind, 1);
        put_le(out, reserved_a, 2);
        put_le(out, seq, 4);
        put_le(out, fn_id, 2);
        put_le(out, reserved_b, 2);
        put_le(out, declared.value_or(static_cast<std::uint32_t>(payload.size())), 4);
        out.insert(out.end(), payload.begin(), payload.end());
        return out;
    }
};

Bytes error_body(std::uint16_t err, std::uint16_t sub, std::uint32_t declared, const Bytes& message) {
    Bytes out;
    put_le(out, err, 2);
    put_le(out, sub, 2);
    put_le(out, declared, 4);
    out.insert(out.end(), message.begin(), message.end());
    return out;
}

std::string decode_failure(const Outcome& o) {
    if (auto* f = std::get_if<outcome::DecodeFailure>(&o)) return f->text;
    ADD_FAILURE() << "not a DecodeFailure (index " << o.index() << ")";
    return {};
}

std::string transport_failure(const Outcome& o) {
    if (auto* f = std::get_if<outcome::TransportFailure>(&o)) return f->text;
    ADD_FAILURE() << "not a TransportFailure (index " << o.index() << ")";
    return {};
}

// --- building -----------------------------------------------------------------------------------

TEST(RequestFrame, EmptyPayloadExample) {
    EXPECT_EQ(encode_request(1, 2, {}), hex("01 01 00 00 01 00 00 00 02 00 00 00 00 00 00 00"));
}

TEST(RequestFrame, FieldsAreLittleEndianAndPayloadFollows) {
    const Bytes payload = hex("AA BB CC");
    EXPECT_EQ(encode_request(0x04030201, 0x0605, payload),
              hex("01 01 00 00 01 02 03 04 05 06 00 00 03 00 00 00 AA BB CC"));
    EXPECT_EQ(encode_request(0xFFFFFFFF, 0xFFFF, {}),
              hex("01 01 00 00 FF FF FF FF FF FF 00 00 00 00 00 00"));

    std::uint8_t header[kHeaderLen];
    write_request_header(header, 7, 31, 0x00010203);
    EXPECT_EQ(Bytes(header, header + kHeaderLen), hex("01 01 00 00 07 00 00 00 1F 00 00 00 03 02 01 00"));
}

TEST(RequestFrame, ResponseExampleIsReadBack) {
    const Bytes response = hex("01 02 00 00 01 00 00 00 02 00 00 00 02 00 00 00 41 42");
    const Header h = read_header(response);
    EXPECT_EQ(h.version, 1);
    EXPECT_EQ(h.kind, 2);
    EXPECT_EQ(h.seq, 1u);
    EXPECT_EQ(h.fn_id, 2);
    EXPECT_EQ(h.payload_len, 2u);

    const Outcome o = classify(response, 1, 2);
    auto* success = std::get_if<outcome::Success>(&o);
    ASSERT_NE(success, nullptr) << "index " << o.index();
    EXPECT_EQ(Bytes(success->payload.begin(), success->payload.end()), hex("41 42"));
}

TEST(EchoReply, CopiesSeqFnIdAndPayloadAndZeroesReserved) {
    Raw echo;
    echo.kind = 4;
    echo.reserved_a = 0xBEEF;
    echo.reserved_b = 0xCAFE;
    echo.seq = 0x11223344;
    echo.fn_id = 0x5566;
    echo.payload = hex("01 02 03 04 05");
    const Bytes request = echo.bytes();

    const Bytes reply = encode_echo_reply(request);
    EXPECT_EQ(reply.size(), request.size());
    EXPECT_EQ(reply, hex("01 05 00 00 44 33 22 11 66 55 00 00 05 00 00 00 01 02 03 04 05"));

    echo.payload.clear();
    EXPECT_EQ(encode_echo_reply(echo.bytes()), hex("01 05 00 00 44 33 22 11 66 55 00 00 00 00 00 00"));
}

// --- classification, rule by rule ---------------------------------------------------------------

TEST(Classify, FrameTooShort) {
    EXPECT_EQ(decode_failure(classify(Bytes(15, 0), 0, 0)), "frame too short: 15 < 16");
    EXPECT_EQ(decode_failure(classify(Bytes{}, 0, 0)), "frame too short: 0 < 16");
    // Too short wins even when the bytes begin like a valid echo request.
    EXPECT_EQ(decode_failure(classify(hex("01 04 00 00 00 00 00 00 00 00 00 00 00 00 00"), 0, 0)),
              "frame too short: 15 < 16");
}

TEST(Classify, PayloadLengthMismatch) {
    Raw r;
    r.payload = Bytes(4, 0);
    r.declared = 8;
    EXPECT_EQ(decode_failure(classify(r.bytes(), 0, 0)), "payload length mismatch: expected 24, got 20");
    r.declared = 3;
    EXPECT_EQ(decode_failure(classify(r.bytes(), 0, 0)), "payload length mismatch: expected 19, got 20");
    r.declared = 4;
    EXPECT_TRUE(std::holds_alternative<outcome::Success>(classify(r.bytes(), 0, 0)));

    // The sum is not taken modulo 2^32.
    Raw huge;
    huge.declared = 0xFFFFFFFF;
    EXPECT_EQ(decode_failure(classify(huge.bytes(), 0, 0)), "payload length mismatch: expected 4294967311, got 16");
    huge.payload = Bytes(1, 0);
    EXPECT_EQ(decode_failure(classify(huge.bytes(), 0, 0)), "payload length mismatch: expected 4294967311, got 17");
}

TEST(Classify, LengthIsCheckedBeforeVersion) {
    Raw r;
    r.version = 2;
    r.declared = 1;
    EXPECT_EQ(decode_failure(classify(r.bytes(), 0, 0)), "payload length mismatch: expected 17, got 16");
}

TEST(Classify, ProtocolVersionMismatch) {
    Raw r;
    r.seq = 9;
    r.fn_id = 3;
    r.version = 2;
    EXPECT_EQ(transport_failure(classify(r.bytes(), 9, 3)), "protocol version mismatch: got 2, expected 1");
    r.version = 0;
    EXPECT_EQ(transport_failure(classify(r.bytes(), 9, 3)), "protocol version mismatch: got 0, expected 1");
    r.version = 255;  // an unsigned byte, never -1
    EXPECT_EQ(transport_failure(classify(r.bytes(), 9, 3)), "protocol version mismatch: got 255, expected 1");
}

TEST(Classify, VersionIsCheckedBeforeKind) {
    for (std::uint8_t kind : {0, 1, 3, 4, 5, 200}) {
        SCOPED_TRACE(int{kind});
        Raw r;
        r.version = 2;
        r.kind = kind;
        EXPECT_EQ(transport_failure(classify(r.bytes(), 0, 0)), "protocol version mismatch: got 2, expected 1");
    }
}

TEST(Classify, EchoRequestIsEchoedWhateverItsSeqAndFnId) {
    struct Case {
        std::uint32_t seq;
        std::uint16_t fn_id;
    };
    // Matching the pending call, differing from it in one field, in both, and extreme values.
    for (Case c : {Case{5, 15}, Case{6, 15}, Case{5, 16}, Case{0, 0}, Case{0xFFFFFFFF, 0xFFFF}}) {
        SCOPED_TRACE(std::to_string(c.seq) + "/" + std::to_string(c.fn_id));
        Raw r;
        r.kind = 4;
        r.seq = c.seq;
        r.fn_id = c.fn_id;
        r.reserved_a = 0x0101;
        r.reserved_b = 0xFFFF;
        r.payload = hex("DE AD");
        const Bytes request = r.bytes();

        const Outcome o = classify(request, 5, 15);
        auto* echo = std::get_if<outcome::Echo>(&o);
        ASSERT_NE(echo, nullptr) << "index " << o.index();
        Raw expected = r;
        expected.kind = 5;
        expected.reserved_a = 0;
        expected.reserved_b = 0;
        EXPECT_EQ(echo->reply, expected.bytes());
        EXPECT_EQ(echo->reply, encode_echo_reply(request));
    }
}

TEST(Classify, OtherKindsAreIgnoredWhateverTheirSeqAndFnId) {
    for (std::uint8_t kind : {0, 1, 5, 6, 200, 255}) {
        SCOPED_TRACE(int{kind});
        Raw r;
        r.kind = kind;
        r.seq = 99;
        r.fn_id = 98;
        r.payload = hex("01");
        EXPECT_TRUE(std::holds_alternative<outcome::Ignore>(classify(r.bytes(), 1, 2)));
        r.seq = 1;
        r.fn_id = 2;
        EXPECT_TRUE(std::holds_alternative<outcome::Ignore>(classify(r.bytes(), 1, 2)));
    }
}

TEST(Classify, SeqMismatchIsReportedBeforeFnIdMismatch) {
    for (std::uint8_t kind : {2, 3}) {
        SCOPED_TRACE(int{kind});
        Raw r;
        r.kind = kind;
        r.seq = 8;
        r.fn_id = 31;
        EXPECT_EQ(transport_failure(classify(r.bytes(), 7, 30)), "seq mismatch: expected 7, got 8");
        EXPECT_EQ(transport_failure(classify(r.bytes(), 7, 31)), "seq mismatch: expected 7, got 8");
        EXPECT_EQ(transport_failure(classify(r.bytes(), 8, 30)), "fnId mismatch: expected 30, got 31");

        r.seq = 0xFFFFFFFF;
        r.fn_id = 0xFFFF;
        EXPECT_EQ(transport_failure(classify(r.bytes(), 0, 0)), "seq mismatch: expected 0, got 4294967295");
        EXPECT_EQ(transport_failure(classify(r.bytes(), 0xFFFFFFFF, 0)), "fnId mismatch: expected 0, got 65535");
    }
}

TEST(Classify, ResponseSucceedsWithExactlyThePayload) {
    Raw r;
    r.seq = 42;
    r.fn_id = 15;
    const Outcome empty = classify(r.bytes(), 42, 15);
    auto* s = std::get_if<outcome::Success>(&empty);
    ASSERT_NE(s, nullptr) << "index " << empty.index();
    EXPECT_TRUE(s->payload.empty());

    r.payload = hex("00 01 02 03 04 05 06 07 08");
    const Bytes frame = r.bytes();
    const Outcome full = classify(frame, 42, 15);
    s = std::get_if<outcome::Success>(&full);
    ASSERT_NE(s, nullptr) << "index " << full.index();
    EXPECT_EQ(Bytes(s->payload.begin(), s->payload.end()), r.payload);
}

TEST(Classify, ReservedBytesMayHoldAnyValue) {
    for (std::uint16_t reserved : {0x0001, 0x8000, 0xFFFF}) {
        SCOPED_TRACE(reserved);
        Raw r;
        r.reserved_a = reserved;
        r.reserved_b = static_cast<std::uint16_t>(~reserved);
        r.seq = 3;
        r.fn_id = 4;
        r.payload = hex("41 42");
        const Bytes ok_frame = r.bytes();  // the Success payload borrows the frame: keep it alive
        const Outcome ok = classify(ok_frame, 3, 4);
        auto* s = std::get_if<outcome::Success>(&ok);
        ASSERT_NE(s, nullptr) << "index " << ok.index();
        EXPECT_EQ(Bytes(s->payload.begin(), s->payload.end()), hex("41 42"));

        r.kind = 3;
        r.payload = hex("03 00 01 00 02 00 00 00 6E 6F");
        const Outcome err = classify(r.bytes(), 3, 4);
        auto* remote = std::get_if<outcome::RemoteError>(&err);
        ASSERT_NE(remote, nullptr) << "index " << err.index();
        EXPECT_EQ(remote->error, (RpcError{3, 4, 3, 1, "no"}));
    }
}

TEST(Classify, ErrorResponseCarriesSeqFnIdAndBody) {
    Raw r;
    r.kind = 3;
    r.seq = 7;
    r.fn_id = 31;
    r.payload = hex("03 00 01 00 02 00 00 00 6E 6F");
    const Outcome o = classify(r.bytes(), 7, 31);
    auto* remote = std::get_if<outcome::RemoteError>(&o);
    ASSERT_NE(remote, nullptr) << "index " << o.index();
    EXPECT_EQ(remote->error.seq, 7u);
    EXPECT_EQ(remote->error.fn_id, 31);
    EXPECT_EQ(remote->error.err, 3);
    EXPECT_EQ(remote->error.sub, 1);
    EXPECT_EQ(remote->error.message, "no");
    EXPECT_EQ(EngineError::rpc(remote->error).text(), "RpcError(seq=7, fnId=31, err=3, sub=1): no");

    // An error body too short for its own header still yields a RemoteError, with zeros.
    r.payload = Bytes(7, 0xFF);
    const Outcome short_body = classify(r.bytes(), 7, 31);
    remote = std::get_if<outcome::RemoteError>(&short_body);
    ASSERT_NE(remote, nullptr) << "index " << short_body.index();
    EXPECT_EQ(remote->error, (RpcError{7, 31, 0, 0, ""}));

    r.payload.clear();
    const Outcome empty_body = classify(r.bytes(), 7, 31);
    remote = std::get_if<outcome::RemoteError>(&empty_body);
    ASSERT_NE(remote, nullptr) << "index " << empty_body.index();
    EXPECT_EQ(remote->error, (RpcError{7, 31, 0, 0, ""}));
}

// --- error bodies -------------------------------------------------------------------------------

TEST(ErrorBodyDecode, ExampleBody) {
    const ErrorBody body = decode_error_body(hex("03 00 01 00 02 00 00 00 6E 6F"));
    EXPECT_EQ(body.err, 3);
    EXPECT_EQ(body.sub, 1);
    EXPECT_EQ(body.message, "no");
}

TEST(ErrorBodyDecode, ShortBodyGivesZerosAndNoMessage) {
    for (std::size_t size : {0, 1, 4, 7}) {
        SCOPED_TRACE(size);
        const ErrorBody body = decode_error_body(Bytes(size, 0x41));
        EXPECT_EQ(body.err, 0);
        EXPECT_EQ(body.sub, 0);
        EXPECT_EQ(body.message, "");
    }
}

TEST(ErrorBodyDecode, DeclaredLengthPastTheEndKeepsCodesDropsMessage) {
    const ErrorBody body = decode_error_body(error_body(3, 1, 100, text_bytes("0123456789")));
    EXPECT_EQ(body.err, 3);
    EXPECT_EQ(body.sub, 1);
    EXPECT_EQ(body.message, "");

    const ErrorBody one_short = decode_error_body(error_body(0xFFFF, 0x8001, 3, text_bytes("ab")));
    EXPECT_EQ(one_short.err, 0xFFFF);
    EXPECT_EQ(one_short.sub, 0x8001);
    EXPECT_EQ(one_short.message, "");

    // 8 + 2^32 - 1 must not wrap to a small number.
    const ErrorBody huge = decode_error_body(error_body(5, 6, 0xFFFFFFFF, text_bytes("abcdefghijklmnop")));
    EXPECT_EQ(huge.err, 5);
    EXPECT_EQ(huge.sub, 6);
    EXPECT_EQ(huge.message, "");
}

TEST(ErrorBodyDecode, MessageOfExactLengthAndTrailingBytesIgnored) {
    EXPECT_EQ(decode_error_body(error_body(1, 2, 5, text_bytes("hello"))).message, "hello");
    EXPECT_EQ(decode_error_body(error_body(1, 2, 5, text_bytes("hello, world"))).message, "hello");
    EXPECT_EQ(decode_error_body(error_body(1, 2, 0, text_bytes("ignored"))).message, "");
    // The message may carry NUL bytes; they are kept.
    EXPECT_EQ(decode_error_body(error_body(1, 2, 3, hex("61 00 62"))).message, std::string("a\0b", 3));
}

TEST(ErrorBodyDecode, InvalidUtf8IsReplacedPerMaximalSubpart) {
    struct Case {
        const char* what;
        Bytes message;
        std::string expected;  // what a lossy UTF-8 decode with maximal-subpart replacement yields
    };
    const std::string fffd = "\xEF\xBF\xBD";
    const Case cases[] = {
        {"truncated three-byte sequence", hex("E2 82"), fffd},
        {"truncated three-byte sequence before ASCII", hex("E2 82 41"), fffd + "A"},
        {"surrogate", hex("ED A0 80"), fffd + fffd + fffd},
        {"overlong NUL", hex("C0 80"), fffd + fffd},
        {"beyond U+10FFFF", hex("F4 90 80 80"), fffd + fffd + fffd + fffd},
        {"lone continuation between ASCII", hex("61 80 62"), "a" + fffd + "b"},
        {"valid multibyte kept", hex("C3 A9 E2 82 AC F0 9F 98 80"), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ErrorBody body =
            decode_error_body(error_body(1, 1, static_cast<std::uint32_t>(c.message.size()), c.message));
        EXPECT_EQ(body.err, 1);
        EXPECT_EQ(body.message, c.expected);
    }
}

}  // namespace
}  // namespace tarnel::frame
