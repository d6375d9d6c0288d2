// The records an engine shares with its background tasks: connection slot, seq counter, notifier.
#pragma once

#include <boost/asio/strand.hpp>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "runtime/async_mutex.hpp"
#include "runtime/notifier.hpp"
#include "runtime/runtime.hpp"
#include "ws/connection.hpp"

namespace tarnel::ws {

using Strand = asio::strand<asio::io_context::executor_type>;

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

private:
    std::once_flag strand_made_;
    std::optional<Strand> strand_;
};

}  // namespace tarnel::ws
