// The records an engine shares with its background tasks: connection slot, seq counter, notifier.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "runtime/async_mutex.hpp"
#include "runtime/notifier.hpp"
#include "runtime/runtime.hpp"
#include "ws/connection.hpp"

namespace tarnel::ws {

using Strand = asio::strand<asio::io_context::executor_type>;

// What every operation of a closed engine fails with.
inline constexpr std::string_view kEngineClosed = "engine closed";

struct SharedRecords {
    explicit SharedRecords(std::uint32_t start_seq) : seq(start_seq) {}

    // Every task of one engine, and its sockets, run on this strand: calls of one engine are answered
    // one at a time anyway, and the connection's state then needs no lock. Made on first use, so that
    // constructing an engine does not create the runtime.
    Strand& strand() {
        std::call_once(strand_made_, [this] { strand_.emplace(asio::make_strand(runtime::context())); });
        return *strand_;
    }

    runtime::AsyncMutex slot_lock;
    std::shared_ptr<Connection> slot;  // guarded by slot_lock

    runtime::AsyncMutex seq_lock;  // taken after slot_lock where both are held
    std::uint32_t seq;             // guarded by seq_lock

    runtime::Notifier connected;

    // Closing. These are touched only on the strand. `closed` is final: once set, nothing is accepted,
    // installed or sent again.
    bool closed = false;
    std::vector<std::shared_ptr<asio::ip::tcp::acceptor>> listeners;
    std::vector<std::weak_ptr<Connection>> upgrading;  // accepted, not installed yet

    // Stops listening, drops every connection and wakes wait_connected; on the strand. Idempotent.
    void close();

private:
    std::once_flag strand_made_;
    std::optional<Strand> strand_;
};

}  // namespace tarnel::ws
