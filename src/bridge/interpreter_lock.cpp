// The interpreter lock on worker threads: one thread state per worker for its whole life, and the exit
// hook after which no worker takes the lock again.
#include "bridge/interpreter_lock.hpp"

#include <atomic>
#include <chrono>
#include <thread>

#include "module/pyref.hpp"
#include "runtime/after_fork.hpp"

namespace tarnel::bridge {

namespace {

std::atomic<bool> g_closing{false};
// Threads that have passed the closing check and may be taking, or holding, the lock.
std::atomic<int> g_inside{0};
// In a forked child the parent's workers, counted here, do not exist.
[[maybe_unused]] const bool g_inside_reset_after_fork = [] {
    runtime::after_fork_in_child([] { g_inside.store(0); });
    return true;
}();

// A bare Ensure/Release pair on a thread without a thread state creates and destroys one each time.
// Taking one Ensure per thread that is never released keeps the state for the thread's life, so later
// acquisitions only take the lock.
thread_local bool t_state_kept = false;
thread_local bool t_running_link_with_lock = false;

void keep_thread_state() {
    if (t_state_kept) return;
    t_state_kept = true;
    PyGILState_Ensure();  // never released: it owns this thread's state
    PyEval_SaveThread();
}

PyObject* on_interpreter_exit(PyObject*, PyObject*) {
    g_closing.store(true);
    // Let threads that already passed the check finish with the lock; they release it quickly.
    Py_BEGIN_ALLOW_THREADS;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (g_inside.load() != 0 && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    Py_END_ALLOW_THREADS;
    Py_RETURN_NONE;
}

PyMethodDef g_exit_hook = {"_tarnel_interpreter_exit", on_interpreter_exit, METH_NOARGS, nullptr};

}  // namespace

std::optional<InterpreterLock> InterpreterLock::acquire(bool from_worker) {
    g_inside.fetch_add(1);
    if (g_closing.load()) {
        g_inside.fetch_sub(1);
        return std::nullopt;
    }
    if (from_worker && !t_running_link_with_lock) keep_thread_state();
    return InterpreterLock(PyGILState_Ensure());
}

InterpreterLock::~InterpreterLock() {
    if (!held_) return;
    PyGILState_Release(state_);
    g_inside.fetch_sub(1);
}

RunningLinkWithLock::RunningLinkWithLock() : outer_(!t_running_link_with_lock) { t_running_link_with_lock = true; }
RunningLinkWithLock::~RunningLinkWithLock() {
    if (outer_) t_running_link_with_lock = false;
}

bool interpreter_closing() { return g_closing.load(); }

bool install_exit_hook() {
    py::object atexit = py::object::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return false;
    py::object hook = py::object::steal(PyCFunction_NewEx(&g_exit_hook, nullptr, nullptr));
    if (!hook) return false;
    py::object done = py::object::steal(PyObject_CallMethod(atexit.ptr(), "register", "O", hook.ptr()));
    return static_cast<bool>(done);
}

}  // namespace tarnel::bridge
