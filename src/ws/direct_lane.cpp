// The direct lane's lock, with its owner checked in debug builds.
#include "ws/direct_lane.hpp"

#include <cstdio>
#include <cstdlib>

namespace tarnel::ws {

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

}  // namespace tarnel::ws
