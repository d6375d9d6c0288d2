// The Python exceptions of the module: engine errors, PanicException, TarnelPanic, and the entry guard.
#pragma once

#include <stdexcept>
#include <string>

#include "codec/engine_error.hpp"
#include "module/py_error.hpp"

namespace tarnel::bridge {

// ValueError for kind Value, RuntimeError otherwise; the text is the exception's only argument.
py::Error to_python(const EngineError& error);

// PanicException derives from BaseException; TarnelPanic from Exception. Both are created on first
// need and kept for the life of the process; neither is a module attribute. NULL with an exception
// set if creation fails.
PyObject* panic_exception_type();
PyObject* tarnel_panic_type();

// Thrown by synchronous code for an abnormal failure; the entry guard raises it as PanicException.
struct Panic : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Raises PanicException with `text` (or "panic from Tarnel code" when empty), after reporting it on
// standard error. Always returns NULL.
PyObject* raise_panic(const std::string& text);

// Runs one entry point: its result is returned to the interpreter, its Python error is restored, and a
// C++ exception that escapes becomes PanicException instead of ending the process.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        py::Result<py::object> result = body();
        if (!result) {
            std::move(result.error()).restore();
            return nullptr;
        }
        return result->release();
    } catch (const std::exception& failure) {
        return raise_panic(failure.what());
    } catch (...) {
        return raise_panic("");
    }
}

}  // namespace tarnel::bridge
