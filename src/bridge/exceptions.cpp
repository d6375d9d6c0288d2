// Engine errors as Python exceptions, and the two panic exception classes.
#include "bridge/exceptions.hpp"

#include <cstdio>

namespace tarnel::bridge {

py::Error to_python(const EngineError& error) {
    return py::Error::make(error.kind() == EngineError::Kind::Value ? PyExc_ValueError : PyExc_RuntimeError,
                           error.text());
}

namespace {
// Exception classes live for the whole process: created once under the interpreter lock, never freed.
PyObject* create_once(PyObject*& slot, const char* name, PyObject* base) {
    if (slot == nullptr) slot = PyErr_NewException(name, base, nullptr);
    return slot;
}
PyObject* g_panic_exception = nullptr;
PyObject* g_tarnel_panic = nullptr;
}  // namespace

PyObject* panic_exception_type() {
    return create_once(g_panic_exception, "py_engine_tarnel.PanicException", PyExc_BaseException);
}

PyObject* tarnel_panic_type() { return create_once(g_tarnel_panic, "py_engine_tarnel.TarnelPanic", PyExc_Exception); }

PyObject* raise_panic(const std::string& text) {
    const std::string message = text.empty() ? std::string("panic from Tarnel code") : text;
    const std::string report = "py_engine_tarnel panicked: " + message + "\n";
    std::fwrite(report.data(), 1, report.size(), stderr);
    if (PyObject* type = panic_exception_type()) {
        py::Error::make(type, message).restore();
    }
    return nullptr;
}

}  // namespace tarnel::bridge
