// asyncio.get_running_loop(), asked for on every call. A cache of the loop an earlier call found would
// save one system call on CPython 3.11 (its get_running_loop compares the process id), about 1 % of a
// small call, but no cheap test tells a cached loop from the one running now: a loop started inside
// another's callback (a re-entrancy helper) leaves the outer one looking as if it ran in this thread.
#include "bridge/running_loop.hpp"

namespace tarnel::bridge {

namespace {

PyObject* g_asyncio = nullptr;  // imported once, kept for the life of the process

}  // namespace

py::Result<py::object> running_loop(const PythonNames& names) {
    if (g_asyncio == nullptr) {
        g_asyncio = PyImport_ImportModule("asyncio");
        if (g_asyncio == nullptr) return py::fetched();
    }
    return py::checked(PyObject_CallMethodObjArgs(g_asyncio, names.get_running_loop, nullptr));
}

}  // namespace tarnel::bridge
