// A call whose request went out directly and whose answer has not come yet, waiting for it outside the
// link's handler queue: the readiness of the link wakes the event loop, which reads the answer straight
// from the socket (runtime::ReadinessWaiter). No coroutine runs for such a call, no handler is queued and
// the link's reactor is not polled, which is what a call costs in system calls beyond its send and
// receive.
//
// The call holds its engine's slot lock throughout, as any call does while it waits for its answer. It
// ends here when its answer is read (or read at its deadline), when its deadline passes, when it is
// cancelled (its request is then remembered, so that its late answer is skipped) or when its engine closes.
// Anything else the socket brings (a ping, a text message, a frame cut short) is given back to the
// WebSocket layer, and the call continues in its coroutine as any other.
//
// Everything here is guarded by the engine's direct lane's lock (ws/direct_lane.hpp); the call's outcome is
// reported after that lock is let go.
#pragma once

#include <functional>
#include <memory>

#include "runtime/link.hpp"
#include "runtime/runtime.hpp"
#include "ws/connection.hpp"
#include "ws/shared_records.hpp"

namespace tarnel::ws {

// A request written directly (see Connection::idle()) whose answer was not there yet: what the call hands
// to whoever finishes it (a DirectWait, or its coroutine), with the slot lock.
struct DirectStart {
    runtime::AsyncMutex::Guard slot_guard;
    std::shared_ptr<Connection> connection;
    std::uint32_t seq;
    Bytes unsent;       // the end of the frame, which the socket did not take at once
    Deadline deadline;  // of the call's wait for its answer
};

class DirectWait : public runtime::ReadinessWaiter, public std::enable_shared_from_this<DirectWait> {
public:
    using HandToCoroutine = std::function<void(DirectStart)>;

    // Waits here if it can: the request was written whole, the call has a deadline far enough off, and no
    // other call waits so. Otherwise `start` is left as it was, for the coroutine.
    static bool park(const std::shared_ptr<SharedRecords>& records, std::optional<DirectStart>& start,
                     std::uint16_t fn_id, runtime::ParkedTask& task, HandToCoroutine hand_to_coroutine);

    DirectWait(std::shared_ptr<SharedRecords> records, DirectStart start, std::uint16_t fn_id,
               runtime::ParkedTask task, HandToCoroutine hand_to_coroutine);

    bool try_finish() noexcept override;
    // The call was cancelled: true if it still waited here (it is then abandoned).
    bool abandon();
    // On the strand, when the deadline timer fires.
    void deadline_reached();
    // On the strand, when the engine closes.
    void engine_closed();

private:
    // Under the lane's lock: no longer waiting; the slot lock is let go.
    void end_locked(const DirectLane::Hold& lane);
    void hand_over_locked(const DirectLane::Hold& lane);
    void fail_locked_out() noexcept;

    std::shared_ptr<SharedRecords> records_;
    DirectStart start_;
    std::uint16_t fn_id_;
    runtime::ParkedTask task_;
    HandToCoroutine hand_to_coroutine_;
    bool ended_ = false;
};

}  // namespace tarnel::ws
