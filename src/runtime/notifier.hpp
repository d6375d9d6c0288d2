// A broadcast notification with a count of broadcasts: wakes every registered waiter, stores no permit.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace tarnel::runtime {

class Notifier {
public:
    class Registration;

    Notifier() = default;
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // Registers a waiter and takes the broadcast count. A broadcast made after this call wakes it even
    // if it has not begun to wait yet.
    Registration register_waiter();

    // Wakes every registered waiter; waiters that register later are not woken by it.
    void notify_all();

    std::uint64_t broadcast_count() const;

private:
    struct Waiter;
    friend class Registration;
    void forget(const std::shared_ptr<Waiter>& waiter);

    mutable std::mutex mutex_;
    std::uint64_t count_ = 0;
    std::vector<std::shared_ptr<Waiter>> waiters_;
};

class Notifier::Registration {
public:
    Registration(Notifier* owner, std::shared_ptr<Waiter> waiter, std::uint64_t count);
    Registration(Registration&&) noexcept;
    Registration& operator=(Registration&&) = delete;
    ~Registration();

    // Waits until a broadcast newer than the registration, or the deadline (none: no limit).
    // The broadcast is tested before the deadline, so one that already happened wins even when the
    // deadline has passed. Returns true for a broadcast, false for the deadline. Cancellation of the
    // awaiting coroutine propagates.
    boost::asio::awaitable<bool> wait(std::optional<std::chrono::steady_clock::time_point> deadline);

private:
    Notifier* owner_;
    std::shared_ptr<Waiter> waiter_;
    std::uint64_t count_;
};

}  // namespace tarnel::runtime
