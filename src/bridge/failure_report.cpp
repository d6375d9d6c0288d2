// The interpreter's report of caught exceptions, and the panic that ends their call.
#include "bridge/failure_report.hpp"

#include <unistd.h>

#include <string>

#include "bridge/interpreter_lock.hpp"
#include "module/py_error.hpp"
#include "module/pyref.hpp"
#include "runtime/failure_report.hpp"

namespace tarnel::bridge {

namespace {

// With the interpreter lock held: RuntimeError(text) through sys.unraisablehook, whose default prints it
// on standard error with the context it names. A Python exception that escaped is the report's cause, and
// its traceback the report's, so that the default hook shows where it was raised.
void write_unraisable(std::string_view where, std::string_view what, py::handle cause = py::handle()) {
    const std::string text = "py_engine_tarnel: an exception escaped " + std::string(where) + ": " + std::string(what);
    py::object context = py::object::steal(PyUnicode_FromStringAndSize(where.data(), static_cast<Py_ssize_t>(where.size())));
    py::Error report = py::Error::make(PyExc_RuntimeError, text);
    py::object traceback;
    if (cause && report.matches(PyExc_RuntimeError)) {
        PyException_SetCause(report.value().ptr(), Py_NewRef(cause.ptr()));  // steals the new reference
        traceback = py::object::steal(PyException_GetTraceback(cause.ptr()));
        if (traceback) PyException_SetTraceback(report.value().ptr(), traceback.ptr());
    }
    py::object type = py::object::borrow(PyExceptionInstance_Class(report.value().ptr()));
    py::object value = std::move(report).value_object();
    PyErr_Restore(type.release(), value.release(), traceback.release());
    PyErr_WriteUnraisable(context.ptr());
}

void sink(std::string_view where, std::string_view what) {
    auto lock = InterpreterLock::acquire();
    if (!lock) {
        // The interpreter is exiting: the line goes to standard error directly.
        const std::string line = "py_engine_tarnel: an exception escaped " + std::string(where) + ": " +
                                 std::string(what) + "\n";
        [[maybe_unused]] const auto written = ::write(2, line.data(), line.size());
        return;
    }
    write_unraisable(where, what);
}

}  // namespace

void install_failure_report() { runtime::set_failure_sink(sink); }

std::string report_python_unraisable(std::string_view where) noexcept {
    try {
        py::Error error = py::Error::fetch();
        const std::string text = error.text();
        const std::string what = py::type_name_of(error.value()) + (text.empty() ? "" : ": " + text);
        write_unraisable(where, what, error.value());
        return what;
    } catch (...) {
        PyErr_Clear();  // no memory left even for the report
        return {};
    }
}

std::string report_unraisable(std::string_view where) noexcept {
    try {
        std::string what = runtime::describe_failure(std::current_exception());
        write_unraisable(where, what);
        return what;
    } catch (...) {
        PyErr_Clear();  // no memory left even for the report
        return {};
    }
}

}  // namespace tarnel::bridge
