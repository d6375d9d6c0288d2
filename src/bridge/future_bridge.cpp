// spawn: the future is made on the caller's thread; the outcome reaches it through the loop's inbox,
// filled by whichever thread finished the call (as a rule the loop's own, running the link).
#include "bridge/future_bridge.hpp"

#include <memory>
#include <optional>
#include <utility>
#include <mutex>
#include <vector>

#include "bridge/callbacks.hpp"
#include "bridge/exceptions.hpp"
#include "bridge/failure_report.hpp"
#include "bridge/future_completion.hpp"
#include "bridge/interpreter_lock.hpp"
#include "bridge/loop_inbox.hpp"
#include "bridge/pending_call.hpp"
#include "bridge/python_names.hpp"
#include "bridge/running_loop.hpp"
#include "runtime/after_fork.hpp"
#include "ws/large_buffers.hpp"

namespace tarnel::bridge {

namespace {

py::object exception_for(runtime::TaskOutcome& outcome, const ResultBuilder& build, bool& is_exception) {
    is_exception = true;
    if (auto* error = std::get_if<EngineError>(&outcome)) return to_python(*error).value_object();
    if (auto* abnormal = std::get_if<runtime::Abnormal>(&outcome)) return panic_value(abnormal->message);
    auto value = build(std::move(std::get<Bytes>(outcome)));
    if (!value) return std::move(value.error()).value_object();
    is_exception = false;
    return std::move(*value);
}

// loop.call_soon_threadsafe(completor, future, future.set_result or set_exception, value); false, with the
// exception set, when that raises.
bool schedule_completion(PendingCall& call, bool is_exception, py::handle value) {
    auto completor = checked_completor();
    if (!completor) {
        std::move(completor.error()).restore();
        return false;
    }
    const PythonNames* names = python_names();
    if (names == nullptr) return false;
    py::object method = py::object::steal(
        PyObject_GetAttr(call.future.ptr(), is_exception ? names->set_exception : names->set_result));
    py::object schedule = method ? py::object::steal(PyObject_GetAttr(call.loop.ptr(), names->call_soon_threadsafe))
                                 : py::object();
    py::object args = schedule ? py::object::steal(PyTuple_Pack(4, completor->ptr(), call.future.ptr(), method.ptr(),
                                                                value.ptr()))
                               : py::object();
    py::object done = args ? py::object::steal(PyObject_Call(schedule.ptr(), args.ptr(), names->context_none))
                           : py::object();
    return static_cast<bool>(done);
}

// loop.is_closed(); a failure counts as "not closed".
bool loop_closed(PendingCall& call) {
    const PythonNames* names = python_names();
    py::object closed =
        py::object::steal(names ? PyObject_CallMethodObjArgs(call.loop.ptr(), names->is_closed, nullptr) : nullptr);
    if (!closed) {
        PyErr_Clear();
        return false;
    }
    return PyObject_IsTrue(closed.ptr()) == 1;
}

// Hands the outcome to the loop from a worker thread, with the interpreter lock held (the road of loops
// whose inbox has closed). A refusal is reported through sys.unraisablehook, and the call gets one more
// try, with a panic; except when its loop is closed: nothing will ever run a closed loop's callbacks, so
// its call's outcome is lost, reported as it always was.
void deliver(PendingCall& call, runtime::TaskOutcome& outcome) {
    if (call.released() || future_cancelled(call.future.ptr())) return;
    bool is_exception = false;
    py::object value = exception_for(outcome, call.build, is_exception);
    if (schedule_completion(call, is_exception, value)) return;
    const std::string failure = report_python_unraisable("a call's delivery");
    if (loop_closed(call)) return;
    py::object panic = panic_value("its delivery failed: " + failure);
    if (!schedule_completion(call, true, panic)) report_python_unraisable("a call's delivery, reporting a panic");
}

// Off the loop's thread: a delivery that throws is reported, and the call fails with a panic instead.
void deliver_or_panic(PendingCall& call, runtime::TaskOutcome& outcome) noexcept {
    std::string failure;
    try {
        deliver(call, outcome);
        return;
    } catch (...) {
        failure = report_unraisable("a call's delivery");
    }
    try {
        runtime::TaskOutcome panic = runtime::Abnormal{"its delivery failed: " + failure};
        deliver(call, panic);
    } catch (...) {
        report_unraisable("a call's delivery, reporting a panic");
    }
}

// On the loop's thread, after a delivery threw: the future, if still pending, gets TarnelPanic, once.
void panic_on_loop(PendingCall& call, const std::string& failure) noexcept {
    try {
        if (call.released() || future_cancelled(call.future.ptr())) return;
        py::object panic = panic_value("its delivery failed: " + failure);
        const PythonNames* names = python_names();
        py::object done = names == nullptr ? py::object()
                                           : py::object::steal(PyObject_CallMethodObjArgs(
                                                 call.future.ptr(), names->set_exception, panic.ptr(), nullptr));
        if (!done) report_python_unraisable("a call's delivery, reporting a panic");
    } catch (...) {
        report_unraisable("a call's delivery, reporting a panic");
    }
}

// Completes the future on its loop's thread (the inbox's callback): no hand-over, no lock to take.
void deliver_on_loop(LoopInbox::Delivery& delivery) {
    PendingCall& call = *delivery.call;
    try {
        if (!call.released() && !future_cancelled(call.future.ptr())) {
            bool is_exception = false;
            py::object value = exception_for(delivery.outcome, call.build, is_exception);
            complete_or_panic(call.future, is_exception, value);
        }
    } catch (...) {
        // One call that fails abnormally must not keep the others in the batch from completing; it fails
        // with a panic rather than leave its future pending.
        panic_on_loop(call, report_unraisable("a call's delivery"));
    }
    call.release_held();
    if (auto* payload = std::get_if<Bytes>(&delivery.outcome)) ws::give_back_large_buffer(std::move(*payload));
}

// The loop's registration ended with outcomes still queued: they take the road through
// call_soon_threadsafe, which reports the closed loop.
void deliver_after_close(LoopInbox::Delivery& delivery) {
    deliver_or_panic(*delivery.call, delivery.outcome);
    delivery.call->release_held();
}

// Outcomes waiting to be handed to loops whose inbox has closed (the road every outcome took before
// the inboxes), and whether a worker thread is handing them over.
//
// Taking the interpreter lock from a worker thread while the event loop's thread runs Python code means
// waiting for it, and every hand-over of the lock wakes a thread. When several calls complete at once (many
// engines), the first worker to finish becomes the one that delivers: it takes the lock once and hands
// every outcome waiting at that moment to its loop, one call_soon_threadsafe each as before; the others
// leave their outcome in the queue and go back to the network instead of queueing for the lock.
class Deliveries {
public:
    struct Job {
        std::shared_ptr<PendingCall> call;
        runtime::TaskOutcome outcome;
    };

    void submit(Job job) {
        {
            std::lock_guard hold(mutex_);
            waiting_.push_back(std::move(job));
            if (delivering_) return;
            delivering_ = true;
        }
        std::vector<Job> batch;
        for (;;) {
            {
                std::lock_guard hold(mutex_);
                batch.swap(waiting_);
                if (batch.empty()) {
                    delivering_ = false;
                    return;
                }
            }
            deliver_all(batch);
            // Without the lock: a large payload is kept for the next large message, the rest is freed.
            for (Job& job : batch) {
                if (auto* payload = std::get_if<Bytes>(&job.outcome)) ws::give_back_large_buffer(std::move(*payload));
            }
            batch.clear();
        }
    }

private:
    static void deliver_all(std::vector<Job>& batch) {
        auto lock = InterpreterLock::acquire(/*from_worker=*/true);
        if (!lock) return;  // the interpreter is exiting: outcomes are dropped, references left alone
        for (Job& job : batch) {
            // One outcome that fails abnormally must not keep the others, or this queue, from moving.
            deliver_or_panic(*job.call, job.outcome);
            job.call->release_held();  // the lock is taken once per batch, not again for the references
        }
    }

    std::mutex mutex_;
    std::vector<Job> waiting_;
    bool delivering_ = false;
};

// Lives for the life of the process: worker threads are never joined and may deliver while it exits. A
// child made by fork() gets a new one: a worker of the parent may have been delivering at that moment.
Deliveries* g_deliveries = [] {
    runtime::after_fork_in_child([] { g_deliveries = new Deliveries(); });
    return new Deliveries();
}();

Deliveries& deliveries() { return *g_deliveries; }

}  // namespace

py::Result<py::object> none_result(Bytes&&) { return py::object::none(); }


py::Result<py::object> done_future(py::handle value, py::handle exception) {
    const PythonNames* names = python_names();
    if (names == nullptr) return py::fetched();
    auto loop = running_loop(*names);
    if (!loop) return py::fail(std::move(loop.error()));
    auto future = py::checked(PyObject_CallMethodObjArgs(loop->ptr(), names->create_future, nullptr));
    if (!future) return py::fail(std::move(future.error()));
    PyObject* method = exception ? names->set_exception : names->set_result;
    auto set = py::checked(
        PyObject_CallMethodObjArgs(future->ptr(), method, exception ? exception.ptr() : value.ptr(), nullptr));
    if (!set) return py::fail(std::move(set.error()));
    return std::move(*future);
}

namespace {

// A call whose answer came while it was being made (pinned to the page's CPU, the page answers during the
// write) is completed before its future is returned: no hand-over through the inbox, no extra pass of the
// loop. `awaited` on such a future does not yield, so at most this many in a row per loop are, and then one
// goes the usual way, which lets the loop come round to its other tasks.
constexpr int kInlineCompletionsInARow = 16;

// The call being made on this thread, and the outcome it finished with, if it did so while being made.
struct CallBeingMade {
    const PendingCall* call;
    std::optional<runtime::TaskOutcome> outcome;
};
thread_local CallBeingMade* t_being_made = nullptr;

class MakingCall {
public:
    explicit MakingCall(CallBeingMade& made) : outer_(std::exchange(t_being_made, &made)) {}
    ~MakingCall() { t_being_made = outer_; }
    MakingCall(const MakingCall&) = delete;
    MakingCall& operator=(const MakingCall&) = delete;

private:
    CallBeingMade* outer_;
};

// Where a finished call's outcome goes: its loop's inbox, or the workers' road once that has closed.
void hand_over(const std::shared_ptr<PendingCall>& call, runtime::TaskOutcome outcome) {
    LoopInbox::Delivery delivery{call, std::move(outcome)};
    if (call->inbox->post(std::move(delivery))) return;
    deliveries().submit(Deliveries::Job{std::move(delivery.call), std::move(delivery.outcome)});
}

// The answer of a call that finished while it was made, completed here if it is a payload (its result,
// or the error of a payload that fails its checks) and the loop's run of such completions allows. True
// when the future is done.
bool completed_at_once(PendingCall& call, runtime::TaskOutcome& outcome) {
    auto* payload = std::get_if<Bytes>(&outcome);
    if (payload == nullptr || call.inbox->inline_completions_in_a_row >= kInlineCompletionsInARow) return false;
    ++call.inbox->inline_completions_in_a_row;
    auto value = call.build(std::move(*payload));
    if (value) {
        complete_or_panic(call.future, false, *value);
    } else {
        complete_or_panic(call.future, true, std::move(value.error()).value_object());
    }
    call.release_held();
    ws::give_back_large_buffer(std::move(*payload));
    return true;
}

}  // namespace

py::Result<py::object> spawn(const std::function<runtime::Task()>& make_task, ResultBuilder build) {
    const PythonNames* names = python_names();
    if (names == nullptr) return py::fetched();
    auto loop = running_loop(*names);
    if (!loop) return py::fail(std::move(loop.error()));
    auto future = py::checked(PyObject_CallMethodObjArgs(loop->ptr(), names->create_future, nullptr));
    if (!future) return py::fail(std::move(future.error()));
    auto inbox = inbox_for(*loop, deliver_on_loop, deliver_after_close);
    if (!inbox) return py::fail(std::move(inbox.error()));

    auto relay = std::make_shared<CancelRelay>();
    auto call = std::make_shared<PendingCall>();
    call->inbox = std::move(*inbox);
    call->relay = relay;
    call->loop = std::move(*loop);
    call->future = *future;
    call->build = std::move(build);
    call->inbox->track(*call);
    CallBeingMade made{call.get(), std::nullopt};
    {
        RunningLinkWithLock running_link;  // the call starts on this thread, up to its first wait
        MakingCall making(made);
        relay->attach(runtime::launch(make_task(), [call](runtime::TaskOutcome outcome) {
            if (t_being_made != nullptr && t_being_made->call == call.get()) {
                t_being_made->outcome = std::move(outcome);
                return;
            }
            hand_over(call, std::move(outcome));
        }));
    }
    if (made.outcome) {
        if (completed_at_once(*call, *made.outcome)) return std::move(*future);
        hand_over(call, std::move(*made.outcome));
    }
    // Only a future that may still be pending needs its cancellation forwarded.
    auto callback = make_done_callback(relay);
    if (!callback) {
        relay->request();
        return py::fail(std::move(callback.error()));
    }
    auto added =
        py::checked(PyObject_CallMethodObjArgs(future->ptr(), names->add_done_callback, callback->ptr(), nullptr));
    if (!added) {
        relay->request();
        return py::fail(std::move(added.error()));
    }
    return std::move(*future);
}

}  // namespace tarnel::bridge
