// spawn: the future is made on the caller's thread; the outcome reaches it through the loop's
// call_soon_threadsafe from a worker thread.
#include "bridge/future_bridge.hpp"

#include "bridge/callbacks.hpp"
#include "bridge/exceptions.hpp"
#include "bridge/interpreter_lock.hpp"

namespace tarnel::bridge {

namespace {

// Imported once, on first need, and kept for the life of the process.
py::Result<py::handle> cached_module(PyObject*& slot, const char* name) {
    if (slot == nullptr) {
        slot = PyImport_ImportModule(name);
        if (slot == nullptr) return py::fetched();
    }
    return py::handle(slot);
}
PyObject* g_asyncio = nullptr;
PyObject* g_contextvars = nullptr;

// The Python objects a background call holds: loop, future, context. Released with the interpreter lock
// held, or left alone once the interpreter exits (releasing them then would need the lock).
struct PendingCall {
    py::object loop;
    py::object future;
    py::object context;
    ResultBuilder build;

    ~PendingCall() {
        auto lock = InterpreterLock::acquire();
        if (!lock) {
            (void)loop.release();
            (void)future.release();
            (void)context.release();
        } else {
            loop = py::object();
            future = py::object();
            context = py::object();
            build = nullptr;  // may hold Python objects of its own
        }
    }
};

py::object exception_for(runtime::TaskOutcome& outcome, const ResultBuilder& build, bool& is_exception) {
    is_exception = true;
    if (auto* error = std::get_if<EngineError>(&outcome)) return to_python(*error).value_object();
    if (auto* abnormal = std::get_if<runtime::Abnormal>(&outcome)) {
        const std::string text =
            "tarnel future panicked: " + (abnormal->message.empty() ? std::string("unknown error") : abnormal->message);
        PyObject* type = tarnel_panic_type();
        if (type == nullptr) return py::Error::fetch().value_object();
        return py::Error::make(type, text).value_object();
    }
    auto value = build(std::move(std::get<Bytes>(outcome)));
    if (!value) return std::move(value.error()).value_object();
    is_exception = false;
    return std::move(*value);
}

// Hands the outcome to the loop; runs on a worker thread with the interpreter lock held. Failures of
// these calls are printed with the interpreter's report; the outcome is then lost.
void deliver(PendingCall& call, runtime::TaskOutcome outcome) {
    py::object cancelled = py::object::steal(PyObject_CallMethod(call.future.ptr(), "cancelled", nullptr));
    if (!cancelled) {
        PyErr_Print();
    } else if (PyObject_IsTrue(cancelled.ptr()) == 1) {
        return;
    }
    bool is_exception = false;
    py::object value = exception_for(outcome, call.build, is_exception);
    auto completor = checked_completor();
    if (!completor) {
        std::move(completor.error()).restore();
        PyErr_Print();
        return;
    }
    py::object method = py::object::steal(
        PyObject_GetAttrString(call.future.ptr(), is_exception ? "set_exception" : "set_result"));
    py::object schedule = py::object::steal(PyObject_GetAttrString(call.loop.ptr(), "call_soon_threadsafe"));
    py::object args = method && schedule ? py::object::steal(PyTuple_Pack(4, completor->ptr(), call.future.ptr(),
                                                                          method.ptr(), value.ptr()))
                                         : py::object();
    py::object kwargs = args ? py::object::steal(Py_BuildValue("{s:O}", "context", Py_None)) : py::object();
    py::object done = kwargs ? py::object::steal(PyObject_Call(schedule.ptr(), args.ptr(), kwargs.ptr()))
                             : py::object();
    if (!done) PyErr_Print();
}

}  // namespace

py::Result<py::object> none_result(Bytes&&) { return py::object::none(); }

py::Result<py::object> spawn(const std::function<runtime::Task()>& make_task, ResultBuilder build) {
    auto asyncio = cached_module(g_asyncio, "asyncio");
    if (!asyncio) return py::fail(std::move(asyncio.error()));
    auto loop = py::checked(PyObject_CallMethod(asyncio->ptr(), "get_running_loop", nullptr));
    if (!loop) return py::fail(std::move(loop.error()));
    auto contextvars = cached_module(g_contextvars, "contextvars");
    if (!contextvars) return py::fail(std::move(contextvars.error()));
    auto context = py::checked(PyObject_CallMethod(contextvars->ptr(), "copy_context", nullptr));
    if (!context) return py::fail(std::move(context.error()));
    auto relay = std::make_shared<CancelRelay>();
    auto future = py::checked(PyObject_CallMethod(loop->ptr(), "create_future", nullptr));
    if (!future) return py::fail(std::move(future.error()));
    auto callback = make_done_callback(relay);
    if (!callback) return py::fail(std::move(callback.error()));
    auto added = py::checked(PyObject_CallMethod(future->ptr(), "add_done_callback", "O", callback->ptr()));
    if (!added) return py::fail(std::move(added.error()));

    auto call = std::make_shared<PendingCall>(PendingCall{*loop, *future, std::move(*context), std::move(build)});
    relay->attach(runtime::launch(make_task(), [call](runtime::TaskOutcome outcome) {
        auto lock = InterpreterLock::acquire(/*from_worker=*/true);
        if (!lock) return;
        deliver(*call, std::move(outcome));
    }));
    return std::move(*future);
}

}  // namespace tarnel::bridge
