// asyncio.get_running_loop() asks the kernel for the process id on every call (CPython 3.11), one system
// call in a dozen per engine call. The loop the previous call of this thread found is remembered instead
// (weakly, in the thread's state dict, with the process generation) and taken again while it runs in this
// thread, which asyncio's own loops tell by their `_thread_id`: at most one loop runs in a thread at a
// time, and a loop sets it when it starts running there and clears it when it stops. Loops without it
// (uvloop) are asked for each time, and after fork() the remembered loop is the parent's and is not used.
#include "bridge/running_loop.hpp"

#include "module/weak_reference.hpp"
#include "runtime/after_fork.hpp"

namespace tarnel::bridge {

namespace {

PyObject* g_asyncio = nullptr;  // imported once, kept for the life of the process

py::Result<py::object> asked_for(const PythonNames& names) {
    if (g_asyncio == nullptr) {
        g_asyncio = PyImport_ImportModule("asyncio");
        if (g_asyncio == nullptr) return py::fetched();
    }
    return py::checked(PyObject_CallMethodObjArgs(g_asyncio, names.get_running_loop, nullptr));
}

// The remembered loop when it is running in this thread, else nothing (with no exception set).
py::object remembered(const PythonNames& names, PyObject* state) {
    PyObject* entry = PyDict_GetItemWithError(state, names.last_running_loop_key);  // (weakref, generation, usable)
    if (entry == nullptr) PyErr_Clear();  // nothing remembered, or a lookup that failed: ask instead
    if (entry == nullptr || !PyTuple_Check(entry) || PyTuple_Size(entry) != 3) return {};
    if (PyTuple_GetItem(entry, 2) != Py_True) return {};
    if (PyLong_AsUnsignedLong(PyTuple_GetItem(entry, 1)) != runtime::process_generation()) {
        PyErr_Clear();
        return {};
    }
    py::object loop = py::referent(PyTuple_GetItem(entry, 0));
    if (!loop) return {};
    py::object thread = py::object::steal(PyObject_GetAttr(loop.ptr(), names.thread_id));
    if (!thread || !PyLong_Check(thread.ptr()) || PyLong_AsUnsignedLong(thread.ptr()) != PyThread_get_thread_ident()) {
        PyErr_Clear();
        return {};
    }
    return loop;
}

// Remembers `loop` for this thread, and whether it can tell that it runs here. Best effort: a failure
// only means the next call asks again.
void remember(const PythonNames& names, PyObject* state, PyObject* loop) {
    if (PyObject* entry = PyDict_GetItemWithError(state, names.last_running_loop_key);
        entry != nullptr && PyTuple_Check(entry) && PyTuple_Size(entry) == 3 &&
        py::referent(PyTuple_GetItem(entry, 0)).ptr() == loop) {
        return;  // a loop without `_thread_id`, already remembered as such
    }
    PyErr_Clear();
    py::object thread = py::object::steal(PyObject_GetAttr(loop, names.thread_id));
    const bool usable = thread && PyLong_Check(thread.ptr());
    PyErr_Clear();
    py::object weak = py::object::steal(PyWeakref_NewRef(loop, nullptr));
    py::object generation = py::object::steal(PyLong_FromUnsignedLong(runtime::process_generation()));
    py::object entry = weak && generation ? py::object::steal(PyTuple_Pack(3, weak.ptr(), generation.ptr(),
                                                                           usable ? Py_True : Py_False))
                                          : py::object();
    if (!entry || PyDict_SetItem(state, names.last_running_loop_key, entry.ptr()) != 0) PyErr_Clear();
}

}  // namespace

py::Result<py::object> running_loop(const PythonNames& names) {
    PyObject* state = PyThreadState_GetDict();  // borrowed; NULL only in a thread without Python state
    if (state == nullptr) return asked_for(names);
    if (py::object loop = remembered(names, state)) return loop;
    auto loop = asked_for(names);
    if (loop) remember(names, state, loop->ptr());
    return loop;
}

}  // namespace tarnel::bridge
