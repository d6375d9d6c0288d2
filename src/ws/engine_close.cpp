// Closing an engine: the listening sockets, the connection and the upgrades in progress end at once.
#include <sys/socket.h>

#include "ws/engine_link.hpp"
#include "ws/shared_records.hpp"

namespace tarnel::ws {

void SharedRecords::close() {
    if (closed) return;
    closed = true;
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
    // Calls in flight hold their own reference: discarding ends their reads and writes, and they then
    // find `closed` set and fail with "engine closed".
    if (slot) slot->discard();
    slot.reset();
    connected.notify_all();
}

runtime::Task EngineLink::close() const {
    auto records = records_;
    return runtime::make_task(records->strand(), [records]() -> asio::awaitable<Expected<Bytes>> {
        records->close();
        co_return Bytes{};
    });
}

}  // namespace tarnel::ws
