// decode_*_py and encode_*_py: payload bytes to NumPy arrays and back, with the argument rules.
#include "decode/codec_functions.hpp"

#include "bridge/exceptions.hpp"
#include "decode/arrays.hpp"
#include "module/binding.hpp"
#include "module/conversions.hpp"
#include "module/method_def.hpp"

namespace tarnel::decode {

namespace {

const py::Signature kPayload(const char* function) { return {std::string(function) + "()", {"payload"}, 1}; }

// The payload argument: bytes or a subclass of bytes, borrowed for the call.
py::Result<ByteView> payload_argument(py::handle obj) {
    if (!PyBytes_Check(obj.ptr())) {
        return py::fail(py::with_argument_name(py::cannot_convert(obj, "PyBytes"), "payload"));
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(obj.ptr(), &data, &size) < 0) return py::fetched();
    return ByteView(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
}

// Binds the one `payload` parameter, checks it with `check` and builds the result with `build`.
template <class Check, class Build>
PyObject* decode_entry(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Check check,
                       Build build) {
    return bridge::guarded([&]() -> py::Result<py::object> {
        static const py::Signature signature = kPayload(name);
        auto bound = py::bind(signature, args, static_cast<std::size_t>(nargs), kwnames);
        if (!bound) return py::fail(std::move(bound.error()));
        auto payload = payload_argument((*bound)[0]);
        if (!payload) return py::fail(std::move(payload.error()));
        auto view = check(*payload);
        if (!view) return py::fail(bridge::to_python(view.error()));
        return build(*view);
    });
}

PyObject* decode_vec_f64_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return decode_entry("decode_vec_f64_py", args, nargs, kwnames, check_vec_f64, vector_to_array);
}

PyObject* decode_mat_f64_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return decode_entry("decode_mat_f64_py", args, nargs, kwnames, check_mat_f64, matrix_to_array);
}

PyObject* decode_close_step_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return decode_entry("decode_close_step_py", args, nargs, kwnames, check_close_step, close_step_to_arrays);
}

PyObject* decode_vec_mat_f64_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return decode_entry("decode_vec_mat_f64_py", args, nargs, kwnames, check_vec_mat_f64, vec_mat_to_arrays);
}

// The encoders answer with a list holding one int per payload byte.
py::Result<py::object> byte_list(const Expected<Bytes>& payload) {
    if (!payload) return py::fail(bridge::to_python(payload.error()));
    py::object list = py::object::steal(PyList_New(static_cast<Py_ssize_t>(payload->size())));
    if (!list) return py::fetched();
    for (std::size_t i = 0; i < payload->size(); ++i) {
        PyObject* item = PyLong_FromLong((*payload)[i]);
        if (item == nullptr) return py::fetched();
        PyList_SetItem(list.ptr(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list;
}

struct ArrayParameter {
    const char* name;
    int ndim;
    DType dtype;
};

// Checks each array parameter in order (type, dimensions, dtype, with the parameter's name), then the
// contiguity of each in the same order.
template <std::size_t N>
py::Result<std::array<ArrayArg, N>> array_arguments(const py::BoundArguments& bound,
                                                    const std::array<ArrayParameter, N>& parameters) {
    std::array<ArrayArg, N> arrays;
    for (std::size_t i = 0; i < N; ++i) {
        auto checked = check_array(bound[i], parameters[i].ndim, parameters[i].dtype);
        if (!checked) return py::fail(py::with_argument_name(std::move(checked.error()), parameters[i].name));
        arrays[i] = *checked;
    }
    for (const ArrayArg& array : arrays) {
        if (!array.contiguous()) return py::fail(not_contiguous());
    }
    return arrays;
}

template <std::size_t N, class Encode>
PyObject* encode_entry(const char* function, const std::array<ArrayParameter, N>& parameters, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, Encode encode) {
    return bridge::guarded([&]() -> py::Result<py::object> {
        py::Signature signature{std::string(function) + "()", {}, N};
        for (const auto& p : parameters) signature.names.push_back(p.name);
        auto bound = py::bind(signature, args, static_cast<std::size_t>(nargs), kwnames);
        if (!bound) return py::fail(std::move(bound.error()));
        auto arrays = array_arguments(*bound, parameters);
        if (!arrays) return py::fail(std::move(arrays.error()));
        return encode(*arrays);
    });
}

template <class T>
std::span<const T> elements(const ArrayArg& array) {
    return {static_cast<const T*>(array.data()), array.size()};
}

PyObject* encode_vec_f64_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<ArrayParameter, 1> parameters{{{"arr", 1, DType::Float64}}};
    return encode_entry("encode_vec_f64_py", parameters, args, nargs, kwnames, [](const auto& arrays) {
        return byte_list(encode_vec_f64(elements<double>(arrays[0])));
    });
}

PyObject* encode_mat_f64_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<ArrayParameter, 1> parameters{{{"mat", 2, DType::Float64}}};
    return encode_entry("encode_mat_f64_py", parameters, args, nargs, kwnames,
                        [](const auto& arrays) -> py::Result<py::object> {
                            auto payload = checked_array_to_mat_payload(arrays[0]);
                            if (!payload) return py::fail(std::move(payload.error()));
                            return byte_list(std::move(*payload));
                        });
}

PyObject* encode_close_step_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<ArrayParameter, 3> parameters{
        {{"flags", 1, DType::Int32}, {"actions", 1, DType::Int32}, {"ratios", 1, DType::Float64}}};
    return encode_entry("encode_close_step_py", parameters, args, nargs, kwnames, [](const auto& arrays) {
        return byte_list(encode_close_step(elements<std::int32_t>(arrays[0]), elements<std::int32_t>(arrays[1]),
                                           elements<double>(arrays[2])));
    });
}

using py::as_cfunction;
using py::kFastcallKeywords;

PyMethodDef g_functions[] = {
    {"decode_vec_f64_py", as_cfunction(decode_vec_f64_py), kFastcallKeywords,
     "decode_vec_f64_py(payload)\n--\n\nDecode VecF64 payload into numpy.ndarray(float64, shape=(n,))"},
    {"decode_mat_f64_py", as_cfunction(decode_mat_f64_py), kFastcallKeywords,
     "decode_mat_f64_py(payload)\n--\n\nDecode MatF64 payload into numpy.ndarray(float64, shape=(rows, cols))"},
    {"decode_close_step_py", as_cfunction(decode_close_step_py), kFastcallKeywords,
     "decode_close_step_py(payload)\n--\n\nDecode CloseStep payload into tuple(flags, actions, ratios) as numpy "
     "arrays."},
    {"decode_vec_mat_f64_py", as_cfunction(decode_vec_mat_f64_py), kFastcallKeywords,
     "decode_vec_mat_f64_py(payload)\n--\n\nDecode VecF64 + MatF64 payload into (vec, mat)."},
    {"encode_vec_f64_py", as_cfunction(encode_vec_f64_py), kFastcallKeywords, "encode_vec_f64_py(arr)\n--\n\n"},
    {"encode_mat_f64_py", as_cfunction(encode_mat_f64_py), kFastcallKeywords, "encode_mat_f64_py(mat)\n--\n\n"},
    {"encode_close_step_py", as_cfunction(encode_close_step_py), kFastcallKeywords,
     "encode_close_step_py(flags, actions, ratios)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* codec_function_defs() { return g_functions; }

}  // namespace tarnel::decode
