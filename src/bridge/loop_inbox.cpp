// The registration of each loop's inbox with the loop (loop.add_reader), and the registry of loops.
#include "bridge/loop_inbox.hpp"

#include <cerrno>
#include <cstring>
#include <cstdint>
#include <unordered_map>

#include "runtime/after_fork.hpp"

namespace tarnel::bridge {

namespace {

// The object given to loop.add_reader: calling it drains the inbox; dropping it (the loop's selector
// lets go of it when the loop closes or is collected) ends the registration.
struct ReaderObject {
    PyObject_HEAD
    std::shared_ptr<LoopInbox>* inbox;
    PyObject* loop;  // borrowed: the registry's key, never dereferenced
};

// Loop -> inbox, for loops whose registration is live. Touched only with the interpreter lock held. The
// key is the loop's address, which is not kept alive by the registry: the entry goes when the reader
// object goes, which is no later than the loop itself.
using Registry = std::unordered_map<PyObject*, std::weak_ptr<LoopInbox>>;
Registry* g_registry = new Registry();

// The last loop asked for, and its inbox: nearly every call comes from the loop the previous one came from.
PyObject* g_last_loop = nullptr;
std::weak_ptr<LoopInbox>* g_last_inbox = new std::weak_ptr<LoopInbox>();

// A forked child starts without registrations: the parent's inboxes may have been locked by its workers.
[[maybe_unused]] const bool g_forget_after_fork = [] {
    runtime::after_fork_in_child([] {
        g_registry = new Registry();
        g_last_loop = nullptr;
        g_last_inbox = new std::weak_ptr<LoopInbox>();
    });
    return true;
}();

PyObject* reader_call(PyObject* self, PyObject*, PyObject*) {
    (*reinterpret_cast<ReaderObject*>(self)->inbox)->drain();
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

void reader_dealloc(PyObject* self) {
    auto* reader = reinterpret_cast<ReaderObject*>(self);
    if (auto found = g_registry->find(reader->loop); found != g_registry->end()) {
        auto registered = found->second.lock();
        if (!registered || registered == *reader->inbox) g_registry->erase(found);
    }
    {
        // Completing the calls left behind runs Python code: the error state of whoever dropped the
        // reader is kept aside meanwhile.
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        (*reader->inbox)->close();
        PyErr_Restore(type, value, traceback);
    }
    delete reader->inbox;
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

PyType_Slot g_reader_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(reader_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {0, nullptr},
};

PyType_Spec g_reader_spec = {"py_engine_tarnel.LoopInboxReader", sizeof(ReaderObject), 0, Py_TPFLAGS_DEFAULT,
                             g_reader_slots};
PyObject* g_reader_type = nullptr;

py::Result<py::object> make_reader(std::shared_ptr<LoopInbox> inbox, PyObject* loop) {
    if (g_reader_type == nullptr) {
        g_reader_type = PyType_FromSpec(&g_reader_spec);
        if (g_reader_type == nullptr) return py::fetched();
    }
    auto* type = reinterpret_cast<PyTypeObject*>(g_reader_type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    py::object reader = py::object::steal(alloc(type, 0));
    if (!reader) return py::fetched();
    auto* fields = reinterpret_cast<ReaderObject*>(reader.ptr());
    fields->inbox = new std::shared_ptr<LoopInbox>(std::move(inbox));
    fields->loop = loop;
    return reader;
}

}  // namespace

py::Result<std::shared_ptr<LoopInbox>> inbox_for(py::handle loop, LoopInbox::Deliver on_loop,
                                                 LoopInbox::Deliver after_close) {
    if (loop.ptr() == g_last_loop) {
        if (auto inbox = g_last_inbox->lock(); inbox && !inbox->closed()) return inbox;
    }
    if (auto found = g_registry->find(loop.ptr()); found != g_registry->end()) {
        if (auto inbox = found->second.lock(); inbox && !inbox->closed()) {
            g_last_loop = loop.ptr();
            *g_last_inbox = inbox;
            return inbox;
        }
        g_registry->erase(found);
    }
    auto queue = runtime::EventfdQueue<LoopInbox::Delivery>::create();
    if (!queue) return py::fail(py::Error::make(PyExc_OSError, "eventfd failed: " + std::string(strerror(errno))));
    const int fd = queue->fd();
    auto inbox = std::make_shared<LoopInbox>(std::move(queue), on_loop, after_close);
    auto reader = make_reader(inbox, loop.ptr());
    if (!reader) return py::fail(std::move(reader.error()));
    py::object fd_number = py::object::steal(PyLong_FromLong(fd));
    if (!fd_number) return py::fetched();
    // The loop runs the reader in the context current at registration: a new, empty one, so that no
    // caller's context variables are seen while futures are completed.
    py::object contextvars = py::object::steal(PyImport_ImportModule("contextvars"));
    if (!contextvars) return py::fetched();
    py::object context = py::object::steal(PyObject_CallMethod(contextvars.ptr(), "Context", nullptr));
    if (!context) return py::fetched();
    py::object add_reader = py::object::steal(PyObject_GetAttrString(loop.ptr(), "add_reader"));
    if (!add_reader) return py::fetched();
    auto added = py::checked(PyObject_CallMethod(context.ptr(), "run", "OOO", add_reader.ptr(), fd_number.ptr(),
                                                 reader->ptr()));
    if (!added) return py::fail(std::move(added.error()));
    (*g_registry)[loop.ptr()] = inbox;
    g_last_loop = loop.ptr();
    *g_last_inbox = inbox;
    return inbox;
}

}  // namespace tarnel::bridge
