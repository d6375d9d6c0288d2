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
#include <memory>

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
