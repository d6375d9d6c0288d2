// The broadcast notifier: who a broadcast wakes, deadlines, and cancellation of a waiting registration.
#include <gtest/gtest.h>

#include "runtime/waiting.hpp"

#include <atomic>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/system/system_error.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "runtime/notifier.hpp"
#include "runtime/runtime.hpp"

namespace tarnel::runtime {
namespace {

using namespace tarnel::runtime::test_support;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

// Waits on a strand of its own, as every launched task does.
bool wait_once(Notifier::Registration& registration, Deadline deadline) {
    auto result = asio::co_spawn(asio::make_strand(context()), registration.wait(deadline), asio::use_future);
    return wait_for(result, "a registration's wait");
}

TEST(Notifier, BroadcastWakesEveryRegisteredWaiter) {
    Notifier notifier;
    constexpr int kWaiters = 24;
    std::vector<std::unique_ptr<Notifier::Registration>> registrations;
    std::atomic<int> started{0};
    std::vector<std::future<bool>> results;
    for (int i = 0; i < kWaiters; ++i) {
        registrations.push_back(std::make_unique<Notifier::Registration>(notifier.register_waiter()));
        // Half wait without a limit, half with a deadline far away.
        const Deadline deadline = i % 2 ? Deadline(Clock::now() + 60s) : std::nullopt;
        results.push_back(asio::co_spawn(
            asio::make_strand(context()),
            [registration = registrations.back().get(), deadline, &started]() -> asio::awaitable<bool> {
                started.fetch_add(1);
                co_return co_await registration->wait(deadline);
            },
            asio::use_future));
    }
    require(eventually([&] { return started.load() == kWaiters; }), "the waiters to start");
    // Nothing but a broadcast ends these waits.
    EXPECT_EQ(results[0].wait_for(50ms), std::future_status::timeout);
    for (auto& r : results) EXPECT_EQ(r.wait_for(0s), std::future_status::timeout);

    std::thread([&] { notifier.notify_all(); }).join();
    for (auto& r : results) EXPECT_TRUE(wait_for(r, "a woken waiter"));
    EXPECT_EQ(notifier.broadcast_count(), 1u);
}

TEST(Notifier, ABroadcastBeforeTheWaitWinsEvenOverAnExpiredDeadline) {
    Notifier notifier;
    auto registration = notifier.register_waiter();
    notifier.notify_all();
    EXPECT_TRUE(wait_once(registration, Clock::now() - 1s));
    EXPECT_TRUE(wait_once(registration, Clock::now()));
    EXPECT_TRUE(wait_once(registration, std::nullopt));
}

TEST(Notifier, ARegistrationAfterABroadcastIsNotWokenByIt) {
    Notifier notifier;
    auto before = notifier.register_waiter();
    notifier.notify_all();
    auto after = notifier.register_waiter();
    EXPECT_EQ(notifier.broadcast_count(), 1u);
    EXPECT_FALSE(wait_once(after, Clock::now() - 1s));
    EXPECT_FALSE(wait_once(after, Clock::now() + 20ms));
    EXPECT_TRUE(wait_once(before, Clock::now() + 20ms));
    // The next broadcast does wake it.
    notifier.notify_all();
    EXPECT_TRUE(wait_once(after, Clock::now() - 1s));
}

TEST(Notifier, DeadlineExpiryReturnsFalseNotBefore) {
    Notifier notifier;
    auto registration = notifier.register_waiter();
    const auto start = Clock::now();
    EXPECT_FALSE(wait_once(registration, start + 30ms));
    EXPECT_GE(Clock::now() - start, 30ms);
    // Timing out leaves the registration in place: a later broadcast still reaches it, before or
    // during its next wait.
    auto result = asio::co_spawn(asio::make_strand(context()), registration.wait(Clock::now() + 60s),
                                 asio::use_future);
    EXPECT_EQ(result.wait_for(20ms), std::future_status::timeout);
    notifier.notify_all();
    EXPECT_TRUE(wait_for(result, "the second wait"));
}

TEST(Notifier, AWaitWithoutDeadlineLastsUntilTheBroadcast) {
    Notifier notifier;
    auto registration = notifier.register_waiter();
    auto result = asio::co_spawn(asio::make_strand(context()), registration.wait(std::nullopt), asio::use_future);
    EXPECT_EQ(result.wait_for(100ms), std::future_status::timeout);
    notifier.notify_all();
    EXPECT_TRUE(wait_for(result, "the woken wait"));
}

TEST(Notifier, ABroadcastRacingTheStartOfAWaitIsNeverMissed) {
    // The broadcast lands before, during or after the wait begins; without a deadline, a missed one
    // would hang here.
    for (int round = 0; round < 300; ++round) {
        Notifier notifier;
        auto registration = notifier.register_waiter();
        std::thread broadcaster([&] {
            for (int spin = 0; spin < round % 7; ++spin) std::this_thread::yield();
            notifier.notify_all();
        });
        const Deadline deadline = round % 2 ? Deadline(Clock::now() + 60s) : std::nullopt;
        EXPECT_TRUE(wait_once(registration, deadline)) << "round " << round;
        broadcaster.join();
    }
}

void expect_cancelled_wait(Deadline deadline) {
    Notifier notifier;
    auto registration = notifier.register_waiter();
    auto strand = asio::make_strand(context());
    asio::cancellation_signal signal;
    std::atomic<bool> started{false};
    // The failure is turned into a code on the worker: an exception handed to this thread through a
    // future is freed by reference counts inside the uninstrumented C++ runtime, which the thread
    // sanitizer cannot see.
    auto result = asio::co_spawn(
        strand,
        [&]() -> asio::awaitable<boost::system::error_code> {
            started = true;
            boost::system::error_code failure;
            try {
                co_await registration.wait(deadline);
            } catch (const boost::system::system_error& e) {
                failure = e.code();
            }
            co_return failure;
        },
        asio::bind_cancellation_slot(signal.slot(), asio::use_future));
    require(eventually([&] { return started.load(); }), "the waiter to start");
    // Posted after the waiter's first step, so it is suspended in its wait by then.
    asio::post(strand, [&] { signal.emit(asio::cancellation_type::terminal); });
    EXPECT_EQ(wait_for(result, "the cancelled wait"), asio::error::operation_aborted);
    // The registration is still good for the next broadcast.
    notifier.notify_all();
    EXPECT_TRUE(wait_once(registration, std::nullopt));
}

TEST(Notifier, CancellingAWaitPropagates) {
    {
        SCOPED_TRACE("without deadline");
        expect_cancelled_wait(std::nullopt);
    }
    {
        SCOPED_TRACE("with a deadline");
        expect_cancelled_wait(Clock::now() + 60s);
    }
}

TEST(Notifier, AbandonedTasksWaitingOnTheNotifierLeaveIt) {
    // A launched wait_connected-like task, cancelled through its handle, never reports.
    Notifier notifier;
    constexpr int kTasks = 8;
    std::vector<std::shared_ptr<std::promise<void>>> released;
    std::vector<CancelHandle> handles;
    std::atomic<int> started{0};
    std::atomic<int> reported{0};
    for (int i = 0; i < kTasks; ++i) {
        auto done = std::make_shared<std::promise<void>>();
        released.push_back(done);
        struct Release {
            std::shared_ptr<std::promise<void>> done;
            ~Release() { done->set_value(); }
        };
        auto release = std::shared_ptr<Release>(new Release{done});
        handles.push_back(launch(make_task(asio::make_strand(context()),
                                           [&notifier, &started, i]() -> asio::awaitable<Expected<Bytes>> {
                                               auto registration = notifier.register_waiter();
                                               started.fetch_add(1);
                                               const Deadline deadline =
                                                   i % 2 ? Deadline(Clock::now() + 60s) : std::nullopt;
                                               co_await registration.wait(deadline);
                                               co_return Bytes{};
                                           }),
                                 [release, &reported](TaskOutcome) { reported.fetch_add(1); }));
    }
    require(eventually([&] { return started.load() == kTasks; }), "the tasks to start");
    for (auto& handle : handles) handle.cancel();
    for (auto& done : released) {
        auto future = done->get_future();
        wait_for(future, "an abandoned task");
    }
    EXPECT_EQ(reported.load(), 0);
    // Their registrations are gone; the notifier still works for newcomers.
    auto registration = notifier.register_waiter();
    notifier.notify_all();
    EXPECT_TRUE(wait_once(registration, std::nullopt));
}

}  // namespace
}  // namespace tarnel::runtime
