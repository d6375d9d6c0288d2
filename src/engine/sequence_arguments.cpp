// Sequence arguments converted element by element.
#include "engine/sequence_arguments.hpp"

#include "module/conversions.hpp"

namespace tarnel::engine {

namespace {
template <class T, class Convert>
py::Result<std::vector<T>> to_list(py::handle obj, Convert convert) {
    if (PyUnicode_Check(obj.ptr())) return py::fail(py::Error::type_error("Can't extract `str` to `Vec`"));
    if (!PySequence_Check(obj.ptr())) return py::fail(py::cannot_convert(obj, "Sequence"));
    std::vector<T> values;
    const Py_ssize_t size = PySequence_Size(obj.ptr());
    if (size < 0) {
        PyErr_Clear();  // only a capacity hint
    } else {
        values.reserve(static_cast<std::size_t>(size));
    }
    py::object iterator = py::object::steal(PyObject_GetIter(obj.ptr()));
    if (!iterator) return py::fetched();
    while (py::object item = py::object::steal(PyIter_Next(iterator.ptr()))) {
        auto value = convert(item);
        if (!value) return py::fail(std::move(value.error()));
        values.push_back(*value);
    }
    if (PyErr_Occurred()) return py::fetched();
    return values;
}
}  // namespace

py::Result<std::vector<std::int32_t>> to_i32_list(py::handle obj) { return to_list<std::int32_t>(obj, py::to_i32); }

py::Result<std::vector<double>> to_float_list(py::handle obj) { return to_list<double>(obj, py::to_float); }

}  // namespace tarnel::engine
