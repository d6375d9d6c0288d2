// ErrorBody decoding never fails: fields as read, the message only when it fits, and always valid UTF-8
// that equals the sent bytes whenever those were valid.
#include "codec/frame.hpp"
#include "codec/utf8.hpp"
#include "fuzz_support.hpp"

using namespace tarnel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::exact_copy(data, size);
    const frame::ErrorBody body = frame::decode_error_body(ByteView(input));
    if (size < 8) {
        FUZZ_CHECK(body.err == 0 && body.sub == 0 && body.message.empty(), fuzz::hex(data, size));
        return 0;
    }
    FUZZ_CHECK(body.err == fuzz::load_le(&input[0], 2) && body.sub == fuzz::load_le(&input[2], 2),
               fuzz::hex(data, size));
    const std::uint64_t m = fuzz::load_le(&input[4], 4);
    if (8 + m > size) {
        FUZZ_CHECK(body.message.empty(), "a message that does not fit was read: " + fuzz::hex(data, size));
        return 0;
    }
    const std::uint8_t* sent = input.data() + 8;
    const auto* text = reinterpret_cast<const std::uint8_t*>(body.message.data());
    const bool sent_valid = fuzz::utf8_valid(sent, m);
    FUZZ_CHECK(utf8::is_valid(ByteView(sent, m)) == sent_valid, "validity disagrees: " + fuzz::hex(sent, m));
    FUZZ_CHECK(fuzz::utf8_valid(text, body.message.size()), "invalid UTF-8 out: " + fuzz::hex(sent, m));
    if (sent_valid) {
        FUZZ_CHECK(body.message.size() == m && std::memcmp(text, sent, m) == 0, "valid text changed: " + fuzz::hex(sent, m));
    } else {
        // Every invalid subpart becomes one U+FFFD (3 bytes) and replaces at least one byte.
        FUZZ_CHECK(body.message.find("\xEF\xBF\xBD") != std::string::npos, "nothing replaced: " + fuzz::hex(sent, m));
        FUZZ_CHECK(body.message.size() <= 3 * m, "output too long: " + fuzz::hex(sent, m));
    }
    // Bytes after the message are ignored.
    auto longer = input;
    longer.push_back(0xFF);
    const frame::ErrorBody again = frame::decode_error_body(ByteView(longer));
    FUZZ_CHECK(again.err == body.err && again.sub == body.sub && again.message == body.message,
               "a trailing byte changed the body: " + fuzz::hex(data, size));
    return 0;
}
