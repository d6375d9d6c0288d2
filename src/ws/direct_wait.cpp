// A call waiting for its answer outside the link's handler queue: parking, the reads on readiness, the
// deadline, cancellation and closing.
#include "ws/direct_wait.hpp"

#include <boost/asio/post.hpp>
#include <chrono>
#include <mutex>

namespace tarnel::ws {

namespace {

constexpr std::string_view kTimeoutText = "timeout waiting response";
// A call with less time than this left waits in its coroutine, whose receive allows for an answer that has
// arrived just at the deadline.
constexpr auto kShortestDirectWait = std::chrono::milliseconds(100);

std::int64_t ticks(std::chrono::steady_clock::time_point at) { return at.time_since_epoch().count(); }

// On the strand: the timer's pending wait ends at the earliest deadline it was armed for; when it fires,
// the waiting call (if any) ends or has the timer armed again for its own deadline.
void watch_direct_deadline(const std::shared_ptr<SharedRecords>& records) {
    std::shared_ptr<DirectWait> waiter;
    {
        std::lock_guard lane(records->direct_lane);
        waiter = records->direct_waiter;
    }
    if (!waiter) return;
    waiter->deadline_reached();
}

void arm_direct_timer(const std::shared_ptr<SharedRecords>& records, std::chrono::steady_clock::time_point at) {
    const std::int64_t armed = records->direct_timer_until.load();
    if (armed != 0 && armed <= ticks(at)) return;
    if (!records->direct_timer) records->direct_timer.emplace(records->strand());
    records->direct_timer_until.store(ticks(at));
    records->direct_timer->expires_at(at);  // a pending wait for a later expiry ends with operation_aborted
    // Weakly: an engine dropped with a long time-out pending is not kept until the timer fires.
    records->direct_timer->async_wait([weak = std::weak_ptr<SharedRecords>(records), at](boost::system::error_code ec) {
        auto records = weak.lock();
        if (ec || !records || records->direct_timer_until.load() != ticks(at)) return;
        records->direct_timer_until.store(0);
        watch_direct_deadline(records);
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
        // Goes after the lane lock is let go, and looks at the socket again then (runtime/link.hpp).
        runtime::ReadinessRegistration registered;
        std::lock_guard lane(records->direct_lane);
        if (!records->closed) registered = runtime::add_readiness_waiter(waiter);
        if (!registered) {
            start = std::move(waiter->start_);
            return false;
        }
        records->direct_waiter = waiter;
        task.park([weak = std::weak_ptr<DirectWait>(waiter)] {
            auto alive = weak.lock();
            return alive && alive->abandon();
        });
    }
    // An earlier deadline (the first call, or a shorter time-out) needs the timer armed; a later one does
    // not: the armed timer fires first and is armed again then.
    const std::int64_t armed = records->direct_timer_until.load();
    if (armed == 0 || armed > ticks(deadline)) {
        asio::post(records->strand(), [records, deadline] { arm_direct_timer(records, deadline); });
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

void DirectWait::end_locked() {
    ended_ = true;
    if (records_->direct_waiter.get() == this) records_->direct_waiter.reset();
    start_.slot_guard.unlock();
}

// What the socket brought is not simply the answer: the call goes on in its coroutine, which receives
// through the WebSocket layer (given back what was read here first).
void DirectWait::hand_over_locked() {
    ended_ = true;
    if (records_->direct_waiter.get() == this) records_->direct_waiter.reset();
    runtime::remove_readiness_waiter(this);
    hand_to_coroutine_(std::move(start_));
}

bool DirectWait::try_finish() noexcept {
    std::optional<Expected<Bytes>> outcome;
    try {
        std::lock_guard lane(records_->direct_lane);
        if (ended_) return false;
        if (records_->closed) return false;  // the closing ends it
        auto answer = start_.connection->read_directly(start_.seq, fn_id_);
        if (!answer) {
            if (!start_.connection->found_nothing()) hand_over_locked();
            return false;
        }
        end_locked();
        outcome.emplace(std::move(answer->payload));
    } catch (...) {
        return false;  // nothing was read (an allocation failed): the deadline ends the call
    }
    task_.finish(std::move(*outcome));
    return true;
}

bool DirectWait::abandon() {
    std::lock_guard lane(records_->direct_lane);
    if (ended_) return false;
    // Under the slot lock, which this call still holds: its late answer is skipped by the next call.
    start_.connection->remember_abandoned(start_.seq, fn_id_);
    end_locked();
    runtime::remove_readiness_waiter(this);
    return true;
}

void DirectWait::deadline_reached() {
    std::optional<Expected<Bytes>> outcome;
    {
        std::lock_guard lane(records_->direct_lane);
        if (ended_) return;
        const auto deadline = *start_.deadline;
        if (std::chrono::steady_clock::now() < deadline) {
            arm_direct_timer(records_, deadline);
            return;
        }
        // An answer that has arrived is still taken.
        auto answer = start_.connection->read_directly(start_.seq, fn_id_);
        if (!answer && !start_.connection->found_nothing()) return hand_over_locked();
        if (answer) {
            outcome.emplace(std::move(answer->payload));
        } else {
            start_.connection->discard();
            if (records_->slot == start_.connection) records_->slot.reset();
            outcome.emplace(Unexpected<EngineError>(EngineError::transport(start_.seq, fn_id_, std::string(kTimeoutText))));
        }
        end_locked();
        runtime::remove_readiness_waiter(this);
    }
    task_.finish(std::move(*outcome));
}

void DirectWait::engine_closed() {
    {
        std::lock_guard lane(records_->direct_lane);
        if (ended_) return;
        end_locked();
        runtime::remove_readiness_waiter(this);
    }
    task_.finish(Unexpected<EngineError>(EngineError::transport(start_.seq, fn_id_, std::string(kEngineClosed))));
}

}  // namespace tarnel::ws
