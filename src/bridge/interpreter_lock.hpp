// Taking the interpreter lock from runtime worker threads, and refusing to once the interpreter exits.
#pragma once

#include <optional>

#include "module/python.hpp"

namespace tarnel::bridge {

// Holds the interpreter lock for a scope. Obtained through acquire(), which refuses once the interpreter
// has begun to exit: a thread that asks for the lock during finalisation hangs or is ended in the middle
// of C++ frames, so worker threads then drop their outcome instead.
class InterpreterLock {
public:
    // `from_worker`: the caller is a runtime worker thread not holding the lock; its thread state is then
    // made once and kept for the thread's life.
    static std::optional<InterpreterLock> acquire(bool from_worker = false);
    InterpreterLock(InterpreterLock&& other) noexcept : state_(other.state_), held_(other.held_) { other.held_ = false; }
    InterpreterLock(const InterpreterLock&) = delete;
    ~InterpreterLock();

private:
    explicit InterpreterLock(PyGILState_STATE state) : state_(state), held_(true) {}
    PyGILState_STATE state_;
    bool held_;
};

// Marks a scope in which this thread, holding the interpreter lock, runs the link (see runtime/link.hpp):
// an event loop's thread. Calls finished there may hand their outcome over through the workers' road,
// which must then not give the thread's lock away.
class RunningLinkWithLock {
public:
    RunningLinkWithLock();
    ~RunningLinkWithLock();
    RunningLinkWithLock(const RunningLinkWithLock&) = delete;
    RunningLinkWithLock& operator=(const RunningLinkWithLock&) = delete;

private:
    bool outer_;
};

// Registers the atexit hook that marks the interpreter as closing. Called at module initialisation.
bool install_exit_hook();

// True once the interpreter has begun to exit.
bool interpreter_closing();

}  // namespace tarnel::bridge
