// Interned attribute names and the shared keyword arguments of the bridge's calls.
#include "bridge/python_names.hpp"

#include "bridge/failure_report.hpp"
#include "module/pyref.hpp"

namespace tarnel::bridge {

namespace {
PythonNames g_names{};
bool g_made = false;
}  // namespace

const PythonNames* python_names() {
    if (g_made) return &g_names;
    PythonNames names{};
    struct Entry {
        PyObject** slot;
        const char* text;
    };
    const Entry entries[] = {
        {&names.get_running_loop, "get_running_loop"},
        {&names.create_future, "create_future"},
        {&names.add_done_callback, "add_done_callback"},
        {&names.cancelled, "cancelled"},
        {&names.done, "done"},
        {&names.is_closed, "is_closed"},
        {&names.set_result, "set_result"},
        {&names.set_exception, "set_exception"},
        {&names.call_soon_threadsafe, "call_soon_threadsafe"},
    };
    for (const Entry& entry : entries) {
        *entry.slot = PyUnicode_InternFromString(entry.text);
        if (*entry.slot == nullptr) return nullptr;  // those made so far are kept: made once, never freed
    }
    py::object kwargs = py::object::steal(PyDict_New());
    if (!kwargs || PyDict_SetItemString(kwargs.ptr(), "context", Py_None) != 0) return nullptr;
    names.context_none = kwargs.release();
    g_names = names;
    g_made = true;
    return &g_names;
}

bool future_cancelled(PyObject* future) {
    const PythonNames* names = python_names();
    py::object result =
        py::object::steal(names ? PyObject_CallMethodObjArgs(future, names->cancelled, nullptr) : nullptr);
    if (!result) {
        report_python_unraisable("a call's future.cancelled()");
        return false;
    }
    return PyObject_IsTrue(result.ptr()) == 1;
}

}  // namespace tarnel::bridge
