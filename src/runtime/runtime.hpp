// The process-wide task runtime: one Asio context served by one worker thread per core.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

#include "codec/engine_error.hpp"
#include "runtime/after_fork.hpp"
#include "runtime/task.hpp"

namespace tarnel::runtime {

namespace asio = boost::asio;

// The runtime's context. Created, with its worker threads, on the first call; never shut down or
// destroyed, so worker threads never meet a destroyed context while the process exits. In a child made
// by fork() the first call creates a new one: the parent's is abandoned there.
asio::io_context& context();

// Number of worker threads (one per processor core, at least one).
unsigned worker_count();

struct CancelState;
struct TaskBody;

// Given to a task's at_launch work: lets it leave the task waiting outside its executor ("parked") and end
// it later, from any thread.
class ParkedTask {
public:
    ParkedTask(std::shared_ptr<CancelState> state, std::shared_ptr<TaskBody> body,
               std::function<void(std::exception_ptr, Expected<Bytes>)> finish)
        : state_(std::move(state)), body_(std::move(body)), finish_(std::move(finish)) {}

    // Leaves the task parked when at_launch returns. `abandon` is called instead of the coroutine's
    // cancellation if the task is cancelled: it returns true if it abandoned the task (which then reports
    // nothing), false if the task has been finished or handed to its coroutine meanwhile.
    void park(std::function<bool()> abandon);
    bool parked() const { return parked_; }
    // Reports the outcome of a parked task (once).
    void finish(Expected<Bytes> outcome) const;
    // Ends a parked task with a panic: `failure` is the exception that stopped it.
    void fail(std::exception_ptr failure) const;
    // Starts the coroutine of a parked task on its executor after all.
    void start_coroutine() const;

private:
    std::shared_ptr<CancelState> state_;
    std::shared_ptr<TaskBody> body_;
    std::function<void(std::exception_ptr, Expected<Bytes>)> finish_;
    bool parked_ = false;
};

struct TaskBody {
    // Where the coroutine runs, and where cancellation is delivered: the strand of the engine whose
    // state the task touches (an executor of context()).
    asio::any_io_executor executor;
    std::function<asio::awaitable<Expected<Bytes>>()> run;
    // For a task on the link, work the launching thread may do first, without the executor: when it
    // returns an outcome, that is the task's and the coroutine never runs; when it parks the task, the task
    // ends through the ParkedTask; otherwise the coroutine starts at once. It must leave to `run` whatever
    // it leaves unfinished.
    std::function<std::optional<Expected<Bytes>>(ParkedTask&)> at_launch;
};

// Wraps a coroutine factory as a Task that runs on `executor`.
Task make_task(asio::any_io_executor executor, std::function<asio::awaitable<Expected<Bytes>>()> run,
               std::function<std::optional<Expected<Bytes>>(ParkedTask&)> at_launch = {});

}  // namespace tarnel::runtime
