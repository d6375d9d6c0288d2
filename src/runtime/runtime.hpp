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

struct TaskBody {
    // Where the coroutine runs, and where cancellation is delivered: the strand of the engine whose
    // state the task touches (an executor of context()).
    asio::any_io_executor executor;
    std::function<asio::awaitable<Expected<Bytes>>()> run;
    // For a task on the link, work the launching thread may do first, without the executor: when it
    // returns an outcome, that is the task's and the coroutine never runs; otherwise the coroutine starts
    // at once. It must leave to `run` whatever it leaves unfinished. An exception it throws ends the task
    // as one out of the coroutine would.
    std::function<std::optional<Expected<Bytes>>()> at_launch;
};

// Wraps a coroutine factory as a Task that runs on `executor`.
Task make_task(asio::any_io_executor executor, std::function<asio::awaitable<Expected<Bytes>>()> run,
               std::function<std::optional<Expected<Bytes>>()> at_launch = {});

}  // namespace tarnel::runtime
