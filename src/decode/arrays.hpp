// Conversions between decoded payloads and NumPy arrays, and the checks on array arguments.
#pragma once

#include "codec/payload_codec.hpp"
#include "module/py_error.hpp"

namespace tarnel::decode {

// New, writeable float64 arrays holding copies of the payload's values.
py::Result<py::object> vector_to_array(const VecF64View& vector);
// Shape (rows, cols), C order; (0, 0) when there are no rows; (rows, 0) when there are no columns.
py::Result<py::object> matrix_to_array(const MatF64View& matrix);
// Same, for a view into `payload`: a large payload becomes the array's own memory (no copy), owned by
// the array from then on; a small one is copied and `payload` left as it was.
py::Result<py::object> matrix_to_array_adopting(const MatF64View& matrix, Bytes&& payload);
// (vector, matrix) as vector_to_array and matrix_to_array make them.
py::Result<py::object> vec_mat_to_arrays(const VecMatF64View& both);
// (flags int32, actions int32, ratios float64), each of length n.
py::Result<py::object> close_step_to_arrays(const CloseStepView& step);

enum class DType { Float64, Int32 };

// An array argument that passed the type, dimension and dtype checks (in that order). The texts carry
// no parameter name; callers that need one add it.
struct ArrayArg {
    py::handle array;
    bool contiguous() const;
    std::size_t size() const;
    const void* data() const;
};
py::Result<ArrayArg> check_array(py::handle obj, int ndim, DType dtype);

// "The given array is not contiguous".
py::Error not_contiguous();

// A two-dimensional float64 array, C- or Fortran-contiguous, as MatF64 bytes in row-major order.
py::Result<Bytes> array_to_mat_payload(py::handle obj);
// Same, for an array that already passed check_array.
py::Result<Bytes> checked_array_to_mat_payload(const ArrayArg& matrix);

}  // namespace tarnel::decode
