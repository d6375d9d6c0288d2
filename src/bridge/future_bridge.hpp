// Turns a background task into an asyncio future: creation, completion across threads, cancellation.
#pragma once

#include <functional>

#include "codec/payload_codec.hpp"
#include "module/py_error.hpp"
#include "runtime/task.hpp"

namespace tarnel::bridge {

// Builds the Python result from a task's payload. Runs on the awaiting loop's thread (on a worker, when
// the loop was closed first) with the interpreter lock held;
// a failure (for example a payload that fails its checks) becomes the future's exception.
using ResultBuilder = std::function<py::Result<py::object>(Bytes&& payload)>;

// In the calling thread, with the interpreter lock held: finds the running event loop, creates the future,
// makes the task and starts it (a call's request goes out before this returns), and returns the future.
// A call whose answer arrived while it was being made gets a future that is already done (at most 16 in a
// row per loop, so that a task awaiting them still yields); `cancel()` on it returns False, as on any
// finished future. Otherwise the future is pending, with a done callback that forwards its cancellation.
// Fails (and makes and starts nothing: not even the runtime's threads) when there is no running loop.
py::Result<py::object> spawn(const std::function<runtime::Task()>& make_task, ResultBuilder build);

// A future of the running loop that is already done: with `value`, or with `exception` when it is given.
// For outcomes known at the call, which need no background work. Fails when there is no running loop.
py::Result<py::object> done_future(py::handle value, py::handle exception = py::handle());

// A builder for tasks whose result is None.
py::Result<py::object> none_result(Bytes&& payload);

}  // namespace tarnel::bridge
