// The direct lane of one engine: what a call may do from its own thread, outside the engine's strand, and
// the lock that keeps that work apart from the strand's.
//
// A call that finds the connection idle writes its request, and reads an answer that is already there,
// with plain system calls on the calling thread (ws/rpc_call.cpp); a call whose answer has not come yet
// waits for it in its coroutine on the strand, as every other call does. Everything else about the
// connection runs on the strand. The rules that keep the two apart:
//
// 1. Off the strand, the connection's direct members are used only with the lane's lock held (a Hold is the proof the direct members ask for; debug builds also check that the calling
//    thread is the one holding it). Closing takes it too, on the strand, so that it never discards the
//    connection under a direct call.
// 2. Off the strand, the connection is used only while the call holds the engine's slot lock and write
//    lock (no other call can start an operation) and the connection is idle() (no operation of the
//    strand's is in flight and nothing is buffered above the socket): its socket is then the lane's alone.
// 3. Off the strand, a connection is discarded only with Connection::discard_from_outside(), which leaves
//    closing the socket and its timer to the strand.
// 4. A call begun here keeps the slot lock when its answer has not come yet: the lock goes to its coroutine
//    with the rest of the call and is let go only when its receive ends, so that no other call reads
//    before it. The write lock goes once the whole request is out: later calls may send theirs meanwhile,
//    from the strand, and wait in line for their answers.
//
// The lane's lock is only ever held for a few non-blocking system calls.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

namespace tarnel::ws {

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

private:
    void lock_for(std::thread::id thread);

    std::mutex mutex_;
#ifndef NDEBUG
    std::atomic<std::thread::id> owner_{};
#endif
};

}  // namespace tarnel::ws
