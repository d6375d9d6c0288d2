// The four numeric payload layouts (VecF64, MatF64, CloseStep, VecMatF64): checks, decoders, encoders.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "codec/engine_error.hpp"

namespace tarnel {

// Allocates like std::allocator, but a vector growing by resize() leaves its new bytes uninitialised
// instead of zeroing them: every payload and receive buffer is written in full right after it grows, and
// zeroing tens of megabytes first would cost the thread that grows it (often an event loop's) milliseconds.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
    using std::allocator<T>::allocator;
    template <class U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    template <class U>
    void construct(U* place) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(place)) U;
    }
    template <class U, class... Args>
    void construct(U* place, Args&&... args) {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
};

using Bytes = std::vector<std::uint8_t, UninitializedAllocator<std::uint8_t>>;
using ByteView = std::span<const std::uint8_t>;

struct Matrix {
    std::uint32_t rows = 0;
    std::uint32_t cols = 0;
    std::vector<double> data;  // row-major, rows * cols values
};

struct CloseStep {
    std::vector<std::int32_t> flags;
    std::vector<std::int32_t> actions;
    std::vector<double> ratios;
};

struct VecMat {
    std::vector<double> vec;
    Matrix mat;
};

// Checked views into a payload: the header was read and the length verified, so every element lies
// inside the payload. Element pointers are unaligned little-endian bytes; the views borrow the payload.
struct VecF64View {
    std::uint32_t n = 0;
    const std::uint8_t* values = nullptr;
};

struct MatF64View {
    std::uint32_t rows = 0;
    std::uint32_t cols = 0;
    const std::uint8_t* data = nullptr;
    std::size_t size() const { return std::size_t{rows} * cols; }
};

struct CloseStepView {
    std::uint32_t n = 0;
    const std::uint8_t* flags = nullptr;
    const std::uint8_t* actions = nullptr;
    const std::uint8_t* ratios = nullptr;
};

struct VecMatF64View {
    VecF64View vec;
    MatF64View mat;
};

Expected<VecF64View> check_vec_f64(ByteView payload);
Expected<MatF64View> check_mat_f64(ByteView payload);
Expected<CloseStepView> check_close_step(ByteView payload);
Expected<VecMatF64View> check_vec_mat_f64(ByteView payload);

// Owned copies of the values, allocated only after the length check.
std::vector<double> to_vector(const VecF64View& view);
Matrix to_matrix(const MatF64View& view);

Expected<std::vector<double>> decode_vec_f64(ByteView payload);
Expected<Matrix> decode_mat_f64(ByteView payload);
Expected<CloseStep> decode_close_step(ByteView payload);
Expected<VecMat> decode_vec_mat_f64(ByteView payload);

// Encoders allocate their output once at its final size. A count that does not fit its u32 header
// field is refused rather than written as a header that disagrees with the data.
Expected<Bytes> encode_vec_f64(std::span<const double> values);
Expected<Bytes> encode_mat_f64(std::uint64_t rows, std::uint64_t cols, std::span<const double> row_major);
// Same payload as encode_mat_f64, from data laid out column by column (a Fortran-ordered array).
Expected<Bytes> encode_mat_f64_from_columns(std::uint64_t rows, std::uint64_t cols,
                                            std::span<const double> column_major);
Expected<Bytes> encode_close_step(std::span<const std::int32_t> flags, std::span<const std::int32_t> actions,
                                  std::span<const double> ratios);

}  // namespace tarnel
