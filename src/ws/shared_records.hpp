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
    // (driven by the event loops that await the calls): calls of one engine are answered one at a time
    // anyway, and that state then needs no lock. Made on first use, so that constructing an engine
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

    // Invariants of the slot lock:
    // - `slot` and `seq` are read and changed by its holder only; closing (on strand(), under the direct
    //   lane's lock) is the one exception: it sets `closed` and empties the slot, and the holder looks at
    //   `closed` after each of its waits.
    // - A call holds it from its look at the slot to the end of its receive, whichever way it goes
    //   (ws/rpc_call.cpp): between its send and its receive nobody else sends or reads, so the messages it
    //   reads are its answer, or late answers of abandoned calls that it skips.
    // - A call begun on its own thread (the direct lane) takes it there and hands it to its coroutine, with
    //   the rest of the call; the lock is never let go and taken again within one call.
    // - Installing a connection takes it too, so a call never sees its connection replaced under it.
    runtime::AsyncMutex slot_lock;
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
