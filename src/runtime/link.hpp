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
// Rules that keep it from hanging:
// - Work handed to the link from a thread that is not running it makes the readiness descriptor readable
//   (a "kick"), so whoever watches runs it; a thread that hands work over and runs it at once may say so
//   and skip the kick.
// - Large messages are moved by the link's own thread: a loop that finds one in progress stops watching
//   until it is over (run_ready_link_work).
// - Whoever watches: every event loop that has made a call (one registration per loop, ended when the
//   loop closes) and, while no loop is registered, a thread of the link's own. A loop that is registered
//   but not running runs the link when it runs again; nothing is waiting on the link meanwhile but the
//   calls of such loops (accepting, upgrades and greetings run on the worker threads).
// This header is free of Asio so that the Python bridge can use it.
#pragma once

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
// thread watches it, so that calls of a loop that was closed still end. A loop that stops
// `for_a_large_transfer` has stepped back (see run_ready_link_work): until it comes back (or goes), the own
// thread watches whatever other loops are registered, since those may not be running.
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
