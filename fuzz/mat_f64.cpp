// MatF64 decoding: the fixed texts of every failure (lengths past 64 bits printed in full), and decode then
// encode (from rows and from columns) giving back the input.
#include "codec/payload_codec.hpp"
#include "fuzz_support.hpp"

using namespace tarnel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::exact_copy(data, size);
    const ByteView payload(input);
    const auto decoded = decode_mat_f64(payload);
    FUZZ_CHECK(decoded.has_value() == check_mat_f64(payload).has_value(), fuzz::hex(data, size));

    if (size < 8) {
        FUZZ_CHECK(!decoded && decoded.error().text() == "MatF64 payload too short", fuzz::hex(data, size));
        return 0;
    }
    const std::uint64_t rows = fuzz::load_le(input.data(), 4);
    const std::uint64_t cols = fuzz::load_le(input.data() + 4, 4);
    const unsigned __int128 expected = 8 + static_cast<unsigned __int128>(8) * rows * cols;
    if (expected != size) {
        const std::string text =
            "MatF64 length mismatch: expected " + fuzz::decimal(expected) + ", got " + std::to_string(size);
        FUZZ_CHECK(!decoded && decoded.error() == EngineError::value(text), fuzz::hex(data, size));
        return 0;
    }
    FUZZ_CHECK(decoded && decoded->rows == rows && decoded->cols == cols && decoded->data.size() == rows * cols,
               fuzz::hex(data, size));
    FUZZ_CHECK(decoded->data.empty() || std::memcmp(decoded->data.data(), input.data() + 8, size - 8) == 0,
               "values not copied bit for bit");
    const auto encoded = encode_mat_f64(rows, cols, decoded->data);
    FUZZ_CHECK(encoded && *encoded == input, "re-encoding differs: " + fuzz::hex(data, size));

    // (With no elements the column encoder still walks every row: up to 2^32 - 1 empty steps, no data.)
    if (decoded->data.empty()) return 0;
    std::vector<double> columns(decoded->data.size());
    for (std::uint64_t r = 0; r < rows; ++r) {
        for (std::uint64_t c = 0; c < cols; ++c) columns[c * rows + r] = decoded->data[r * cols + c];
    }
    const auto from_columns = encode_mat_f64_from_columns(rows, cols, columns);
    FUZZ_CHECK(from_columns && *from_columns == input, "column-major encoding differs: " + fuzz::hex(data, size));
    return 0;
}
