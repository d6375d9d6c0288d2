// VecF64 decoding: the fixed texts of every failure, and decode then encode giving back the input.
#include "codec/payload_codec.hpp"
#include "fuzz_support.hpp"

using namespace tarnel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::exact_copy(data, size);
    const ByteView payload(input);
    const auto decoded = decode_vec_f64(payload);
    const auto view = check_vec_f64(payload);
    FUZZ_CHECK(decoded.has_value() == view.has_value(), fuzz::hex(data, size));

    if (size < 4) {
        FUZZ_CHECK(!decoded && decoded.error().text() == "VecF64 payload too short", fuzz::hex(data, size));
        return 0;
    }
    const std::uint64_t n = fuzz::load_le(input.data(), 4);
    const unsigned __int128 expected = 4 + static_cast<unsigned __int128>(8) * n;
    if (expected != size) {
        const std::string text =
            "VecF64 length mismatch: expected " + fuzz::decimal(expected) + ", got " + std::to_string(size);
        FUZZ_CHECK(!decoded && decoded.error() == EngineError::value(text), fuzz::hex(data, size));
        return 0;
    }
    FUZZ_CHECK(decoded.has_value() && decoded->size() == n, fuzz::hex(data, size));
    FUZZ_CHECK(view->n == n && view->values == input.data() + 4, "view points elsewhere");
    FUZZ_CHECK(n == 0 || std::memcmp(decoded->data(), input.data() + 4, 8 * n) == 0, "values not copied bit for bit");
    const auto encoded = encode_vec_f64(*decoded);
    FUZZ_CHECK(encoded.has_value() && *encoded == input, "re-encoding differs: " + fuzz::hex(data, size));
    return 0;
}
