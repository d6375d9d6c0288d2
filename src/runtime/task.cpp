// Launching background tasks on their strands, and cancelling them from any thread.
#include "runtime/task.hpp"

#include <atomic>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <exception>
#include <optional>
#include <stdexcept>

#include "runtime/failure_report.hpp"
#include "runtime/link.hpp"
#include "runtime/link_executor.hpp"
#include "runtime/runtime.hpp"

namespace tarnel::runtime {

// Shared by a task's CancelHandle and its completion. Everything but `requested` and `finished` is
// touched only on the task's strand: Asio cancellation signals are not thread-safe,
// so cancel() posts the emit there.
struct CancelState {
    explicit CancelState(asio::any_io_executor s) : strand(std::move(s)) {}

    asio::any_io_executor strand;
    asio::cancellation_signal signal;
    std::atomic<bool> requested{false};
    bool cancelled = false;             // terminal cancellation was emitted into the running task
    std::atomic<bool> finished{false};  // the task has reported its outcome (or its coroutine ended)
};

Task::Task(std::unique_ptr<TaskBody> body) : body_(std::move(body)) {}
Task::Task(Task&&) noexcept = default;
Task& Task::operator=(Task&&) noexcept = default;
Task::~Task() = default;
std::unique_ptr<TaskBody> Task::release() { return std::move(body_); }

Task make_task(asio::any_io_executor executor, std::function<asio::awaitable<Expected<Bytes>>()> run,
               std::function<std::optional<Expected<Bytes>>()> at_launch) {
    return Task(std::make_unique<TaskBody>(TaskBody{std::move(executor), std::move(run), std::move(at_launch)}));
}

void CancelHandle::cancel(bool run_link_here) const {
    if (!state_ || state_->requested.exchange(true)) return;
    const bool run_here = runs_on_link(state_->strand) && run_link_here;
    {
        std::optional<RunningLinkSoon> soon;
        if (run_here) soon.emplace();
        asio::post(state_->strand, [state = state_] {
            // A task that has ended has nothing left to cancel, and its slot may no longer be listened to.
            if (state->finished) return;
            state->cancelled = true;
            state->signal.emit(asio::cancellation_type::terminal);
        });
    }
    // The cancelling thread (the event loop's, as a rule) runs the link itself: no other thread wakes.
    if (run_here) run_ready_link_work(/*yield_to_large_transfers=*/true);
}

namespace {

// The body is owned by this frame, so whatever its coroutine factory captured lives as long as the task.
asio::awaitable<Expected<Bytes>> run_body(std::shared_ptr<TaskBody> body) {
    if (!body || !body->run) throw std::logic_error("task has no body");
    co_return co_await body->run();
}

std::string describe(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        const char* text = e.what();
        return text ? text : "";
    } catch (...) {
        return {};
    }
}

// A completion that throws is reported, and called once more with a panic, so that the call does not wait
// for ever: its first outcome may be lost, the call is not. An exception escaping here would unwind out of
// the thread's run of the link or of the runtime.
void deliver(const Completion& on_done, TaskOutcome outcome) noexcept {
    if (!on_done) return;
    std::string failure;
    try {
        on_done(std::move(outcome));
        return;
    } catch (...) {
        report_caught("a call's completion");
        failure = describe_failure(std::current_exception());
    }
    try {
        on_done(Abnormal{"its completion failed: " + failure});
    } catch (...) {
        report_caught("a call's completion, reporting a panic");
    }
}

}  // namespace

CancelHandle launch(Task task, Completion on_done) {
    std::shared_ptr<TaskBody> body = task.release();
    // The body's executor must be a strand (or otherwise run one handler at a time): the coroutine, its
    // completion and the cancellation emit all run there. A body without one gets a strand of its own.
    asio::any_io_executor strand = body && body->executor ? body->executor : asio::make_strand(context());
    auto state = std::make_shared<CancelState>(std::move(strand));
    // Without an executor of its own the completion runs on the task's strand, after the coroutine.
    auto finish = [state, on_done = std::move(on_done)](std::exception_ptr failure, Expected<Bytes> result) {
        state->finished = true;
        if (failure) {
            // Unwinding after our own terminal cancellation is the abandonment: nothing is reported.
            if (state->cancelled) return;
            deliver(on_done, Abnormal{describe(failure)});
        } else if (result) {
            deliver(on_done, TaskOutcome(std::in_place_type<Bytes>, std::move(*result)));
        } else {
            deliver(on_done, TaskOutcome(std::in_place_type<EngineError>, std::move(result.error())));
        }
    };
    // A task on the link starts on the launching thread, up to its first wait: a call's request goes out
    // before launch() returns, and no other thread wakes for it.
    const bool start_here = runs_on_link(state->strand);
    if (start_here && body && body->at_launch) {
        std::optional<Expected<Bytes>> outcome;
        try {
            outcome = body->at_launch();
        } catch (...) {
            // Ends the task as an exception out of its coroutine would: a panic on the call, not a failure
            // of launch() itself.
            finish(std::current_exception(), Expected<Bytes>());
            return CancelHandle(std::move(state));
        }
        if (outcome) {
            finish(nullptr, std::move(*outcome));
            return CancelHandle(std::move(state));
        }
    }
    {
        std::optional<RunningLinkSoon> soon;
        if (start_here) soon.emplace();
        asio::co_spawn(state->strand, run_body(body),
                       asio::bind_cancellation_slot(state->signal.slot(), std::move(finish)));
    }
    if (start_here) run_ready_link_work(/*yield_to_large_transfers=*/true);
    return CancelHandle(std::move(state));
}

}  // namespace tarnel::runtime
