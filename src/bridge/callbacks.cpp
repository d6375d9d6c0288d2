// PyDoneCallback and CheckedCompletor: small callable types made once, on first need.
#include "bridge/callbacks.hpp"

#include "bridge/future_completion.hpp"
#include "bridge/interpreter_lock.hpp"
#include "bridge/python_names.hpp"

namespace tarnel::bridge {

void CancelRelay::attach(runtime::CancelHandle handle) {
    std::lock_guard lock(mutex_);
    handle_ = std::move(handle);
    attached_ = true;
    if (requested_) handle_.cancel(run_link_here_);
}

void CancelRelay::request(bool run_link_here) {
    std::lock_guard lock(mutex_);
    if (requested_) return;
    requested_ = true;
    run_link_here_ = run_link_here;
    if (attached_) handle_.cancel(run_link_here);
}

namespace {

struct DoneCallbackObject {
    PyObject_HEAD
    std::shared_ptr<CancelRelay>* relay;
};

PyObject* done_callback_call(PyObject* self, PyObject* args, PyObject*) {
    PyObject* future = nullptr;
    if (!PyArg_UnpackTuple(args, "PyDoneCallback", 1, 1, &future)) return nullptr;
    if (future_cancelled(future)) {
        RunningLinkWithLock running_link;  // the cancellation runs on this thread
        (*reinterpret_cast<DoneCallbackObject*>(self)->relay)->request();
    }
    Py_RETURN_NONE;
}

void done_callback_dealloc(PyObject* self) {
    delete reinterpret_cast<DoneCallbackObject*>(self)->relay;
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyType_Slot g_done_callback_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(done_callback_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(done_callback_dealloc)},
    {0, nullptr},
};

PyType_Spec g_done_callback_spec = {"py_engine_tarnel.PyDoneCallback", sizeof(DoneCallbackObject), 0,
                                    Py_TPFLAGS_DEFAULT, g_done_callback_slots};

PyObject* completor_call(PyObject*, PyObject* args, PyObject*) {
    PyObject *future = nullptr, *method = nullptr, *value = nullptr;
    if (!PyArg_UnpackTuple(args, "CheckedCompletor", 3, 3, &future, &method, &value)) return nullptr;
    if (future_cancelled(future)) Py_RETURN_NONE;
    // Runs on the loop's thread: a refused outcome is reported here, and the future failed with a panic,
    // rather than left to the loop's exception handler with the call pending.
    py::object done = py::object::steal(PyObject_CallFunctionObjArgs(method, value, nullptr));
    if (!done) fail_after_refused_outcome(py::handle(future));
    Py_RETURN_NONE;
}

PyType_Slot g_completor_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(completor_call)},
    {0, nullptr},
};

PyType_Spec g_completor_spec = {"py_engine_tarnel.CheckedCompletor", 0, 0, Py_TPFLAGS_DEFAULT, g_completor_slots};

// Types and the completor instance live for the whole process.
PyObject* g_done_callback_type = nullptr;
PyObject* g_completor = nullptr;

}  // namespace

py::Result<py::object> make_done_callback(std::shared_ptr<CancelRelay> relay) {
    if (g_done_callback_type == nullptr) {
        g_done_callback_type = PyType_FromSpec(&g_done_callback_spec);
        if (g_done_callback_type == nullptr) return py::fetched();
    }
    auto* type = reinterpret_cast<PyTypeObject*>(g_done_callback_type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    py::object callback = py::object::steal(alloc(type, 0));
    if (!callback) return py::fetched();
    reinterpret_cast<DoneCallbackObject*>(callback.ptr())->relay = new std::shared_ptr<CancelRelay>(std::move(relay));
    return callback;
}

py::Result<py::handle> checked_completor() {
    if (g_completor == nullptr) {
        py::object type = py::object::steal(PyType_FromSpec(&g_completor_spec));
        if (!type) return py::fetched();
        g_completor = PyObject_CallNoArgs(type.ptr());
        if (g_completor == nullptr) return py::fetched();
    }
    return py::handle(g_completor);
}

}  // namespace tarnel::bridge
