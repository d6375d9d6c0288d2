// A call waiting for its answer outside the link's handler queue: parking, the reads on readiness, the
// deadline, cancellation and closing.
#include "ws/direct_wait.hpp"

#include <boost/asio/post.hpp>
#include <chrono>
#include <mutex>

#include "runtime/failure_report.hpp"

namespace tarnel::ws {

namespace {

constexpr std::string_view kTimeoutText = "timeout waiting response";
// A call with less time than this left waits in its coroutine, whose receive allows for an answer that has
// arrived just at the deadline.
constexpr auto kShortestDirectWait = std::chrono::milliseconds(100);

void arm_deadline(const std::shared_ptr<SharedRecords>& records, std::chrono::steady_clock::time_point at) {
    // Weakly: an engine dropped with a long time-out pending is not kept until the timer fires.
    records->direct_lane.arm_deadline(records->strand(), at, [weak = std::weak_ptr<SharedRecords>(records), at] {
        auto records = weak.lock();
        if (!records || !records->direct_lane.deadline_fired(at)) return;
        std::shared_ptr<DirectWait> waiter;
        {
            auto lane = records->direct_lane.hold();
            waiter = records->direct_lane.waiter(lane);
        }
        if (waiter) waiter->deadline_reached();
    });
}

}  // namespace

bool DirectWait::park(const std::shared_ptr<SharedRecords>& records, std::optional<DirectStart>& start,
                      std::uint16_t fn_id, runtime::ParkedTask& task, HandToCoroutine hand_to_coroutine) {
    // A read at the call that found something other than its answer gave it back: the coroutine takes it.
    if (!start || !start->unsent.empty() || !start->deadline || !start->connection->idle()) return false;
    // While answers come during the writes (the page on this CPU), the odd one that comes late is left to the
    // coroutine: its first steps give the page the moment it needs, and the call still ends while it is made.
    if (!start->connection->answers_come_late()) return false;
    const auto deadline = *start->deadline;
    if (deadline - std::chrono::steady_clock::now() < kShortestDirectWait) return false;
    auto waiter = std::make_shared<DirectWait>(records, std::move(*start), fn_id, task, std::move(hand_to_coroutine));
    {
        // Goes after the lane's lock is let go, and looks at the socket again then (runtime/link.hpp).
        runtime::ReadinessRegistration registered;
        auto lane = records->direct_lane.hold();
        if (!records->closed) registered = runtime::add_readiness_waiter(waiter);
        if (!registered) {
            start = std::move(waiter->start_);
            return false;
        }
        records->direct_lane.waiter(lane) = waiter;
        task.park([weak = std::weak_ptr<DirectWait>(waiter)] {
            auto alive = weak.lock();
            return alive && alive->abandon();
        });
    }
    // An earlier deadline (the first call, or a shorter time-out) needs the timer armed; a later one does
    // not: the armed timer fires first and is armed again then.
    if (records->direct_lane.deadline_needs_arming(deadline)) {
        asio::post(records->strand(), [records, deadline] { arm_deadline(records, deadline); });
    }
    return true;
}

DirectWait::DirectWait(std::shared_ptr<SharedRecords> records, DirectStart start, std::uint16_t fn_id,
                       runtime::ParkedTask task, HandToCoroutine hand_to_coroutine)
    : records_(std::move(records)),
      start_(std::move(start)),
      fn_id_(fn_id),
      task_(std::move(task)),
      hand_to_coroutine_(std::move(hand_to_coroutine)) {}

void DirectWait::end_locked(const DirectLane::Hold& lane) {
    ended_ = true;
    auto& waiting = records_->direct_lane.waiter(lane);
    if (waiting.get() == this) waiting.reset();
    start_.slot_guard.unlock();
}

// What the socket brought is not simply the answer: the call goes on in its coroutine, which receives
// through the WebSocket layer (given back what was read here first).
void DirectWait::hand_over_locked(const DirectLane::Hold& lane) {
    ended_ = true;
    auto& waiting = records_->direct_lane.waiter(lane);
    if (waiting.get() == this) waiting.reset();
    runtime::remove_readiness_waiter(this);
    hand_to_coroutine_(std::move(start_));
}

bool DirectWait::try_finish() noexcept {
    std::optional<Expected<Bytes>> outcome;
    try {
        auto lane = records_->direct_lane.hold();
        if (ended_) return false;
        if (records_->closed) return false;  // the closing ends it
        auto answer = start_.connection->read_directly(lane, start_.seq, fn_id_);
        if (!answer) {
            if (!start_.connection->found_nothing()) hand_over_locked(lane);
            return false;
        }
        end_locked(lane);
        outcome.emplace(std::move(answer->payload));
    } catch (...) {
        fail_locked_out();
        return true;
    }
    task_.finish(std::move(*outcome));
    return true;
}

// An exception (no memory) while the socket was read: what was read may be lost, so the connection goes,
// and the call fails with a panic rather than wait for its deadline.
void DirectWait::fail_locked_out() noexcept {
    runtime::report_caught("a direct read");
    const std::exception_ptr failure = std::current_exception();
    try {
        auto lane = records_->direct_lane.hold();
        if (ended_) return;
        start_.connection->discard_from_outside();
        end_locked(lane);
    } catch (...) {
        return;
    }
    task_.fail(failure);
}

bool DirectWait::abandon() {
    auto lane = records_->direct_lane.hold();
    if (ended_) return false;
    // Under the slot lock, which this call still holds: its late answer is skipped by the next call.
    start_.connection->remember_abandoned(start_.seq, fn_id_);
    end_locked(lane);
    runtime::remove_readiness_waiter(this);
    return true;
}

void DirectWait::deadline_reached() {
    std::optional<Expected<Bytes>> outcome;
    {
        auto lane = records_->direct_lane.hold();
        if (ended_) return;
        const auto deadline = *start_.deadline;
        if (std::chrono::steady_clock::now() < deadline) {
            arm_deadline(records_, deadline);
            return;
        }
        // An answer that has arrived is still taken.
        auto answer = start_.connection->read_directly(lane, start_.seq, fn_id_);
        if (!answer && !start_.connection->found_nothing()) return hand_over_locked(lane);
        if (answer) {
            outcome.emplace(std::move(answer->payload));
        } else {
            start_.connection->discard();
            if (records_->slot == start_.connection) records_->slot.reset();
            outcome.emplace(std::unexpected(EngineError::transport(start_.seq, fn_id_, std::string(kTimeoutText))));
        }
        end_locked(lane);
        runtime::remove_readiness_waiter(this);
    }
    task_.finish(std::move(*outcome));
}

void DirectWait::engine_closed() {
    {
        auto lane = records_->direct_lane.hold();
        if (ended_) return;
        end_locked(lane);
        runtime::remove_readiness_waiter(this);
    }
    task_.finish(std::unexpected(EngineError::transport(start_.seq, fn_id_, std::string(kEngineClosed))));
}

}  // namespace tarnel::ws
