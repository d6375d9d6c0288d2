// The four numeric payload layouts: every check in its fixed order, with its fixed text.
#include "codec/payload_codec.hpp"

#include <limits>
#include <string>

#include "codec/byte_order.hpp"

namespace tarnel {

namespace {

using Wide = unsigned __int128;  // lengths such as 8 + 8 * (2^32 - 1)^2 need more than 64 bits

std::string decimal(Wide value) {
    if (value == 0) return "0";
    std::string digits;
    while (value != 0) {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    }
    return digits;
}

Unexpected<EngineError> length_mismatch(const char* kind, Wide expected, std::size_t got) {
    return value_error(std::string(kind) + " length mismatch: expected " + decimal(expected) + ", got " +
                       std::to_string(got));
}

constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

Unexpected<EngineError> too_large(const char* kind, const char* field, std::uint64_t value) {
    return value_error(std::string(kind) + " " + field + " " + std::to_string(value) +
                       " does not fit in its u32 header field");
}

// Reads a MatF64 header at `offset` and checks that the payload ends exactly after its data.
Expected<MatF64View> check_matrix_at(ByteView payload, std::size_t offset, const char* kind) {
    const std::uint32_t rows = le::load<std::uint32_t>(payload.data() + offset);
    const std::uint32_t cols = le::load<std::uint32_t>(payload.data() + offset + 4);
    const Wide expected = Wide{offset} + 8 + Wide{8} * rows * cols;
    if (expected != payload.size()) return length_mismatch(kind, expected, payload.size());
    return MatF64View{rows, cols, payload.data() + offset + 8};
}

}  // namespace

Expected<VecF64View> check_vec_f64(ByteView payload) {
    if (payload.size() < 4) return value_error("VecF64 payload too short");
    const std::uint32_t n = le::load<std::uint32_t>(payload.data());
    const Wide expected = 4 + Wide{8} * n;
    if (expected != payload.size()) return length_mismatch("VecF64", expected, payload.size());
    return VecF64View{n, payload.data() + 4};
}

Expected<MatF64View> check_mat_f64(ByteView payload) {
    if (payload.size() < 8) return value_error("MatF64 payload too short");
    return check_matrix_at(payload, 0, "MatF64");
}

Expected<CloseStepView> check_close_step(ByteView payload) {
    if (payload.size() < 4) return value_error("CloseStep payload too short");
    const std::uint32_t n = le::load<std::uint32_t>(payload.data());
    const Wide expected = 4 + Wide{16} * n;
    if (expected != payload.size()) return length_mismatch("CloseStep", expected, payload.size());
    const std::uint8_t* base = payload.data() + 4;
    return CloseStepView{n, base, base + std::size_t{4} * n, base + std::size_t{8} * n};
}

Expected<VecMatF64View> check_vec_mat_f64(ByteView payload) {
    if (payload.size() < 4) return value_error("VecMatF64 payload too short");
    const std::uint32_t n = le::load<std::uint32_t>(payload.data());
    const Wide header_end = 12 + Wide{8} * n;
    if (payload.size() < header_end) return value_error("VecMatF64 missing matrix header");
    auto mat = check_matrix_at(payload, 4 + std::size_t{8} * n, "VecMatF64");
    if (!mat) return Unexpected<EngineError>(mat.error());
    return VecMatF64View{VecF64View{n, payload.data() + 4}, *mat};
}

std::vector<double> to_vector(const VecF64View& view) {
    std::vector<double> values(view.n);
    le::load_array(values.data(), view.values, view.n);
    return values;
}

Matrix to_matrix(const MatF64View& view) {
    Matrix matrix{view.rows, view.cols, std::vector<double>(view.size())};
    le::load_array(matrix.data.data(), view.data, view.size());
    return matrix;
}

Expected<std::vector<double>> decode_vec_f64(ByteView payload) {
    auto view = check_vec_f64(payload);
    if (!view) return Unexpected<EngineError>(view.error());
    return to_vector(*view);
}

Expected<Matrix> decode_mat_f64(ByteView payload) {
    auto view = check_mat_f64(payload);
    if (!view) return Unexpected<EngineError>(view.error());
    return to_matrix(*view);
}

Expected<CloseStep> decode_close_step(ByteView payload) {
    auto view = check_close_step(payload);
    if (!view) return Unexpected<EngineError>(view.error());
    CloseStep step{std::vector<std::int32_t>(view->n), std::vector<std::int32_t>(view->n),
                   std::vector<double>(view->n)};
    le::load_array(step.flags.data(), view->flags, view->n);
    le::load_array(step.actions.data(), view->actions, view->n);
    le::load_array(step.ratios.data(), view->ratios, view->n);
    return step;
}

Expected<VecMat> decode_vec_mat_f64(ByteView payload) {
    auto view = check_vec_mat_f64(payload);
    if (!view) return Unexpected<EngineError>(view.error());
    return VecMat{to_vector(view->vec), to_matrix(view->mat)};
}

Expected<Bytes> encode_vec_f64(std::span<const double> values) {
    if (values.size() > kU32Max) return too_large("VecF64", "count", values.size());
    Bytes out(4 + 8 * values.size());
    le::store<std::uint32_t>(out.data(), static_cast<std::uint32_t>(values.size()));
    le::store_array(out.data() + 4, values.data(), values.size());
    return out;
}

namespace {
// Checks shared by both matrix encoders, in their fixed order; returns rows * cols.
Expected<std::uint64_t> check_matrix_shape(std::uint64_t rows, std::uint64_t cols, std::size_t count) {
    if (cols != 0 && rows > std::numeric_limits<std::uint64_t>::max() / cols) {
        return value_error("rows*cols overflow");
    }
    const std::uint64_t elements = rows * cols;
    if (elements != count) {
        return value_error("MatF64 data length mismatch: expected " + std::to_string(elements) + ", got " +
                           std::to_string(count));
    }
    if (rows > kU32Max) return too_large("MatF64", "rows", rows);
    if (cols > kU32Max) return too_large("MatF64", "cols", cols);
    return elements;
}

Bytes matrix_header(std::uint64_t rows, std::uint64_t cols, std::uint64_t elements) {
    Bytes out(8 + 8 * elements);
    le::store<std::uint32_t>(out.data(), static_cast<std::uint32_t>(rows));
    le::store<std::uint32_t>(out.data() + 4, static_cast<std::uint32_t>(cols));
    return out;
}
}  // namespace

Expected<Bytes> encode_mat_f64(std::uint64_t rows, std::uint64_t cols, std::span<const double> row_major) {
    auto elements = check_matrix_shape(rows, cols, row_major.size());
    if (!elements) return Unexpected<EngineError>(elements.error());
    Bytes out = matrix_header(rows, cols, *elements);
    le::store_array(out.data() + 8, row_major.data(), row_major.size());
    return out;
}

Expected<Bytes> encode_mat_f64_from_columns(std::uint64_t rows, std::uint64_t cols,
                                            std::span<const double> column_major) {
    auto elements = check_matrix_shape(rows, cols, column_major.size());
    if (!elements) return Unexpected<EngineError>(elements.error());
    Bytes out = matrix_header(rows, cols, *elements);
    std::uint8_t* at = out.data() + 8;
    for (std::uint64_t r = 0; r < rows; ++r) {
        for (std::uint64_t c = 0; c < cols; ++c, at += 8) le::store<double>(at, column_major[c * rows + r]);
    }
    return out;
}

Expected<Bytes> encode_close_step(std::span<const std::int32_t> flags, std::span<const std::int32_t> actions,
                                  std::span<const double> ratios) {
    if (flags.size() != actions.size() || flags.size() != ratios.size()) {
        return value_error("close_step shape mismatch: flags=" + std::to_string(flags.size()) +
                           ", actions=" + std::to_string(actions.size()) +
                           ", ratios=" + std::to_string(ratios.size()));
    }
    const std::size_t n = flags.size();
    if (n > kU32Max) return too_large("CloseStep", "count", n);
    Bytes out(4 + 16 * n);
    le::store<std::uint32_t>(out.data(), static_cast<std::uint32_t>(n));
    le::store_array(out.data() + 4, flags.data(), n);
    le::store_array(out.data() + 4 + 4 * n, actions.data(), n);
    le::store_array(out.data() + 4 + 8 * n, ratios.data(), n);
    return out;
}

}  // namespace tarnel
