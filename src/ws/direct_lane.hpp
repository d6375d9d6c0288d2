// The direct lane of one engine: what a call may do from its own thread, outside the engine's strand, and
// the state that work shares with the strand.
//
// A call that finds the connection idle writes its request, and reads an answer that is already there,
// with plain system calls on the calling thread (ws/rpc_call.cpp); a call whose answer has not come yet
// may wait for it outside the handler queue, and whoever runs the link then reads it (ws/direct_wait.hpp).
// Everything else about the connection runs on the strand. The rules that keep the two apart:
//
// 1. Off the strand, the lane's state and the connection's direct members are used only with the lane's
//    lock held (a Hold is the proof the direct members ask for; debug builds also check that the calling
//    thread is the one holding it). The strand takes it too where it touches the lane's state: the
//    waiting call's deadline, and closing.
// 2. Off the strand, the connection is used only while the call holds the engine's slot lock (no other
//    call can start an operation) and the connection is idle() (no operation of the strand's is in flight
//    and nothing is buffered above the socket): its socket is then the lane's alone.
// 3. Off the strand, a connection is discarded only with Connection::discard_from_outside(), which leaves
//    closing the socket and its timer to the strand.
//
// The lock is only ever held for a few non-blocking system calls.
#pragma once

#include <atomic>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace tarnel::ws {

class DirectWait;

class DirectLane {
public:
    // The lane's lock, held: the proof that the direct members of the connection ask for.
    class [[nodiscard]] Hold {
    public:
        Hold() = default;
        Hold(Hold&& other) noexcept : lane_(std::exchange(other.lane_, nullptr)) {}
        Hold& operator=(Hold&&) = delete;
        ~Hold() { unlock(); }
        explicit operator bool() const { return lane_ != nullptr; }
        void unlock();
        // Debug builds: stops the process unless this holds a lane's lock on the calling thread.
        void check() const;

    private:
        friend class DirectLane;
        explicit Hold(DirectLane* lane) : lane_(lane) {}
        DirectLane* lane_ = nullptr;
    };

    // Waits for the lock (held only briefly by any thread).
    Hold hold();
    // The lock if it is free, else an empty Hold.
    Hold try_hold();

    // The call waiting for its answer outside the handler queue, if any.
    std::shared_ptr<DirectWait>& waiter(const Hold& hold);

    // The waiting call's deadline timer: armed for the earliest deadline it was asked for, and armed again
    // when it fires early for the call then waiting, so a call whose deadline comes after the armed one
    // (each call with the same time-out) arms nothing.
    //
    // From any thread: whether `at` comes before the armed expiry (or nothing is armed).
    bool deadline_needs_arming(std::chrono::steady_clock::time_point at) const;
    // On the strand: arms the timer for `at` unless it is armed earlier; `fired` runs on the strand when the
    // wait for `at` ends.
    void arm_deadline(const boost::asio::any_io_executor& strand, std::chrono::steady_clock::time_point at,
                      std::function<void()> fired);
    // On the strand, from `fired`: true if the timer was still armed for `at` (it is then disarmed).
    bool deadline_fired(std::chrono::steady_clock::time_point at);

private:
    void lock_for(std::thread::id thread);

    std::mutex mutex_;
#ifndef NDEBUG
    std::atomic<std::thread::id> owner_{};
#endif
    std::shared_ptr<DirectWait> waiter_;
    std::optional<boost::asio::steady_timer> timer_;  // on the strand
    // Nanoseconds of the steady clock at which the armed timer fires (0: not armed); read off the strand.
    std::atomic<std::int64_t> timer_until_{0};
};

}  // namespace tarnel::ws
