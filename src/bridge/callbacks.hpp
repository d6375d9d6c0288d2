// The two callables the bridge gives to asyncio: the future's done callback and the completor.
#pragma once

#include <memory>
#include <mutex>

#include "module/py_error.hpp"
#include "runtime/task.hpp"

namespace tarnel::bridge {

// The sending side of a call's cancel signal. The done callback may fire before the task has started
// (the handle is attached afterwards), so a request is remembered until there is a task to cancel.
class CancelRelay {
public:
    void attach(runtime::CancelHandle handle);
    // `run_link_here`: see runtime::CancelHandle::cancel.
    void request(bool run_link_here = true);

private:
    std::mutex mutex_;
    bool requested_ = false;
    bool attached_ = false;
    bool run_link_here_ = true;
    runtime::CancelHandle handle_;
};

// PyDoneCallback(future): when the future was cancelled, sends the cancel signal (at most once).
py::Result<py::object> make_done_callback(std::shared_ptr<CancelRelay> relay);

// The shared CheckedCompletor(future, method, value): calls method(value) unless the future was cancelled;
// when that raises, the call fails with TarnelPanic instead (see future_completion.hpp).
// Borrowed; lives for the life of the process.
py::Result<py::handle> checked_completor();

}  // namespace tarnel::bridge
