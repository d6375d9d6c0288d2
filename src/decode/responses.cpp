// Building the Python result of each kind of response.
#include "decode/responses.hpp"

#include "bridge/exceptions.hpp"
#include "codec/byte_order.hpp"
#include "decode/arrays.hpp"

namespace tarnel::decode {

py::Result<py::object> int_response(Bytes&& payload) {
    const std::uint32_t value = payload.size() >= 4 ? le::load<std::uint32_t>(payload.data()) : 0;
    return py::checked(PyLong_FromUnsignedLong(value));
}

py::Result<py::object> text_response(Bytes&& payload) {
    PyObject* text = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(payload.data()),
                                          static_cast<Py_ssize_t>(payload.size()), "strict");
    if (text == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return py::fetched();
        PyErr_Clear();
        return py::checked(PyUnicode_FromString("{}"));
    }
    return py::object::steal(text);
}

py::Result<py::object> policy_response(Bytes&& payload) {
    if (payload.empty() || payload[0] > 1) return py::object::none();
    return py::checked(PyUnicode_FromString(payload[0] == 0 ? "deferred" : "eager"));
}

py::Result<py::object> vector_response(Bytes&& payload) {
    auto vector = check_vec_f64(payload);
    if (!vector) return py::fail(bridge::to_python(vector.error()));
    return vector_to_array(*vector);
}

py::Result<py::object> matrix_response(Bytes&& payload) {
    auto matrix = check_mat_f64(payload);
    if (!matrix) return py::fail(bridge::to_python(matrix.error()));
    return matrix_to_array_adopting(*matrix, std::move(payload));
}

py::Result<py::object> vector_matrix_response(Bytes&& payload) {
    auto both = check_vec_mat_f64(payload);
    if (!both) return py::fail(bridge::to_python(both.error()));
    return vec_mat_to_arrays(*both);
}

}  // namespace tarnel::decode
