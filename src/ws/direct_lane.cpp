// The direct lane's lock, with its owner checked in debug builds, and the waiting call's deadline timer.
#include "ws/direct_lane.hpp"

#include <cstdio>
#include <cstdlib>

namespace tarnel::ws {

namespace {

std::int64_t ticks(std::chrono::steady_clock::time_point at) { return at.time_since_epoch().count(); }

}  // namespace

void DirectLane::lock_for([[maybe_unused]] std::thread::id thread) {
#ifndef NDEBUG
    owner_.store(thread);
#endif
}

DirectLane::Hold DirectLane::hold() {
    mutex_.lock();
    lock_for(std::this_thread::get_id());
    return Hold(this);
}

DirectLane::Hold DirectLane::try_hold() {
    if (!mutex_.try_lock()) return Hold();
    lock_for(std::this_thread::get_id());
    return Hold(this);
}

void DirectLane::Hold::unlock() {
    DirectLane* lane = std::exchange(lane_, nullptr);
    if (lane == nullptr) return;
    lane->lock_for(std::thread::id());
    lane->mutex_.unlock();
}

void DirectLane::Hold::check() const {
#ifndef NDEBUG
    if (lane_ == nullptr || lane_->owner_.load() != std::this_thread::get_id()) {
        std::fputs("py_engine_tarnel: the direct lane was used without its lock\n", stderr);
        std::abort();
    }
#endif
}

std::shared_ptr<DirectWait>& DirectLane::waiter(const Hold& hold) {
    hold.check();
    if (hold.lane_ != this) std::abort();  // another engine's lane: a plain bug
    return waiter_;
}

bool DirectLane::deadline_needs_arming(std::chrono::steady_clock::time_point at) const {
    const std::int64_t armed = timer_until_.load();
    return armed == 0 || armed > ticks(at);
}

void DirectLane::arm_deadline(const boost::asio::any_io_executor& strand, std::chrono::steady_clock::time_point at,
                              std::function<void()> fired) {
    if (!deadline_needs_arming(at)) return;
    if (!timer_) timer_.emplace(strand);
    timer_until_.store(ticks(at));
    timer_->expires_at(at);  // a pending wait for a later expiry ends with operation_aborted
    // `fired` holds the engine weakly (an engine dropped with a long time-out pending is not kept until the
    // timer fires) and calls deadline_fired() once it knows the lane is alive.
    timer_->async_wait([fired = std::move(fired)](boost::system::error_code ec) {
        if (!ec) fired();
    });
}

bool DirectLane::deadline_fired(std::chrono::steady_clock::time_point at) {
    if (timer_until_.load() != ticks(at)) return false;  // armed for an earlier deadline since
    timer_until_.store(0);
    return true;
}

}  // namespace tarnel::ws
