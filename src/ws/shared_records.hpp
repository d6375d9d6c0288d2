// The records an engine shares with its background tasks: connection slot, seq counter, notifier.
#pragma once

#include <atomic>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "runtime/async_mutex.hpp"
#include "runtime/notifier.hpp"
#include "runtime/link_executor.hpp"
#include "runtime/runtime.hpp"
#include "ws/connection.hpp"
#include "ws/direct_lane.hpp"

namespace tarnel::ws {

using Strand = asio::strand<asio::io_context::executor_type>;

// What every operation of a closed engine fails with.
inline constexpr std::string_view kEngineClosed = "engine closed";

struct SharedRecords {
    explicit SharedRecords(std::uint32_t start_seq) : seq(start_seq) {}

    // The calls, the installed connection and everything they share run on this strand of the link
    // (driven by the event loops that await the calls): calls of one engine are answered one after the
    // other anyway, and that state then needs no lock. Made on first use, so that constructing an engine
    // creates nothing.
    const asio::any_io_executor& strand() {
        std::call_once(strand_made_, [this] { strand_ = runtime::make_link_strand(); });
        return strand_;
    }
    // Listening, accepting, upgrading and greeting run on this strand of the worker threads: they must go
    // on while no event loop runs. A greeted connection moves to strand() to be installed.
    Strand& accept_strand() {
        std::call_once(accept_strand_made_, [this] { accept_strand_.emplace(asio::make_strand(runtime::context())); });
        return *accept_strand_;
    }

    // Two locks share the connection between calls, so that a call may send its request while earlier
    // calls still wait for their answers, and every call still reads its own answer:
    // - The write lock orders everything written on the connection: a call holds it from its look at the
    //   slot through its send, and takes its place in the slot lock's line before letting it go. Requests
    //   therefore go out, and answers (which the page sends in the order of the requests) are read, in one
    //   order. A receiver that answers an echo request takes it for that write.
    // - The slot lock is the line for answers: its holder reads the connection, from the start of its
    //   receive to its end, and nobody else does; the messages it reads are its answer, or late answers of
    //   abandoned calls that it skips.
    // - `slot` and `seq` change only under both (installing a connection, ws/server.cpp), except that a
    //   receive whose link failed empties the slot under the slot lock alone, and closing (on strand(),
    //   under the direct lane's lock) sets `closed` and empties it; both happen on strand(), where every
    //   holder of the write lock runs too, and a call looks at `closed` and at the slot after each wait.
    // - A call begun on its own thread (the direct lane) takes both with try_lock there; it lets the write
    //   lock go once its request is out and hands the slot lock to its coroutine with the rest of the call.
    // - Lock order: the slot lock before the write lock. A call never waits for the slot lock while it
    //   holds the write lock (taking its place in line does not wait).
    runtime::AsyncMutex slot_lock;
    runtime::AsyncMutex write_lock;
    std::shared_ptr<Connection> slot;
    std::uint32_t seq;

    // What a call may do from its own thread, outside the strand, and what it shares with the strand.
    DirectLane direct_lane;

    runtime::Notifier connected;

    // Closing. `closed` is final: once set, nothing is accepted, installed or sent again. It is set on
    // strand() and read on both strands.
    std::atomic<bool> closed{false};
    std::atomic<bool> listening{false};  // start() bound a listener (an engine left so is reported)
    std::vector<std::shared_ptr<asio::ip::tcp::acceptor>> listeners;  // on accept_strand()
    std::vector<std::weak_ptr<Connection>> upgrading;                 // on accept_strand(): not greeted yet

    // Drops the installed connection and wakes wait_connected; on strand(). Idempotent.
    void close_connection();
    // Stops listening and drops the connections still upgrading; on accept_strand().
    void close_listeners();

private:
    std::once_flag strand_made_;
    asio::any_io_executor strand_;
    std::once_flag accept_strand_made_;
    std::optional<Strand> accept_strand_;
};

}  // namespace tarnel::ws
