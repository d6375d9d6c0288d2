// The link: the context where installed connections do their reads, writes and time limits, driven by
// the event loops that await the calls instead of by worker threads.
//
// A call costs what its thread wake-ups cost. When worker threads do the I/O, a call pays four (the loop
// thread wakes a worker to write, the peer wakes, its answer wakes a worker, the worker wakes the loop).
// Here the loop thread writes the request itself, while the call is made, and the loop sleeps in its own
// selector on the link's readiness descriptor (an epoll descriptor that becomes readable whenever a link
// socket, timer or handed-over handler is ready): the peer's answer wakes the loop directly. Two wake-ups,
// as a single-threaded asyncio server pays.
//
// The one guarantee: ready link work (an answer that arrives, a deadline, a page replaced, work handed
// over) is done within a few milliseconds by someone, whatever the event loops do: run, block in user code,
// stay unrun, close or get dropped. Whoever runs the link runs everything that is ready. Event loops run it
// when its descriptor wakes them or when they make a call; the link's own thread is the backstop: work
// that no thread has taken within kTakeOverGrace it runs itself, and it goes on driving the link until a
// loop runs it again, starts watching it or makes a call. It also drives alone while no loop watches, and while a loop has stepped back for a
// large message (those move on the own thread, so that a loop is not held by a 40 MB copy). The backstop
// costs a loop that runs no wake-up per call: it looks once per grace while loops keep the link busy, and
// sleeps while nothing is ready.
//
// This header is free of Asio so that the Python bridge can use it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace tarnel::runtime {

// The descriptor an event loop watches (loop.add_reader) to learn that link work is ready. Creates the
// link on first use.
int link_readiness_fd();

// Runs every link handler that is ready, without blocking; from any thread. A call nested in a handler
// returns at once (the outer run goes on with whatever became ready).
//
// With `yield_to_large_transfers` (an event loop's thread), it stops as soon as a large transfer is in
// progress, leaving the rest to whoever watches next, and returns false: the loop should then stop
// watching until the transfer is over, so that the link's own thread moves the bulk of the bytes and the
// loop stays free for its other tasks.
bool run_ready_link_work(bool yield_to_large_transfers = false) noexcept;

// Work that waits for the readiness descriptor outside the link's handler queue: a call whose answer is
// read straight from its socket (ws/direct_wait.hpp). At most one at a time.
//
// Its socket is one the link's reactor watches, so an answer makes the readiness descriptor readable;
// whoever then runs the link gives the waiter a try first, and, when that finishes it, an event loop's
// readiness callback skips the handler queue altogether (the reactor's pending notice of the socket lapses
// once the socket has been read). Any run of the handler queue may consume that notice without the waiter
// seeing it, so a run that polled gives the waiter one more try after the poll.
class ReadinessWaiter {
public:
    virtual ~ReadinessWaiter() = default;
    // Without blocking for long (it may take a short lock): true when the waiter has ended without leaving
    // work to the handler queue, and is to be forgotten. One that hands its work to the queue removes
    // itself and returns false.
    virtual bool try_finish() noexcept = 0;
};
// Registering is the first half of a wait; looking again is the second. Whoever runs the link between the
// waiter's last look at its socket and its registration may poll the reactor and so consume the socket's
// notice of the answer: nothing would then wake the waiter until something else makes the link ready (its
// deadline, at worst). So a registration looks again, once, when it goes: the waiter is given one try
// then, and forgotten if that finishes it. Its owner must let go of every lock that try_finish takes
// before then: declare the registration before the lock guard, and it goes after it.
class [[nodiscard]] ReadinessRegistration {
public:
    ReadinessRegistration() = default;
    explicit ReadinessRegistration(std::shared_ptr<ReadinessWaiter> waiter) : waiter_(std::move(waiter)) {}
    ReadinessRegistration(ReadinessRegistration&& other) noexcept : waiter_(std::move(other.waiter_)) {}
    ReadinessRegistration& operator=(ReadinessRegistration&& other) noexcept;
    ~ReadinessRegistration() { look_again(); }
    explicit operator bool() const { return static_cast<bool>(waiter_); }

private:
    void look_again() noexcept;

    std::shared_ptr<ReadinessWaiter> waiter_;
};
// An empty registration, and nothing registered, when a waiter is registered already: with several, every
// readiness would cost a read per waiter, and the handler queue serves them better.
ReadinessRegistration add_readiness_waiter(std::shared_ptr<ReadinessWaiter> waiter);
// Forgets `waiter` if it is the one registered (it ended some other way).
void remove_readiness_waiter(const ReadinessWaiter* waiter);

namespace test_seams {
// Called by add_readiness_waiter before it registers: a test runs the link there, between the waiter's
// last look at its socket and its registration, where a lost wake-up would come from.
void set_before_waiter_registers(std::function<void()> seam);
}  // namespace test_seams

// An event loop's readiness callback (and the link's own thread): like run_ready_link_work, but when the
// registered waiter finishes, the handler queue is not polled.
bool run_link_on_readiness(bool yield_to_large_transfers) noexcept;

// How long ready link work is left to the event loops before the link's own thread takes it over.
inline constexpr std::chrono::milliseconds kTakeOverGrace{2};
// For tests that check which thread runs the link: a grace long enough that the own thread never takes over
// from a loop that watches.
void set_link_take_over_grace(std::chrono::milliseconds grace);

// Messages at least this large, in either direction, are moved by the link's own thread rather than an
// event loop's: receiving and unmasking 1 MiB costs a loop about half a millisecond, 40 MiB tens of them.
inline constexpr unsigned long kLargeTransferBytes = 1024 * 1024;

// Counted while one lives: a large message is being read or written.
class LargeTransfer {
public:
    LargeTransfer();
    ~LargeTransfer();
    LargeTransfer(const LargeTransfer&) = delete;
    LargeTransfer& operator=(const LargeTransfer&) = delete;
};
bool large_transfer_in_progress();

// An event loop began, or stopped, watching the readiness descriptor. While none does, the link's own
// thread drives it. A loop that stops `for_a_large_transfer` has stepped back (see run_ready_link_work):
// until it comes back (or goes), the own thread drives it too, whatever other loops are registered.
void loop_started_watching_link();
void loop_stopped_watching_link(bool for_a_large_transfer = false);
void loop_came_back_to_link();

// While one lives, work this thread hands to the link does not kick it: the thread runs the link itself
// right after (run_ready_link_work).
class RunningLinkSoon {
public:
    RunningLinkSoon();
    ~RunningLinkSoon();
    RunningLinkSoon(const RunningLinkSoon&) = delete;
    RunningLinkSoon& operator=(const RunningLinkSoon&) = delete;

private:
    bool outer_;
};

}  // namespace tarnel::runtime
