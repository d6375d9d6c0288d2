// The engine state record, and the wait for a connection.
#include "ws/engine_link.hpp"

#include "runtime/after_fork.hpp"
#include "ws/shared_records.hpp"

namespace tarnel::ws {

EngineLink::EngineLink(std::string host, std::uint16_t port, std::uint32_t start_seq)
    : host_(std::move(host)), port_(port), start_seq_(start_seq),
      records_(std::make_shared<SharedRecords>(start_seq)), generation_(runtime::process_generation()) {}

bool EngineLink::left_listening() const { return records_->listening && !records_->closed; }

bool EngineLink::inherited() const { return runtime::process_generation() != generation_; }

runtime::Task EngineLink::wait_connected(std::optional<runtime::Duration> timeout) const {
    auto records = records_;
    return runtime::make_task(records->strand(), [records, timeout]() -> asio::awaitable<Expected<Bytes>> {
        // Register before looking at the slot, so an installation between the look and the wait counts.
        auto failure = [](std::string_view text) {
            return Unexpected<EngineError>(EngineError::transport(std::nullopt, std::nullopt, std::string(text)));
        };
        auto registration = records->connected.register_waiter();
        {
            auto guard = co_await records->slot_lock.lock();
            if (records->closed) co_return failure(kEngineClosed);
            if (records->slot) co_return Bytes{};
        }
        const Deadline deadline = timeout ? runtime::deadline_after(*timeout) : std::nullopt;
        const bool woken = co_await registration.wait(deadline);
        // Closing wakes the waiters too.
        if (records->closed) co_return failure(kEngineClosed);
        if (!woken) co_return failure("wait_connected timed out");
        co_return Bytes{};
    });
}

}  // namespace tarnel::ws
