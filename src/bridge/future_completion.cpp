// A call's outcome handed to its future, with one panic behind it when that raises.
#include "bridge/future_completion.hpp"

#include "bridge/exceptions.hpp"
#include "bridge/failure_report.hpp"
#include "bridge/python_names.hpp"

namespace tarnel::bridge {

namespace {

// future.done(); a failure counts as "not done" (the panic is then tried, and reported if refused).
bool future_done(py::handle future, const PythonNames& names) {
    py::object done = py::object::steal(PyObject_CallMethodObjArgs(future.ptr(), names.done, nullptr));
    if (!done) {
        PyErr_Clear();
        return false;
    }
    return PyObject_IsTrue(done.ptr()) == 1;
}

}  // namespace

py::object panic_value(const std::string& message) {
    const std::string text = "tarnel future panicked: " + (message.empty() ? std::string("unknown error") : message);
    PyObject* type = tarnel_panic_type();
    if (type == nullptr) return py::Error::fetch().value_object();
    return py::Error::make(type, text).value_object();
}

void complete_or_panic(py::handle future, bool is_exception, py::handle value) noexcept {
    const PythonNames* names = python_names();
    py::object done = names == nullptr ? py::object()
                                       : py::object::steal(PyObject_CallMethodObjArgs(
                                             future.ptr(), is_exception ? names->set_exception : names->set_result,
                                             value.ptr(), nullptr));
    if (!done) fail_after_refused_outcome(future);
}

void fail_after_refused_outcome(py::handle future) noexcept {
    const std::string failure = report_python_unraisable("a call's delivery");
    try {
        const PythonNames* names = python_names();
        if (names == nullptr) {
            report_python_unraisable("a call's delivery, reporting a panic");
            return;
        }
        // A future that took its outcome and raised after (in a callback it scheduled) is not pending.
        if (future_done(future, *names)) return;
        py::object panic = panic_value("its delivery failed: " + failure);
        py::object done = py::object::steal(
            PyObject_CallMethodObjArgs(future.ptr(), names->set_exception, panic.ptr(), nullptr));
        if (!done) report_python_unraisable("a call's delivery, reporting a panic");
    } catch (...) {
        report_unraisable("a call's delivery, reporting a panic");
    }
}

}  // namespace tarnel::bridge
