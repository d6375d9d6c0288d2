// Background tasks as seen from code that must not include the networking headers: launch and cancel.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <variant>

#include "codec/engine_error.hpp"
#include "codec/payload_codec.hpp"

namespace tarnel::runtime {

// A failure that escaped a task without being an EngineError (a C++ exception); reported as a panic.
struct Abnormal {
    std::string message;  // empty when the failure carried no text
};

// What a finished task produced: its payload (empty for tasks without one), an engine error, or a panic.
using TaskOutcome = std::variant<Bytes, EngineError, Abnormal>;

struct TaskBody;  // the coroutine to run; defined with the runtime's internals

// A move-only unit of background work, made by the transport layer (start, wait_connected, rpc).
class Task {
public:
    explicit Task(std::unique_ptr<TaskBody> body);
    Task(Task&&) noexcept;
    Task& operator=(Task&&) noexcept;
    ~Task();

    std::unique_ptr<TaskBody> release();

private:
    std::unique_ptr<TaskBody> body_;
};

struct CancelState;

// Requests that a running task be abandoned at its next suspension point. Safe to call from any thread,
// any number of times; only the first request counts, and a request after the task ended does nothing.
class CancelHandle {
public:
    CancelHandle() = default;
    explicit CancelHandle(std::shared_ptr<CancelState> state) : state_(std::move(state)) {}
    // A task on the link is cancelled by the calling thread running the link at once (no other thread
    // wakes), unless `run_link_here` is false: the link is then kicked and whoever watches runs it.
    void cancel(bool run_link_here = true) const;

private:
    std::shared_ptr<CancelState> state_;
};

// Called exactly once, on the thread that runs the task's executor at its end (a worker thread, or for
// tasks on the link the thread running the link), with the task's outcome, unless the task was abandoned
// through its CancelHandle while suspended, in which case it is never called.
using Completion = std::function<void(TaskOutcome)>;

// Starts the task on its executor and returns at once; a task on the link first runs on the calling
// thread up to its first wait (and so may already have ended).
CancelHandle launch(Task task, Completion on_done);

}  // namespace tarnel::runtime
