// VecMatF64 decoding: the fixed texts of every failure, and the vector and matrix re-encoded one after the
// other giving back the input.
#include "codec/payload_codec.hpp"
#include "fuzz_support.hpp"

using namespace tarnel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::exact_copy(data, size);
    const ByteView payload(input);
    const auto decoded = decode_vec_mat_f64(payload);
    FUZZ_CHECK(decoded.has_value() == check_vec_mat_f64(payload).has_value(), fuzz::hex(data, size));

    if (size < 4) {
        FUZZ_CHECK(!decoded && decoded.error().text() == "VecMatF64 payload too short", fuzz::hex(data, size));
        return 0;
    }
    const std::uint64_t n = fuzz::load_le(input.data(), 4);
    const unsigned __int128 header_end = 12 + static_cast<unsigned __int128>(8) * n;
    if (size < header_end) {
        FUZZ_CHECK(!decoded && decoded.error().text() == "VecMatF64 missing matrix header", fuzz::hex(data, size));
        return 0;
    }
    const std::uint64_t rows = fuzz::load_le(&input[4 + 8 * n], 4);
    const std::uint64_t cols = fuzz::load_le(&input[8 + 8 * n], 4);
    const unsigned __int128 expected = header_end + static_cast<unsigned __int128>(8) * rows * cols;
    if (expected != size) {
        const std::string text =
            "VecMatF64 length mismatch: expected " + fuzz::decimal(expected) + ", got " + std::to_string(size);
        FUZZ_CHECK(!decoded && decoded.error() == EngineError::value(text), fuzz::hex(data, size));
        return 0;
    }
    FUZZ_CHECK(decoded && decoded->vec.size() == n && decoded->mat.rows == rows && decoded->mat.cols == cols,
               fuzz::hex(data, size));
    auto encoded = encode_vec_f64(decoded->vec);
    const auto matrix = encode_mat_f64(rows, cols, decoded->mat.data);
    FUZZ_CHECK(encoded && matrix, "re-encoding failed");
    encoded->insert(encoded->end(), matrix->begin(), matrix->end());
    FUZZ_CHECK(*encoded == input, "re-encoding differs: " + fuzz::hex(data, size));
    return 0;
}
