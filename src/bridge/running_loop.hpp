// The running event loop of the calling thread.
#pragma once

#include "bridge/python_names.hpp"
#include "module/py_error.hpp"

namespace tarnel::bridge {

// asyncio.get_running_loop(), whose RuntimeError for a thread without a running loop propagates. The
// interpreter lock must be held.
py::Result<py::object> running_loop(const PythonNames& names);

}  // namespace tarnel::bridge
