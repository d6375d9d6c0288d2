// The attribute names the bridge looks up on every call, made once as interned strings.
#pragma once

#include "module/python.hpp"

namespace tarnel::bridge {

// Looking an attribute up by a C string makes a new str object each time; these are made once, on first
// need, under the interpreter lock, and kept for the life of the process.
struct PythonNames {
    PyObject* get_running_loop;
    PyObject* create_future;
    PyObject* add_done_callback;
    PyObject* cancelled;
    PyObject* done;
    PyObject* is_closed;
    PyObject* set_result;
    PyObject* set_exception;
    PyObject* call_soon_threadsafe;
    PyObject* context_none;  // the keyword arguments {"context": None}, passed to call_soon_threadsafe
};

// NULL, with the exception set, when they cannot be made. The interpreter lock must be held.
const PythonNames* python_names();

// future.cancelled(); a failure is reported through sys.unraisablehook and counts as "not cancelled".
bool future_cancelled(PyObject* future);

}  // namespace tarnel::bridge
