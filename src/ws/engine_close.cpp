// Closing an engine: the listening sockets, the connection and the upgrades in progress end at once.
#include <sys/socket.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "ws/engine_link.hpp"
#include "ws/shared_records.hpp"

namespace tarnel::ws {

void SharedRecords::close_listeners() {
    for (auto& listener : listeners) {
        // shutdown() first: a forked child may hold a copy of the descriptor, and only shutting the
        // socket itself down stops it listening (and frees the port) while that copy stays open.
        ::shutdown(listener->native_handle(), SHUT_RDWR);
        boost::system::error_code ignored;
        listener->close(ignored);
    }
    listeners.clear();
    for (auto& pending : upgrading) {
        if (auto connection = pending.lock()) connection->discard();
    }
    upgrading.clear();
}

void SharedRecords::close_connection() {
    {
        auto lane = direct_lane.hold();
        closed = true;
        // Calls in flight hold their own reference: discarding ends their reads and writes, and they then
        // find `closed` set and fail with "engine closed".
        if (slot) slot->discard();
        slot.reset();
    }
    connected.notify_all();
}

namespace {

// An awaitable made from a plain function: g++ 12 destroys the captures of a lambda coroutine handed to
// co_spawn twice.
asio::awaitable<void> close_listeners_of(std::shared_ptr<SharedRecords> records) {
    records->close_listeners();
    co_return;
}

}  // namespace

runtime::Task EngineLink::close() const {
    auto records = records_;
    return runtime::make_task(records->strand(), [records]() -> asio::awaitable<Expected<Bytes>> {
        records->close_connection();
        // The port is free once close() has returned: the listeners are closed on their own strand
        // before the task ends.
        co_await asio::co_spawn(records->accept_strand(), close_listeners_of(records), asio::use_awaitable);
        co_return Bytes{};
    });
}

}  // namespace tarnel::ws
