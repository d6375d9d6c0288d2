// NumPy arrays made from payloads (one copy each, or none for a large response) and payloads made from
// array arguments.
#include "decode/arrays.hpp"

#include <bit>
#include <cstdint>
#include <limits>

#include "bridge/exceptions.hpp"
#include "codec/byte_order.hpp"
#include "module/conversions.hpp"
#include "module/numpy_api.hpp"
#include "runtime/link.hpp"
#include "ws/large_buffers.hpp"

namespace tarnel::decode {

namespace {

PyArrayObject* as_array(py::handle h) { return reinterpret_cast<PyArrayObject*>(h.ptr()); }

template <class T>
py::Result<py::object> new_array(int typenum, int ndim, npy_intp* dims, const std::uint8_t* from, std::size_t count) {
    py::object array = py::object::steal(PyArray_SimpleNew(ndim, dims, typenum));
    if (!array) return py::fetched();
    le::load_array(static_cast<T*>(PyArray_DATA(as_array(array))), from, count);
    return array;
}

int typenum_of(DType dtype) { return dtype == DType::Float64 ? NPY_FLOAT64 : NPY_INT32; }

// str() of a dtype, as NumPy prints it ("float64", "int32", ">f8").
std::string dtype_text(PyObject* descr) { return py::str_of(py::handle(descr)); }

}  // namespace

py::Result<py::object> vector_to_array(const VecF64View& vector) {
    npy_intp dims[1] = {static_cast<npy_intp>(vector.n)};
    return new_array<double>(NPY_FLOAT64, 1, dims, vector.values, vector.n);
}

py::Result<py::object> matrix_to_array(const MatF64View& matrix) {
    npy_intp dims[2] = {static_cast<npy_intp>(matrix.rows), static_cast<npy_intp>(matrix.cols)};
    if (matrix.rows == 0) dims[1] = 0;  // a matrix without rows has no row length to show
    return new_array<double>(NPY_FLOAT64, 2, dims, matrix.data, matrix.size());
}

namespace {

// From this size on, a response's payload becomes the array's memory instead of being copied into it:
// a fresh array of tens of megabytes costs a page fault and a page clearing per 4 KiB, more than the
// copy itself.
constexpr std::size_t kAdoptedPayload = ws::kLargeBuffer;

// The array is gone: its memory is kept for the next large message, which is then received into pages
// already mapped instead of fresh ones the kernel must clear (a 40 MB answer repeated: most of the cost of
// receiving it). Unless a large message is on its way already: it has a buffer of its own, and keeping this
// one too would hold twice the payload for good.
void free_adopted_payload(PyObject* capsule) {
    auto* payload = static_cast<Bytes*>(PyCapsule_GetPointer(capsule, "tarnel.payload"));
    if (payload == nullptr) return;
    if (!runtime::large_transfer_in_progress()) ws::give_back_large_buffer(std::move(*payload));
    delete payload;
}

}  // namespace

py::Result<py::object> matrix_to_array_adopting(const MatF64View& matrix, Bytes&& payload) {
    const std::size_t bytes = 8 * matrix.size();
    const bool inside = matrix.data >= payload.data() && matrix.data + bytes <= payload.data() + payload.size();
    const bool aligned = reinterpret_cast<std::uintptr_t>(matrix.data) % alignof(double) == 0;
    if (bytes < kAdoptedPayload || !inside || !aligned || std::endian::native != std::endian::little) {
        return matrix_to_array(matrix);
    }
    npy_intp dims[2] = {static_cast<npy_intp>(matrix.rows), static_cast<npy_intp>(matrix.cols)};
    auto* data = const_cast<std::uint8_t*>(matrix.data);
    auto* owned = new Bytes(std::move(payload));
    py::object owner = py::object::steal(PyCapsule_New(owned, "tarnel.payload", free_adopted_payload));
    if (!owner) {
        payload = std::move(*owned);
        delete owned;
        return py::fetched();
    }
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT64);  // stolen by the call below
    py::object array = py::object::steal(PyArray_NewFromDescr(&PyArray_Type, descr, 2, dims, nullptr, data,
                                                              NPY_ARRAY_CARRAY, nullptr));
    if (!array) return py::fetched();
    // The array now owns the payload (a failure here leaves it with the capsule's destructor).
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.ptr()), owner.release()) != 0) {
        return py::fetched();
    }
    return array;
}

py::Result<py::object> vec_mat_to_arrays(const VecMatF64View& both) {
    auto vector = vector_to_array(both.vec);
    if (!vector) return vector;
    auto matrix = matrix_to_array(both.mat);
    if (!matrix) return matrix;
    return py::checked(PyTuple_Pack(2, vector->ptr(), matrix->ptr()));
}

py::Result<py::object> close_step_to_arrays(const CloseStepView& step) {
    npy_intp dims[1] = {static_cast<npy_intp>(step.n)};
    auto flags = new_array<std::int32_t>(NPY_INT32, 1, dims, step.flags, step.n);
    if (!flags) return flags;
    auto actions = new_array<std::int32_t>(NPY_INT32, 1, dims, step.actions, step.n);
    if (!actions) return actions;
    auto ratios = new_array<double>(NPY_FLOAT64, 1, dims, step.ratios, step.n);
    if (!ratios) return ratios;
    return py::checked(PyTuple_Pack(3, flags->ptr(), actions->ptr(), ratios->ptr()));
}

bool ArrayArg::contiguous() const {
    return PyArray_FLAGS(as_array(array)) & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS);
}

std::size_t ArrayArg::size() const { return static_cast<std::size_t>(PyArray_SIZE(as_array(array))); }

const void* ArrayArg::data() const { return PyArray_DATA(as_array(array)); }

py::Error not_contiguous() { return py::Error::type_error("The given array is not contiguous"); }

py::Result<ArrayArg> check_array(py::handle obj, int ndim, DType dtype) {
    if (!PyArray_Check(obj.ptr())) return py::fail(py::cannot_convert(obj, "PyArray<T, D>"));
    PyArrayObject* array = as_array(obj);
    if (PyArray_NDIM(array) != ndim) {
        return py::fail(py::Error::type_error("dimensionality mismatch:\n from=" + std::to_string(PyArray_NDIM(array)) +
                                              ", to=" + std::to_string(ndim)));
    }
    py::object wanted = py::object::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(typenum_of(dtype))));
    if (!wanted) return py::fetched();
    PyArray_Descr* actual = PyArray_DESCR(array);
    if (!PyArray_EquivTypes(actual, reinterpret_cast<PyArray_Descr*>(wanted.ptr()))) {
        return py::fail(py::Error::type_error("type mismatch:\n from=" + dtype_text(reinterpret_cast<PyObject*>(actual)) +
                                              ", to=" + dtype_text(wanted.ptr())));
    }
    return ArrayArg{obj};
}

namespace {

// From this size on, a payload is written once, into a large buffer (a kept one when there is one): the
// codec's encoder zero-fills a new buffer before writing it, and a new buffer of tens of megabytes costs
// more in page faults than the whole exchange over loopback.
constexpr std::size_t kLargePayload = ws::kLargeBuffer;

// The MatF64 payload of a large row-major matrix whose dimensions fit their u32 fields: the same bytes
// as encode_mat_f64 gives.
Bytes large_row_major_payload(std::uint32_t rows, std::uint32_t cols, std::span<const double> data) {
    std::uint8_t shape[8];
    le::store<std::uint32_t>(shape, rows);
    le::store<std::uint32_t>(shape + 4, cols);
    return ws::large_payload(ByteView(shape, 8),
                             ByteView(reinterpret_cast<const std::uint8_t*>(data.data()), 8 * data.size()));
}

}  // namespace

py::Result<Bytes> checked_array_to_mat_payload(const ArrayArg& matrix) {
    if (!matrix.contiguous()) return py::fail(not_contiguous());
    PyArrayObject* array = as_array(matrix.array);
    const auto rows = static_cast<std::uint64_t>(PyArray_DIM(array, 0));
    const auto cols = static_cast<std::uint64_t>(PyArray_DIM(array, 1));
    const std::span<const double> data(static_cast<const double*>(matrix.data()), matrix.size());
    // A Fortran-ordered array is written in the matrix's row-major order, not in its memory order.
    const bool row_major = PyArray_FLAGS(array) & NPY_ARRAY_C_CONTIGUOUS;
    constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();
    if (row_major && std::endian::native == std::endian::little && 8 * data.size() >= kLargePayload &&
        rows <= kU32Max && cols <= kU32Max) {
        return large_row_major_payload(static_cast<std::uint32_t>(rows), static_cast<std::uint32_t>(cols), data);
    }
    Expected<Bytes> payload =
        row_major ? encode_mat_f64(rows, cols, data) : encode_mat_f64_from_columns(rows, cols, data);
    if (!payload) return py::fail(bridge::to_python(payload.error()));
    return std::move(*payload);
}

py::Result<Bytes> array_to_mat_payload(py::handle obj) {
    auto matrix = check_array(obj, 2, DType::Float64);
    if (!matrix) return py::fail(std::move(matrix.error()));
    return checked_array_to_mat_payload(*matrix);
}

}  // namespace tarnel::decode
