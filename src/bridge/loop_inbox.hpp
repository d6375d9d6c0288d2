// Where worker threads leave finished calls for the event loop that awaits them: one inbox per loop.
//
// A worker that finished a call must not need the interpreter lock to hand the outcome over: taking it
// from a worker while the loop's thread runs Python means waiting, and every hand-over of the lock wakes
// a thread. So the worker only queues the outcome and, when the queue was empty, writes the inbox's
// eventfd. The loop watches that eventfd (loop.add_reader, one registration per loop); the callback runs
// on the loop's thread, which already holds the lock, builds the results and completes the futures
// directly.
//
// The loop also watches the link's readiness descriptor (see runtime/link.hpp): the link's reads, writes
// and time limits then run on the loop's thread, and calls they finish are completed right after, without
// the eventfd.
//
// The registration ends with the loop: closing a loop closes its selector, which drops the callback
// object, and dropping it closes the inbox. Outcomes that arrive after that take the old road
// (call_soon_threadsafe from the worker), which reports the closed loop as before.
//
// A loop dropped without being closed, while calls are in flight, becomes garbage like any other: the
// inbox lists the loop's calls, whose references the inbox's reader reports to the cyclic garbage
// collector, and when the loop is collected its calls are abandoned as cancelled calls are (abandon()).
#pragma once

#include <memory>
#include <mutex>

#include "module/py_error.hpp"
#include "runtime/after_fork.hpp"
#include "runtime/eventfd_queue.hpp"
#include "runtime/task.hpp"

namespace tarnel::bridge {

struct PendingCall;

class LoopInbox {
public:
    struct Delivery {
        std::shared_ptr<PendingCall> call;
        runtime::TaskOutcome outcome;
    };
    // Completes one call with the interpreter lock held.
    using Deliver = void (*)(Delivery&);

    LoopInbox(std::unique_ptr<runtime::EventfdQueue<Delivery>> queue, Deliver on_loop, Deliver after_close)
        : queue_(std::move(queue)), on_loop_(on_loop), after_close_(after_close),
          generation_(runtime::process_generation()) {}

    // From any thread, without the interpreter lock. False once the loop's registration has ended: the
    // caller then hands the outcome over another way.
    bool post(Delivery&& delivery);

    // The loop's callback: everything queued so far, completed on the loop's thread. `reset`: see
    // EventfdQueue::take.
    void drain(bool reset = true) {
        inline_completions_in_a_row = 0;  // the loop has come round: its tasks had their turn
        for (Delivery& delivery : queue_->take(reset)) on_loop_(delivery);
    }

    // The registration ended (its callback object is gone); what is still queued is handed to
    // `after_close`, with the interpreter lock held.
    void close() {
        for (Delivery& delivery : queue_->close()) after_close_(delivery);
    }

    int eventfd() const { return queue_->fd(); }

    // The calls made on this loop that still hold Python references. With the interpreter lock held.
    void track(PendingCall& call);
    void untrack(PendingCall& call);
    // Reports the references of the listed calls (a tp_traverse of the loop's inbox reader).
    int visit_calls(visitproc visit, void* arg);
    // The loop became garbage: the inbox closes, what it holds is dropped silently, and every listed call is
    // cancelled (its late answer is skipped, as a cancelled call's is) and lets go of its references. With
    // the interpreter lock held; idempotent.
    void abandon();

    // The loop stopped watching the link while a large message moves (see runtime/link.hpp) and watches
    // it again once that is over. Touched on the loop's thread only.
    bool link_watch_suspended = false;
    // Calls completed while they were made (see spawn) since the loop last came round to its readers.
    // Touched on the loop's thread only.
    int inline_completions_in_a_row = 0;
    bool closed() const { return queue_->closed(); }

private:
    std::unique_ptr<runtime::EventfdQueue<Delivery>> queue_;
    Deliver on_loop_;
    Deliver after_close_;
    unsigned generation_;     // of the process that made it (a forked child leaves it alone)
    std::mutex calls_mutex_;  // the call list may be left without the interpreter lock as the process exits
    PendingCall* first_call_ = nullptr;
};

// The inbox of `loop` (the running loop of the calling thread), registered with loop.add_reader on first
// use. The interpreter lock must be held.
py::Result<std::shared_ptr<LoopInbox>> inbox_for(py::handle loop, LoopInbox::Deliver on_loop,
                                                 LoopInbox::Deliver after_close);

}  // namespace tarnel::bridge
