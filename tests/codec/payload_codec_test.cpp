// VecF64, MatF64, CloseStep and VecMatF64: layouts byte for byte, every check in its order, bit-exact floats.
#include "codec/payload_codec.hpp"

#include <gtest/gtest.h>

#include "support/hex_bytes.hpp"
#include <sys/mman.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace tarnel {
namespace {

constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

using tarnel::test_support::hex;

void put_u32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void put_f64_bits(Bytes& out, std::uint64_t bits) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
}

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }
double from_bits(std::uint64_t b) { return std::bit_cast<double>(b); }

std::vector<std::uint64_t> all_bits(const std::vector<double>& values) {
    std::vector<std::uint64_t> out;
    for (double v : values) out.push_back(bits(v));
    return out;
}

template <class T>
std::string error_text(const Expected<T>& result) {
    if (result.has_value()) return "<no error>";
    EXPECT_EQ(result.error().kind(), EngineError::Kind::Value);
    return result.error().text();
}

// Values whose bits a normalising copy would change or lose.
const std::uint64_t kSignalingNanWithPayload = 0x7FF4000000000123ULL;
const std::uint64_t kNegativeQuietNanWithPayload = 0xFFF80000DEADBEEFULL;
const std::uint64_t kPositiveInfinity = 0x7FF0000000000000ULL;
const std::uint64_t kNegativeInfinity = 0xFFF0000000000000ULL;
const std::uint64_t kNegativeZero = 0x8000000000000000ULL;
const std::uint64_t kSmallestSubnormal = 0x0000000000000001ULL;

std::vector<double> special_values() {
    return {from_bits(kSignalingNanWithPayload), from_bits(kNegativeQuietNanWithPayload),
            from_bits(kPositiveInfinity),        from_bits(kNegativeInfinity),
            from_bits(kNegativeZero),            from_bits(kSmallestSubnormal)};
}

// --- worked examples -----------------------------------------------------------------------------

TEST(PayloadExamples, VecF64OneValue) {
    const Bytes wire = hex("01 00 00 00 00 00 00 00 00 00 F0 3F");
    const std::vector<double> values{1.0};
    auto encoded = encode_vec_f64(values);
    ASSERT_TRUE(encoded) << encoded.error().text();
    EXPECT_EQ(*encoded, wire);

    auto decoded = decode_vec_f64(wire);
    ASSERT_TRUE(decoded) << decoded.error().text();
    EXPECT_EQ(*decoded, values);
}

TEST(PayloadExamples, MatF64OneByTwo) {
    const Bytes wire = hex("01 00 00 00 02 00 00 00 00 00 00 00 00 00 F0 3F 00 00 00 00 00 00 00 C0");
    const std::vector<double> data{1.0, -2.0};
    auto encoded = encode_mat_f64(1, 2, data);
    ASSERT_TRUE(encoded) << encoded.error().text();
    EXPECT_EQ(*encoded, wire);

    auto decoded = decode_mat_f64(wire);
    ASSERT_TRUE(decoded) << decoded.error().text();
    EXPECT_EQ(decoded->rows, 1u);
    EXPECT_EQ(decoded->cols, 2u);
    EXPECT_EQ(decoded->data, data);
}

TEST(PayloadExamples, CloseStepOneEntry) {
    const Bytes wire = hex("01 00 00 00 07 00 00 00 02 00 00 00 00 00 00 00 00 00 E0 3F");
    const std::vector<std::int32_t> flags{7}, actions{2};
    const std::vector<double> ratios{0.5};
    auto encoded = encode_close_step(flags, actions, ratios);
    ASSERT_TRUE(encoded) << encoded.error().text();
    EXPECT_EQ(*encoded, wire);

    auto decoded = decode_close_step(wire);
    ASSERT_TRUE(decoded) << decoded.error().text();
    EXPECT_EQ(decoded->flags, flags);
    EXPECT_EQ(decoded->actions, actions);
    EXPECT_EQ(decoded->ratios, ratios);
}

TEST(PayloadExamples, VecMatF64VectorAndOneByOne) {
    const Bytes wire = hex(
        "01 00 00 00 00 00 00 00 00 00 08 40 01 00 00 00 01 00 00 00 00 00 00 00 00 00 10 40");
    ASSERT_EQ(wire.size(), 28u);
    auto decoded = decode_vec_mat_f64(wire);
    ASSERT_TRUE(decoded) << decoded.error().text();
    EXPECT_EQ(decoded->vec, std::vector<double>{3.0});
    EXPECT_EQ(decoded->mat.rows, 1u);
    EXPECT_EQ(decoded->mat.cols, 1u);
    EXPECT_EQ(decoded->mat.data, std::vector<double>{4.0});
}

// --- layouts beyond the examples ----------------------------------------------------------------

TEST(VecF64, EmptyVectorIsFourZeroBytesBothWays) {
    auto encoded = encode_vec_f64(std::span<const double>{});
    ASSERT_TRUE(encoded);
    EXPECT_EQ(*encoded, hex("00 00 00 00"));
    auto decoded = decode_vec_f64(*encoded);
    ASSERT_TRUE(decoded) << decoded.error().text();
    EXPECT_TRUE(decoded->empty());
}

TEST(VecF64, ValuesFollowTheCountInOrder) {
    const std::vector<double> values{1.5, -3.25, 1e300, 0.0, 7.0};
    Bytes expected;
    put_u32(expected, 5);
    for (double v : values) put_f64_bits(expected, bits(v));
    auto encoded = encode_vec_f64(values);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(*encoded, expected);
    auto decoded = decode_vec_f64(expected);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, values);
}

TEST(MatF64, RowMajorElementOffsets) {
    // 2 x 3 with element (r, c) = 10r + c: (r, c) must sit at 8 + 8(r*3 + c).
    const std::vector<double> data{0, 1, 2, 10, 11, 12};
    auto encoded = encode_mat_f64(2, 3, data);
    ASSERT_TRUE(encoded);
    ASSERT_EQ(encoded->size(), 8u + 8u * 6u);
    EXPECT_EQ(Bytes(encoded->begin(), encoded->begin() + 8), hex("02 00 00 00 03 00 00 00"));
    for (int r = 0; r < 2; ++r) {
        for (int c = 0; c < 3; ++c) {
            double v;
            std::memcpy(&v, encoded->data() + 8 + 8 * (r * 3 + c), 8);
            EXPECT_EQ(v, 10.0 * r + c) << "r=" << r << " c=" << c;
        }
    }
    auto decoded = decode_mat_f64(*encoded);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->rows, 2u);
    EXPECT_EQ(decoded->cols, 3u);
    EXPECT_EQ(decoded->data, data);
}

TEST(MatF64, ZeroRowsOrZeroColsKeepTheOtherDimension) {
    for (auto [rows, cols] : {std::pair<std::uint32_t, std::uint32_t>{0, 5}, {5, 0}, {0, 0}}) {
        SCOPED_TRACE(std::to_string(rows) + "x" + std::to_string(cols));
        Bytes wire;
        put_u32(wire, rows);
        put_u32(wire, cols);
        auto encoded = encode_mat_f64(rows, cols, std::span<const double>{});
        ASSERT_TRUE(encoded) << encoded.error().text();
        EXPECT_EQ(*encoded, wire);
        EXPECT_EQ(encoded->size(), 8u);

        auto decoded = decode_mat_f64(wire);
        ASSERT_TRUE(decoded) << decoded.error().text();
        EXPECT_EQ(decoded->rows, rows);
        EXPECT_EQ(decoded->cols, cols);
        EXPECT_TRUE(decoded->data.empty());
    }
}

TEST(MatF64, LargestRepresentableDimensionWithNoElements) {
    auto encoded = encode_mat_f64(kU32Max, 0, std::span<const double>{});
    ASSERT_TRUE(encoded) << encoded.error().text();
    EXPECT_EQ(*encoded, hex("FF FF FF FF 00 00 00 00"));
    auto decoded = decode_mat_f64(*encoded);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->rows, kU32Max);
    EXPECT_EQ(decoded->cols, 0u);

    encoded = encode_mat_f64(0, kU32Max, std::span<const double>{});
    ASSERT_TRUE(encoded) << encoded.error().text();
    EXPECT_EQ(*encoded, hex("00 00 00 00 FF FF FF FF"));
}

TEST(CloseStep, ColumnsAreStoredOneAfterTheOther) {
    const std::vector<std::int32_t> flags{1, -1, std::numeric_limits<std::int32_t>::min()};
    const std::vector<std::int32_t> actions{0x01020304, std::numeric_limits<std::int32_t>::max(), -2};
    const std::vector<double> ratios{0.25, -0.0, 2.0};
    const Bytes expected = hex(
        "03 00 00 00 "
        "01 00 00 00 FF FF FF FF 00 00 00 80 "
        "04 03 02 01 FF FF FF 7F FE FF FF FF "
        "00 00 00 00 00 00 D0 3F 00 00 00 00 00 00 00 80 00 00 00 00 00 00 00 40");
    auto encoded = encode_close_step(flags, actions, ratios);
    ASSERT_TRUE(encoded) << encoded.error().text();
    EXPECT_EQ(*encoded, expected);

    auto decoded = decode_close_step(expected);
    ASSERT_TRUE(decoded) << decoded.error().text();
    EXPECT_EQ(decoded->flags, flags);
    EXPECT_EQ(decoded->actions, actions);
    EXPECT_EQ(all_bits(decoded->ratios), all_bits(ratios));
}

TEST(CloseStep, EmptyStep) {
    auto encoded = encode_close_step({}, {}, {});
    ASSERT_TRUE(encoded);
    EXPECT_EQ(*encoded, hex("00 00 00 00"));
    auto decoded = decode_close_step(*encoded);
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->flags.empty());
    EXPECT_TRUE(decoded->actions.empty());
    EXPECT_TRUE(decoded->ratios.empty());
}

TEST(VecMatF64, EmptyVectorAndEmptyMatrix) {
    auto decoded = decode_vec_mat_f64(hex("00 00 00 00 00 00 00 00 00 00 00 00"));
    ASSERT_TRUE(decoded) << decoded.error().text();
    EXPECT_TRUE(decoded->vec.empty());
    EXPECT_EQ(decoded->mat.rows, 0u);
    EXPECT_EQ(decoded->mat.cols, 0u);
    EXPECT_TRUE(decoded->mat.data.empty());
}

TEST(VecMatF64, MatrixHeaderFollowsTheVector) {
    // vector [1, 2], matrix 2 x 1 [[5], [6]]
    Bytes wire;
    put_u32(wire, 2);
    put_f64_bits(wire, bits(1.0));
    put_f64_bits(wire, bits(2.0));
    put_u32(wire, 2);
    put_u32(wire, 1);
    put_f64_bits(wire, bits(5.0));
    put_f64_bits(wire, bits(6.0));
    auto decoded = decode_vec_mat_f64(wire);
    ASSERT_TRUE(decoded) << decoded.error().text();
    EXPECT_EQ(decoded->vec, (std::vector<double>{1.0, 2.0}));
    EXPECT_EQ(decoded->mat.rows, 2u);
    EXPECT_EQ(decoded->mat.cols, 1u);
    EXPECT_EQ(decoded->mat.data, (std::vector<double>{5.0, 6.0}));
}

// --- decoder checks and their texts -------------------------------------------------------------

TEST(DecodeChecks, TooShort) {
    const Bytes three(3, 0);
    EXPECT_EQ(error_text(decode_vec_f64(three)), "VecF64 payload too short");
    EXPECT_EQ(error_text(decode_close_step(three)), "CloseStep payload too short");
    EXPECT_EQ(error_text(decode_vec_mat_f64(three)), "VecMatF64 payload too short");
    EXPECT_EQ(error_text(decode_mat_f64(Bytes(7, 0))), "MatF64 payload too short");

    const Bytes empty;
    EXPECT_EQ(error_text(decode_vec_f64(empty)), "VecF64 payload too short");
    EXPECT_EQ(error_text(decode_mat_f64(empty)), "MatF64 payload too short");
    EXPECT_EQ(error_text(decode_close_step(empty)), "CloseStep payload too short");
    EXPECT_EQ(error_text(decode_vec_mat_f64(empty)), "VecMatF64 payload too short");
    // rows alone without cols is still too short.
    EXPECT_EQ(error_text(decode_mat_f64(Bytes(4, 0))), "MatF64 payload too short");
}

TEST(DecodeChecks, VecF64MissingAndSurplusBytes) {
    Bytes wire;
    put_u32(wire, 2);
    wire.resize(4 + 15, 0xAB);
    EXPECT_EQ(error_text(decode_vec_f64(wire)), "VecF64 length mismatch: expected 20, got 19");
    wire.resize(4 + 17, 0xAB);
    EXPECT_EQ(error_text(decode_vec_f64(wire)), "VecF64 length mismatch: expected 20, got 21");
    wire.resize(20);
    EXPECT_TRUE(decode_vec_f64(wire));
}

TEST(DecodeChecks, VecF64HugeCountOnShortPayload) {
    // The header claims 2^32 - 1 values; the check must fail before any storage is sized from it.
    EXPECT_EQ(error_text(decode_vec_f64(hex("FF FF FF FF"))),
              "VecF64 length mismatch: expected 34359738364, got 4");
}

TEST(DecodeChecks, MatF64LengthMismatch) {
    Bytes wire;
    put_u32(wire, 2);
    put_u32(wire, 3);
    wire.resize(8 + 47, 0);
    EXPECT_EQ(error_text(decode_mat_f64(wire)), "MatF64 length mismatch: expected 56, got 55");
    wire.resize(8 + 49, 0);
    EXPECT_EQ(error_text(decode_mat_f64(wire)), "MatF64 length mismatch: expected 56, got 57");
    // rows 0 / cols 5 is exactly the header: any byte after it is surplus.
    EXPECT_EQ(error_text(decode_mat_f64(hex("00 00 00 00 05 00 00 00 00"))),
              "MatF64 length mismatch: expected 8, got 9");
}

TEST(DecodeChecks, MatF64ExpectedLengthBeyondSixtyFourBits) {
    // 8 + 8 * (2^32 - 1)^2 does not fit in 64 bits; it must be printed in full, never wrapped.
    EXPECT_EQ(error_text(decode_mat_f64(hex("FF FF FF FF FF FF FF FF"))),
              "MatF64 length mismatch: expected 147573952520956936208, got 8");
    // A product that wraps to a small 64-bit value must not be mistaken for a valid short payload:
    // 8 * 2^31 * 2^31 = 2^65 wraps to 0 in 64 bits, making 8 + 0 look right for an 8-byte payload.
    EXPECT_EQ(error_text(decode_mat_f64(hex("00 00 00 80 00 00 00 80"))),
              "MatF64 length mismatch: expected 36893488147419103240, got 8");
}

TEST(DecodeChecks, CloseStepLengthMismatch) {
    Bytes wire;
    put_u32(wire, 1);
    wire.resize(4 + 15, 0);
    EXPECT_EQ(error_text(decode_close_step(wire)), "CloseStep length mismatch: expected 20, got 19");
    wire.resize(4 + 17, 0);
    EXPECT_EQ(error_text(decode_close_step(wire)), "CloseStep length mismatch: expected 20, got 21");
    EXPECT_EQ(error_text(decode_close_step(hex("FF FF FF FF"))),
              "CloseStep length mismatch: expected 68719476724, got 4");
}

TEST(DecodeChecks, VecMatF64MissingMatrixHeader) {
    Bytes wire;
    put_u32(wire, 1);
    wire.resize(19, 0);  // the header would end at byte 20
    EXPECT_EQ(error_text(decode_vec_mat_f64(wire)), "VecMatF64 missing matrix header");
    // n = 0: anything shorter than 12 bytes lacks the matrix header.
    EXPECT_EQ(error_text(decode_vec_mat_f64(Bytes(11, 0))), "VecMatF64 missing matrix header");
    EXPECT_EQ(error_text(decode_vec_mat_f64(Bytes(4, 0))), "VecMatF64 missing matrix header");
    // A huge n on a short payload is a missing header, not an out-of-range read.
    Bytes huge;
    put_u32(huge, 0xFFFFFFFF);
    huge.resize(20, 0);
    EXPECT_EQ(error_text(decode_vec_mat_f64(huge)), "VecMatF64 missing matrix header");
}

TEST(DecodeChecks, VecMatF64LengthMismatch) {
    Bytes wire;
    put_u32(wire, 1);
    put_f64_bits(wire, bits(3.0));
    put_u32(wire, 1);
    put_u32(wire, 1);
    wire.resize(27, 0);
    EXPECT_EQ(error_text(decode_vec_mat_f64(wire)), "VecMatF64 length mismatch: expected 28, got 27");
    wire.resize(29, 0);
    EXPECT_EQ(error_text(decode_vec_mat_f64(wire)), "VecMatF64 length mismatch: expected 28, got 29");
    // Exactly the header with a 1 x 1 matrix promised: 20 bytes pass the header check, fail the length.
    wire.resize(20);
    EXPECT_EQ(error_text(decode_vec_mat_f64(wire)), "VecMatF64 length mismatch: expected 28, got 20");
}

TEST(DecodeChecks, VecMatF64ExpectedLengthBeyondSixtyFourBits) {
    EXPECT_EQ(error_text(decode_vec_mat_f64(hex("00 00 00 00 FF FF FF FF FF FF FF FF"))),
              "VecMatF64 length mismatch: expected 147573952520956936212, got 12");
}

TEST(DecodeChecks, TheViewsPointIntoThePayload) {
    Bytes wire;
    put_u32(wire, 2);
    wire.resize(4 + 32, 0);
    auto close = check_close_step(wire);
    ASSERT_TRUE(close);
    EXPECT_EQ(close->n, 2u);
    EXPECT_EQ(close->flags, wire.data() + 4);
    EXPECT_EQ(close->actions, wire.data() + 12);
    EXPECT_EQ(close->ratios, wire.data() + 20);

    Bytes vm;
    put_u32(vm, 1);
    put_f64_bits(vm, 0);
    put_u32(vm, 1);
    put_u32(vm, 2);
    vm.resize(20 + 16, 0);
    auto both = check_vec_mat_f64(vm);
    ASSERT_TRUE(both);
    EXPECT_EQ(both->vec.n, 1u);
    EXPECT_EQ(both->vec.values, vm.data() + 4);
    EXPECT_EQ(both->mat.rows, 1u);
    EXPECT_EQ(both->mat.cols, 2u);
    EXPECT_EQ(both->mat.data, vm.data() + 20);
    EXPECT_EQ(both->mat.size(), 2u);
}

// --- bit-exact floats and unaligned input -------------------------------------------------------

TEST(BitExact, SpecialValuesSurviveVecF64BothWays) {
    const std::vector<double> values = special_values();
    Bytes expected;
    put_u32(expected, static_cast<std::uint32_t>(values.size()));
    for (double v : values) put_f64_bits(expected, bits(v));

    auto encoded = encode_vec_f64(values);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(*encoded, expected);
    auto decoded = decode_vec_f64(expected);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(all_bits(*decoded), all_bits(values));
}

TEST(BitExact, SpecialValuesSurviveMatF64BothWays) {
    const std::vector<double> values = special_values();  // 6 values as 2 x 3 and as 3 x 2 from columns
    Bytes expected;
    put_u32(expected, 2);
    put_u32(expected, 3);
    for (double v : values) put_f64_bits(expected, bits(v));

    auto encoded = encode_mat_f64(2, 3, values);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(*encoded, expected);
    auto decoded = decode_mat_f64(expected);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(all_bits(decoded->data), all_bits(values));

    auto from_columns = encode_mat_f64_from_columns(1, 6, values);
    ASSERT_TRUE(from_columns);
    Bytes one_row;
    put_u32(one_row, 1);
    put_u32(one_row, 6);
    for (double v : values) put_f64_bits(one_row, bits(v));
    EXPECT_EQ(*from_columns, one_row);
}

TEST(BitExact, SpecialValuesSurviveCloseStepAndVecMatF64) {
    const std::vector<double> values = special_values();
    const std::vector<std::int32_t> zeros(values.size(), 0);
    auto encoded = encode_close_step(zeros, zeros, values);
    ASSERT_TRUE(encoded);
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::uint64_t stored;
        std::memcpy(&stored, encoded->data() + 4 + 8 * values.size() + 8 * i, 8);
        EXPECT_EQ(stored, bits(values[i])) << "ratio " << i;
    }
    auto step = decode_close_step(*encoded);
    ASSERT_TRUE(step);
    EXPECT_EQ(all_bits(step->ratios), all_bits(values));

    Bytes wire;
    put_u32(wire, 3);
    for (int i = 0; i < 3; ++i) put_f64_bits(wire, bits(values[i]));
    put_u32(wire, 3);
    put_u32(wire, 1);
    for (int i = 3; i < 6; ++i) put_f64_bits(wire, bits(values[i]));
    auto vm = decode_vec_mat_f64(wire);
    ASSERT_TRUE(vm) << vm.error().text();
    EXPECT_EQ(all_bits(vm->vec), all_bits({values.begin(), values.begin() + 3}));
    EXPECT_EQ(all_bits(vm->mat.data), all_bits({values.begin() + 3, values.end()}));
}

// Copies `payload` into a buffer so that its first byte sits at an odd address.
struct OddAddressCopy {
    explicit OddAddressCopy(const Bytes& payload) : storage(payload.size() + 16) {
        std::size_t offset = 1;
        while ((reinterpret_cast<std::uintptr_t>(storage.data() + offset) & 1) == 0) ++offset;
        std::memcpy(storage.data() + offset, payload.data(), payload.size());
        view = ByteView(storage.data() + offset, payload.size());
    }
    Bytes storage;
    ByteView view;
};

TEST(Unaligned, EveryDecoderReadsFromAnOddAddress) {
    const std::vector<double> values = special_values();
    auto vec_wire = encode_vec_f64(values);
    ASSERT_TRUE(vec_wire);
    OddAddressCopy vec(*vec_wire);
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(vec.view.data()) % 2, 1u);
    auto v = decode_vec_f64(vec.view);
    ASSERT_TRUE(v);
    EXPECT_EQ(all_bits(*v), all_bits(values));

    auto mat_wire = encode_mat_f64(3, 2, values);
    ASSERT_TRUE(mat_wire);
    OddAddressCopy mat(*mat_wire);
    auto m = decode_mat_f64(mat.view);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->rows, 3u);
    EXPECT_EQ(m->cols, 2u);
    EXPECT_EQ(all_bits(m->data), all_bits(values));

    const std::vector<std::int32_t> flags{1, -2, 3, -4, 5, -6}, actions{-7, 8, -9, 10, -11, 12};
    auto step_wire = encode_close_step(flags, actions, values);
    ASSERT_TRUE(step_wire);
    OddAddressCopy step(*step_wire);
    auto s = decode_close_step(step.view);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->flags, flags);
    EXPECT_EQ(s->actions, actions);
    EXPECT_EQ(all_bits(s->ratios), all_bits(values));

    const Bytes vm_wire = hex(
        "01 00 00 00 00 00 00 00 00 00 08 40 01 00 00 00 01 00 00 00 00 00 00 00 00 00 10 40");
    OddAddressCopy vm(vm_wire);
    auto both = decode_vec_mat_f64(vm.view);
    ASSERT_TRUE(both);
    EXPECT_EQ(both->vec, std::vector<double>{3.0});
    EXPECT_EQ(both->mat.data, std::vector<double>{4.0});
}

TEST(Unaligned, DecodedValuesAreOwnedCopies) {
    Bytes wire = hex("01 00 00 00 00 00 00 00 00 00 F0 3F");
    auto decoded = decode_vec_f64(wire);
    ASSERT_TRUE(decoded);
    std::fill(wire.begin(), wire.end(), 0xFF);
    EXPECT_EQ(*decoded, std::vector<double>{1.0});
}

// --- encoder checks -----------------------------------------------------------------------------

TEST(EncodeMatF64, ShapeChecksInOrder) {
    const std::vector<double> five(5, 1.0);
    EXPECT_EQ(error_text(encode_mat_f64(2, 3, five)), "MatF64 data length mismatch: expected 6, got 5");
    EXPECT_EQ(error_text(encode_mat_f64(0, 3, five)), "MatF64 data length mismatch: expected 0, got 5");
    const std::vector<double> seven(7, 1.0);
    EXPECT_EQ(error_text(encode_mat_f64(2, 3, seven)), "MatF64 data length mismatch: expected 6, got 7");

    // Overflow is checked before the data length, whatever the data holds.
    constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(error_text(encode_mat_f64(std::uint64_t{1} << 32, std::uint64_t{1} << 32, five)),
              "rows*cols overflow");
    EXPECT_EQ(error_text(encode_mat_f64(std::uint64_t{1} << 63, 2, {})), "rows*cols overflow");
    EXPECT_EQ(error_text(encode_mat_f64(kU64Max, kU64Max, {})), "rows*cols overflow");
    // The largest product that does not overflow is a plain data length mismatch.
    EXPECT_EQ(error_text(encode_mat_f64(kU64Max, 1, five)),
              "MatF64 data length mismatch: expected 18446744073709551615, got 5");
    EXPECT_EQ(error_text(encode_mat_f64(std::uint64_t{1} << 32, (std::uint64_t{1} << 32) - 1, {})),
              "MatF64 data length mismatch: expected 18446744069414584320, got 0");
}

TEST(EncodeMatF64, DimensionsBeyondTheHeaderFieldAreRefused) {
    // A matrix with 5e9 rows and no columns has no elements but cannot be described by a u32 header.
    for (auto [rows, cols] : {std::pair<std::uint64_t, std::uint64_t>{5'000'000'000ULL, 0},
                              {0, 5'000'000'000ULL},
                              {kU32Max + 1, 0},
                              {0, kU32Max + 1}}) {
        SCOPED_TRACE(std::to_string(rows) + "x" + std::to_string(cols));
        auto row_major = encode_mat_f64(rows, cols, std::span<const double>{});
        ASSERT_FALSE(row_major) << "wrote a header for an unrepresentable shape";
        EXPECT_EQ(row_major.error().kind(), EngineError::Kind::Value);
        EXPECT_FALSE(row_major.error().text().empty());

        auto columns = encode_mat_f64_from_columns(rows, cols, std::span<const double>{});
        ASSERT_FALSE(columns) << "wrote a header for an unrepresentable shape";
        EXPECT_EQ(columns.error().kind(), EngineError::Kind::Value);
    }
}

TEST(EncodeMatF64FromColumns, SameBytesAsRowMajorEncoderOfTheTransposedLayout) {
    for (auto [rows, cols] : {std::pair<std::uint64_t, std::uint64_t>{2, 3}, {3, 2}, {1, 4}, {4, 1}, {3, 3}}) {
        SCOPED_TRACE(std::to_string(rows) + "x" + std::to_string(cols));
        // Column-major storage of element (r, c) = 100r + c + 0.5.
        std::vector<double> column_major(rows * cols);
        for (std::uint64_t c = 0; c < cols; ++c)
            for (std::uint64_t r = 0; r < rows; ++r) column_major[c * rows + r] = 100.0 * r + c + 0.5;
        std::vector<double> row_major(rows * cols);
        for (std::uint64_t r = 0; r < rows; ++r)
            for (std::uint64_t c = 0; c < cols; ++c) row_major[r * cols + c] = column_major[c * rows + r];

        auto from_columns = encode_mat_f64_from_columns(rows, cols, column_major);
        auto from_rows = encode_mat_f64(rows, cols, row_major);
        ASSERT_TRUE(from_columns) << from_columns.error().text();
        ASSERT_TRUE(from_rows);
        EXPECT_EQ(*from_columns, *from_rows);

        auto decoded = decode_mat_f64(*from_columns);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->rows, rows);
        EXPECT_EQ(decoded->cols, cols);
        EXPECT_EQ(decoded->data, row_major);
    }
}

TEST(EncodeMatF64FromColumns, EmptyShapesAndErrors) {
    auto zero_rows = encode_mat_f64_from_columns(0, 5, {});
    ASSERT_TRUE(zero_rows);
    EXPECT_EQ(*zero_rows, hex("00 00 00 00 05 00 00 00"));
    auto zero_cols = encode_mat_f64_from_columns(5, 0, {});
    ASSERT_TRUE(zero_cols);
    EXPECT_EQ(*zero_cols, hex("05 00 00 00 00 00 00 00"));

    const std::vector<double> five(5, 1.0);
    EXPECT_EQ(error_text(encode_mat_f64_from_columns(2, 3, five)), "MatF64 data length mismatch: expected 6, got 5");
    EXPECT_EQ(error_text(encode_mat_f64_from_columns(std::uint64_t{1} << 32, std::uint64_t{1} << 32, five)),
              "rows*cols overflow");
}

TEST(EncodeCloseStep, ShapeMismatchNamesAllThreeLengths) {
    const std::vector<std::int32_t> two{1, 2}, three{1, 2, 3};
    const std::vector<double> two_r{0.1, 0.2}, three_r{0.1, 0.2, 0.3};
    EXPECT_EQ(error_text(encode_close_step(two, two, three_r)),
              "close_step shape mismatch: flags=2, actions=2, ratios=3");
    EXPECT_EQ(error_text(encode_close_step(three, two, three_r)),
              "close_step shape mismatch: flags=3, actions=2, ratios=3");
    EXPECT_EQ(error_text(encode_close_step(two, three, two_r)),
              "close_step shape mismatch: flags=2, actions=3, ratios=2");
    EXPECT_EQ(error_text(encode_close_step({}, two, two_r)),
              "close_step shape mismatch: flags=0, actions=2, ratios=2");
}

// A span of more than 2^32 - 1 elements over reserved, inaccessible address space: the encoder must
// refuse it from its size alone. Reading the memory would fault; sizing an output from it would fail.
class HugeReservation {
public:
    explicit HugeReservation(std::size_t bytes) : bytes_(bytes) {
        void* p = ::mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p != MAP_FAILED) base_ = p;
    }
    ~HugeReservation() {
        if (base_ != nullptr) ::munmap(base_, bytes_);
    }
    HugeReservation(const HugeReservation&) = delete;
    HugeReservation& operator=(const HugeReservation&) = delete;
    template <class T>
    const T* as() const { return static_cast<const T*>(base_); }
    bool ok() const { return base_ != nullptr; }

private:
    std::size_t bytes_;
    void* base_ = nullptr;
};

TEST(EncodeCounts, VecF64OverU32MaxIsRefused) {
    const std::size_t n = std::size_t{kU32Max} + 1;
    HugeReservation space(n * sizeof(double));
    if (!space.ok()) GTEST_SKIP() << "cannot reserve address space";
    auto encoded = encode_vec_f64(std::span<const double>(space.as<double>(), n));
    ASSERT_FALSE(encoded);
    EXPECT_EQ(encoded.error().kind(), EngineError::Kind::Value);
}

TEST(EncodeCounts, CloseStepOverU32MaxIsRefused) {
    const std::size_t n = std::size_t{kU32Max} + 1;
    HugeReservation space(n * sizeof(double));
    if (!space.ok()) GTEST_SKIP() << "cannot reserve address space";
    const std::span<const std::int32_t> ints(space.as<std::int32_t>(), n);
    auto encoded = encode_close_step(ints, ints, std::span<const double>(space.as<double>(), n));
    ASSERT_FALSE(encoded);
    EXPECT_EQ(encoded.error().kind(), EngineError::Kind::Value);
}

}  // namespace
}  // namespace tarnel
