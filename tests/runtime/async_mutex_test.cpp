// The first-come-first-served async mutex: order, exclusion, and waiters cancelled while queued.
#include <gtest/gtest.h>

#include "runtime/waiting.hpp"

#include <algorithm>
#include <atomic>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/system/system_error.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <latch>
#include <mutex>
#include <numeric>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "runtime/async_mutex.hpp"
#include "runtime/runtime.hpp"

namespace tarnel::runtime {
namespace {

using namespace tarnel::runtime::test_support;

using namespace std::chrono_literals;
using Gate = asio::experimental::concurrent_channel<void(boost::system::error_code)>;

asio::awaitable<void> pause(std::chrono::steady_clock::duration d) {
    asio::steady_timer timer(co_await asio::this_coro::executor, d);
    co_await timer.async_wait(asio::use_awaitable);
}

asio::awaitable<void> yield() {
    co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
}

bool delivered_bytes(const std::vector<TaskOutcome>& outcomes, const Bytes& expected) {
    if (outcomes.size() != 1) return false;
    const auto* bytes = std::get_if<Bytes>(&outcomes[0]);
    return bytes && *bytes == expected;
}

TEST(AsyncMutex, TryLockAndGuards) {
    AsyncMutex mutex;
    EXPECT_FALSE(mutex.is_locked());
    auto guard = mutex.try_lock();
    EXPECT_TRUE(guard.owns_lock());
    EXPECT_TRUE(mutex.is_locked());
    EXPECT_FALSE(mutex.try_lock().owns_lock());

    auto moved = std::move(guard);
    EXPECT_FALSE(guard.owns_lock());
    EXPECT_TRUE(moved.owns_lock());
    EXPECT_TRUE(mutex.is_locked());
    moved.unlock();
    EXPECT_FALSE(moved.owns_lock());
    EXPECT_FALSE(mutex.is_locked());
    moved.unlock();  // a second unlock does not release someone else's lock
    auto again = mutex.try_lock();
    moved.unlock();
    EXPECT_TRUE(mutex.is_locked());
    again.unlock();

    // Move-assignment releases what the target held.
    AsyncMutex other;
    auto a = mutex.try_lock();
    auto b = other.try_lock();
    a = std::move(b);
    EXPECT_FALSE(mutex.is_locked());
    EXPECT_TRUE(other.is_locked());
    { auto scoped = std::move(a); }
    EXPECT_FALSE(other.is_locked());
    EXPECT_EQ(mutex.waiting(), 0u);
}

TEST(AsyncMutex, UncontendedLockDoesNotQueue) {
    AsyncMutex mutex;
    auto future = asio::co_spawn(context(), mutex.lock(), asio::use_future);
    auto guard = wait_for(future, "an uncontended lock");
    EXPECT_TRUE(guard.owns_lock());
    EXPECT_TRUE(mutex.is_locked());
    EXPECT_EQ(mutex.waiting(), 0u);
    guard.unlock();
    EXPECT_FALSE(mutex.is_locked());
}

TEST(AsyncMutex, GrantsInArrivalOrderWithoutBarging) {
    AsyncMutex mutex;
    auto held = mutex.try_lock();
    constexpr int kWaiters = 100;
    std::vector<int> order;  // touched only while holding the lock
    Gate gate(context().get_executor(), 1);
    std::vector<std::future<void>> done;
    auto spawn_waiter = [&](int id) {
        done.push_back(asio::co_spawn(
            context(),
            [&, id]() -> asio::awaitable<void> {
                auto guard = co_await mutex.lock();
                order.push_back(id);
                if (id == 0) co_await gate.async_receive(asio::use_awaitable);
                co_await yield();  // hold the lock across a suspension
            },
            asio::use_future));
    };
    for (int i = 0; i < kWaiters; ++i) {
        spawn_waiter(i);
        require(eventually([&] { return mutex.waiting() == static_cast<std::size_t>(i + 1); }), "a queued waiter");
    }
    held.unlock();
    // The lock went straight to the oldest waiter, which is parked at the gate: nobody can barge in.
    EXPECT_TRUE(mutex.is_locked());
    EXPECT_FALSE(mutex.try_lock().owns_lock());
    EXPECT_EQ(mutex.waiting(), static_cast<std::size_t>(kWaiters - 1));
    spawn_waiter(kWaiters);
    require(eventually([&] { return mutex.waiting() == static_cast<std::size_t>(kWaiters); }), "the late waiter");
    gate.try_send(boost::system::error_code{});
    for (auto& d : done) wait_for(d, "the waiters");

    std::vector<int> expected(kWaiters + 1);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(order, expected);
    EXPECT_FALSE(mutex.is_locked());
    EXPECT_EQ(mutex.waiting(), 0u);
}

TEST(AsyncMutex, MutualExclusionUnderContention) {
    AsyncMutex mutex;
    constexpr int kCoroutines = 24;
    constexpr int kRounds = 150;
    long counter = 0;  // deliberately not atomic: only the mutex protects it
    std::atomic<int> holders{0};
    std::atomic<int> overlaps{0};
    std::vector<std::future<void>> done;
    for (int c = 0; c < kCoroutines; ++c) {
        done.push_back(asio::co_spawn(
            context(),
            [&, c]() -> asio::awaitable<void> {
                for (int round = 0; round < kRounds; ++round) {
                    auto guard = co_await mutex.lock();
                    if (holders.fetch_add(1) != 0) overlaps.fetch_add(1);
                    const long seen = counter;
                    if ((round + c) % 3 == 0) co_await yield();
                    counter = seen + 1;
                    holders.fetch_sub(1);
                }
            },
            asio::use_future));
    }
    // A thread that is not a worker competes through try_lock.
    int taken_by_thread = 0;
    for (int i = 0; i < 2000; ++i) {
        if (auto guard = mutex.try_lock(); guard.owns_lock()) {
            if (holders.fetch_add(1) != 0) overlaps.fetch_add(1);
            ++counter;
            ++taken_by_thread;
            holders.fetch_sub(1);
        }
    }
    for (auto& d : done) wait_for(d, "the contending coroutines");
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(counter, static_cast<long>(kCoroutines) * kRounds + taken_by_thread);
    EXPECT_FALSE(mutex.is_locked());
    EXPECT_EQ(mutex.waiting(), 0u);
}

Task lock_and_return(AsyncMutex& mutex, std::uint8_t id) {
    return make_task(asio::make_strand(context()), [&mutex, id]() -> asio::awaitable<Expected<Bytes>> {
        auto guard = co_await mutex.lock();
        co_return Bytes{id};
    });
}

TEST(AsyncMutex, CancelledWaiterLeavesTheQueueAndOthersKeepTheirOrder) {
    AsyncMutex mutex;
    auto held = mutex.try_lock();
    std::vector<std::shared_ptr<Probe>> probes;
    std::vector<CancelHandle> handles;
    for (std::uint8_t id = 0; id < 3; ++id) {
        probes.push_back(std::make_shared<Probe>());
        handles.push_back(launch(lock_and_return(mutex, id), record(probes.back())));
        require(eventually([&] { return mutex.waiting() == id + 1u; }), "a queued waiter");
    }
    handles[1].cancel();
    EXPECT_TRUE(probes[1]->wait().empty());
    EXPECT_EQ(mutex.waiting(), 2u);
    EXPECT_TRUE(mutex.is_locked());
    held.unlock();
    EXPECT_TRUE(delivered_bytes(probes[0]->wait(), Bytes{0}));
    EXPECT_TRUE(delivered_bytes(probes[2]->wait(), Bytes{2}));
    EXPECT_FALSE(mutex.is_locked());
    EXPECT_EQ(mutex.waiting(), 0u);
}

TEST(AsyncMutex, WaitersCancelledAtRandomPointsLeaveNoTrace) {
    constexpr unsigned kSeed = 0x7a51e;
    SCOPED_TRACE(testing::Message() << "seed " << kSeed);
    std::mt19937 rng(kSeed);
    constexpr int kRounds = 150;
    constexpr int kTasks = 8;
    int abandoned = 0;
    for (int round = 0; round < kRounds; ++round) {
        AsyncMutex mutex;
        std::atomic<int> holders{0};
        std::atomic<int> overlaps{0};
        std::vector<std::shared_ptr<Probe>> probes;
        std::vector<CancelHandle> handles;
        for (int i = 0; i < kTasks; ++i) {
            const auto hold_for = std::chrono::microseconds(rng() % 300);
            probes.push_back(std::make_shared<Probe>());
            handles.push_back(launch(
                make_task(asio::make_strand(context()),
                          [&mutex, &holders, &overlaps, hold_for, i]() -> asio::awaitable<Expected<Bytes>> {
                              auto guard = co_await mutex.lock();
                              if (holders.fetch_add(1) != 0) overlaps.fetch_add(1);
                              struct Leave {
                                  std::atomic<int>& holders;
                                  ~Leave() { holders.fetch_sub(1); }
                              } leave{holders};
                              co_await pause(hold_for);
                              co_return Bytes{static_cast<std::uint8_t>(i)};
                          }),
                record(probes.back())));
        }
        std::vector<int> victims(kTasks);
        std::iota(victims.begin(), victims.end(), 0);
        std::shuffle(victims.begin(), victims.end(), rng);
        victims.resize(rng() % (kTasks + 1));
        std::vector<bool> cancelled(kTasks, false);
        for (int victim : victims) {
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 200));
            handles[victim].cancel();
            cancelled[victim] = true;
        }
        for (int i = 0; i < kTasks; ++i) {
            const auto outcomes = probes[i]->wait();
            if (cancelled[i] && outcomes.empty()) {
                ++abandoned;
                continue;
            }
            EXPECT_TRUE(delivered_bytes(outcomes, Bytes{static_cast<std::uint8_t>(i)}))
                << "round " << round << " task " << i << (cancelled[i] ? " (cancelled)" : "");
        }
        EXPECT_EQ(overlaps.load(), 0) << "round " << round;
        EXPECT_FALSE(mutex.is_locked()) << "round " << round;
        EXPECT_EQ(mutex.waiting(), 0u) << "round " << round;
        auto last = asio::co_spawn(context(), mutex.lock(), asio::use_future);
        EXPECT_TRUE(wait_for(last, "a final lock").owns_lock());
    }
    // The rounds did abandon waiters (with this seed, many of them).
    EXPECT_GT(abandoned, 0);
}

TEST(AsyncMutex, AGrantRacingACancellationIsNeverLost) {
    for (int round = 0; round < 200; ++round) {
        AsyncMutex mutex;
        auto held = mutex.try_lock();
        auto first = std::make_shared<Probe>();
        const auto handle = launch(lock_and_return(mutex, 1), record(first));
        require(eventually([&] { return mutex.waiting() == 1; }), "the first waiter");
        auto second = asio::co_spawn(
            asio::make_strand(context()),
            [&mutex]() -> asio::awaitable<bool> {
                auto guard = co_await mutex.lock();
                co_return guard.owns_lock();
            },
            asio::use_future);
        require(eventually([&] { return mutex.waiting() == 2; }), "the second waiter");

        std::latch go(2);
        std::thread canceller([&] {
            go.arrive_and_wait();
            handle.cancel();
        });
        go.arrive_and_wait();
        held.unlock();
        canceller.join();

        EXPECT_TRUE(wait_for(second, "the second waiter's lock")) << "round " << round;
        const auto outcomes = first->wait();
        EXPECT_TRUE(outcomes.empty() || delivered_bytes(outcomes, Bytes{1})) << "round " << round;
        EXPECT_FALSE(mutex.is_locked()) << "round " << round;
        EXPECT_EQ(mutex.waiting(), 0u) << "round " << round;
    }
}

TEST(AsyncMutex, ALockGrantedToAWaiterAlreadyCancelledPassesToTheNext) {
    AsyncMutex mutex;
    auto held = mutex.try_lock();
    auto strand = asio::make_strand(context());
    asio::cancellation_signal signal;
    std::atomic<bool> first_got_lock{false};
    // The failure becomes a code on the worker (see the notifier tests: exceptions handed across
    // threads through a future look like races to the thread sanitizer).
    auto first = asio::co_spawn(
        strand,
        [&]() -> asio::awaitable<boost::system::error_code> {
            boost::system::error_code failure;
            try {
                auto guard = co_await mutex.lock();
                first_got_lock = true;
            } catch (const boost::system::system_error& e) {
                failure = e.code();
            }
            co_return failure;
        },
        asio::bind_cancellation_slot(signal.slot(), asio::use_future));
    require(eventually([&] { return mutex.waiting() == 1; }), "the first waiter");
    auto second = asio::co_spawn(
        asio::make_strand(context()),
        [&]() -> asio::awaitable<bool> {
            auto guard = co_await mutex.lock();
            co_return guard.owns_lock();
        },
        asio::use_future);
    require(eventually([&] { return mutex.waiting() == 2; }), "the second waiter");

    // In one step of the first waiter's strand: cancel its wait, then release. The cancelled wait
    // completes only after this step, so the lock is handed to a waiter that is already leaving.
    asio::post(strand, [&] {
        signal.emit(asio::cancellation_type::terminal);
        held.unlock();
    });

    EXPECT_EQ(wait_for(first, "the cancelled waiter"), asio::error::operation_aborted);
    EXPECT_FALSE(first_got_lock.load());
    EXPECT_TRUE(wait_for(second, "the lock passed on"));
    EXPECT_FALSE(mutex.is_locked());
    EXPECT_EQ(mutex.waiting(), 0u);
}

TEST(AsyncMutex, CancellingTheHolderReleasesTheLock) {
    AsyncMutex mutex;
    auto started = std::make_shared<std::promise<void>>();
    auto probe = std::make_shared<Probe>();
    const auto handle = launch(make_task(asio::make_strand(context()),
                                         [&mutex, started]() -> asio::awaitable<Expected<Bytes>> {
                                             auto guard = co_await mutex.lock();
                                             started->set_value();
                                             co_await pause(1h);
                                             co_return Bytes{};
                                         }),
                               record(probe));
    auto started_future = started->get_future();
    wait_for(started_future, "the holder");
    EXPECT_TRUE(mutex.is_locked());
    auto next = std::make_shared<Probe>();
    launch(lock_and_return(mutex, 7), record(next));
    require(eventually([&] { return mutex.waiting() == 1; }), "the next waiter");
    handle.cancel();
    EXPECT_TRUE(probe->wait().empty());
    EXPECT_TRUE(delivered_bytes(next->wait(), Bytes{7}));
    EXPECT_FALSE(mutex.is_locked());
}

// A plain function, not a lambda with captures: g++ 12 destroys a coroutine lambda's captures twice.
asio::awaitable<void> note_in_turn(AsyncMutex::Place place, std::vector<int>& order, int id) {
    auto guard = co_await AsyncMutex::wait(std::move(place));
    order.push_back(id);
}

// A place taken in line is served in the order it was taken, whenever its holder comes to wait on it,
// before waiters that came later; places dropped unused leave the line, or pass on a lock they were given.
TEST(AsyncMutex, PlacesKeepTheirTurnAndDroppedPlacesLeaveTheLine) {
    AsyncMutex mutex;
    auto held = mutex.try_lock();
    auto executor = context().get_executor();
    auto first = mutex.enqueue(executor);
    auto dropped = std::make_optional(mutex.enqueue(executor));
    auto second = mutex.enqueue(executor);
    EXPECT_EQ(mutex.waiting(), 3u);
    dropped.reset();
    EXPECT_EQ(mutex.waiting(), 2u);

    std::vector<int> order;  // touched only while holding the lock
    auto later = asio::co_spawn(
        context(),
        [&]() -> asio::awaitable<void> {
            auto guard = co_await mutex.lock();
            order.push_back(3);
        },
        asio::use_future);
    require(eventually([&] { return mutex.waiting() == 3u; }), "the later waiter");
    // The second place is waited on before the first: it still comes after it.
    auto waited_second = asio::co_spawn(context(), note_in_turn(std::move(second), order, 2), asio::use_future);
    auto waited_first = asio::co_spawn(context(), note_in_turn(std::move(first), order, 1), asio::use_future);
    held.unlock();
    wait_for(waited_first, "the first place");
    wait_for(waited_second, "the second place");
    wait_for(later, "the later waiter");
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

    // A free lock is taken with the place; dropping the place unused frees it again, and a place granted
    // while nobody waited on it passes the lock to the next in line when it is dropped.
    {
        auto place = mutex.enqueue(executor);
        EXPECT_TRUE(mutex.is_locked());
    }
    EXPECT_FALSE(mutex.is_locked());
    auto holder = mutex.try_lock();
    auto granted_unused = std::make_optional(mutex.enqueue(executor));
    auto next = mutex.enqueue(executor);
    holder.unlock();  // granted to `granted_unused`, which nobody waits on
    EXPECT_EQ(mutex.waiting(), 1u);
    granted_unused.reset();
    EXPECT_EQ(mutex.waiting(), 0u);
    auto taken = asio::co_spawn(context(), AsyncMutex::wait(std::move(next)), asio::use_future);
    EXPECT_TRUE(wait_for(taken, "the next place").owns_lock());
    EXPECT_FALSE(mutex.is_locked());
}

}  // namespace
}  // namespace tarnel::runtime
