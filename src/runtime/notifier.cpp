// The broadcast notifier: a count of broadcasts and the registrations still waiting for the next one.
#include "runtime/notifier.hpp"

#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/multiple_exceptions.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <tuple>
#include <variant>

namespace tarnel::runtime {

namespace asio = boost::asio;

using WakeChannel = asio::experimental::concurrent_channel<void(boost::system::error_code)>;

struct Notifier::Waiter {
    // Made by the first wait(), which is the first place that knows the waiting coroutine's executor.
    // Written under Notifier::mutex_ and only while no broadcast has reached this waiter, so the
    // broadcast that takes the waiter off the list reads it without a race.
    std::optional<WakeChannel> wake;
};

Notifier::Registration Notifier::register_waiter() {
    auto waiter = std::make_shared<Waiter>();
    std::lock_guard hold(mutex_);
    waiters_.push_back(waiter);
    return Registration(this, std::move(waiter), count_);
}

void Notifier::notify_all() {
    std::vector<std::shared_ptr<Waiter>> woken;
    {
        std::lock_guard hold(mutex_);
        ++count_;
        woken.swap(waiters_);
    }
    // A waiter without a channel has not begun to wait; it will see the new count when it does.
    for (const auto& waiter : woken) {
        if (waiter->wake) waiter->wake->try_send(boost::system::error_code{});
    }
}

std::uint64_t Notifier::broadcast_count() const {
    std::lock_guard hold(mutex_);
    return count_;
}

void Notifier::forget(const std::shared_ptr<Waiter>& waiter) {
    std::lock_guard hold(mutex_);
    std::erase(waiters_, waiter);
}

Notifier::Registration::Registration(Notifier* owner, std::shared_ptr<Waiter> waiter, std::uint64_t count)
    : owner_(owner), waiter_(std::move(waiter)), count_(count) {}

Notifier::Registration::Registration(Registration&& other) noexcept
    : owner_(other.owner_), waiter_(std::move(other.waiter_)), count_(other.count_) {}

Notifier::Registration::~Registration() {
    if (waiter_) owner_->forget(waiter_);
}

// The waiting coroutine must not run on several threads at once (a strand, as every launched task has):
// the race below runs both operations on its executor and cancels the loser from the winner's handler.
asio::awaitable<bool> Notifier::Registration::wait(std::optional<std::chrono::steady_clock::time_point> deadline) {
    using namespace asio::experimental::awaitable_operators;
    auto executor = co_await asio::this_coro::executor;
    WakeChannel* wake = nullptr;
    {
        std::lock_guard hold(owner_->mutex_);
        if (owner_->count_ == count_) {
            if (!waiter_->wake) waiter_->wake.emplace(executor, 1);
            wake = &*waiter_->wake;
        }
    }
    // Tested before the deadline, so a broadcast that already happened wins even over an expired one.
    if (!wake) co_return true;

    // Either operation ends with an error only when this coroutine is cancelled.
    const auto cancelled = [] { return boost::system::system_error(asio::error::operation_aborted); };
    if (!deadline) {
        auto [ec] = co_await wake->async_receive(asio::as_tuple(asio::use_awaitable));
        if (ec) throw cancelled();
        co_return true;
    }

    asio::steady_timer timer(executor, *deadline);
    std::variant<std::tuple<boost::system::error_code>, std::tuple<boost::system::error_code>> first;
    try {
        first = co_await (wake->async_receive(asio::as_tuple(asio::use_awaitable)) ||
                          timer.async_wait(asio::as_tuple(asio::use_awaitable)));
    } catch (const asio::multiple_exceptions&) {
        // Both racers threw: only a cancellation that reached them before their operations began does that.
        throw cancelled();
    }
    if (first.index() == 0) {
        if (std::get<0>(std::get<0>(first))) throw cancelled();
        co_return true;
    }
    if (std::get<0>(std::get<1>(first))) throw cancelled();
    // A broadcast at the very moment of the deadline still counts as one.
    co_return owner_->broadcast_count() != count_;
}

}  // namespace tarnel::runtime
