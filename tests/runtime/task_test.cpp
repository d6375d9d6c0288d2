// Launching tasks on the runtime: outcome delivery, abandonment through the cancel handle, and the workers.
#include <gtest/gtest.h>

#include "runtime/waiting.hpp"

#include <atomic>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <latch>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "runtime/runtime.hpp"
#include "runtime/task.hpp"

namespace tarnel::runtime {
namespace {

using namespace tarnel::runtime::test_support;

using namespace std::chrono_literals;

Task task_of(std::function<asio::awaitable<Expected<Bytes>>()> run) {
    return make_task(asio::make_strand(context()), std::move(run));
}

asio::awaitable<void> pause(std::chrono::steady_clock::duration d) {
    asio::steady_timer timer(co_await asio::this_coro::executor, d);
    co_await timer.async_wait(asio::use_awaitable);
}

// Sets a flag when the coroutine frame that holds it is destroyed.
struct FrameGone {
    std::shared_ptr<std::atomic<bool>> flag;
    ~FrameGone() { flag->store(true); }
};

TEST(Launch, DeliversBytesOnAWorkerThread) {
    auto probe = std::make_shared<Probe>();
    launch(task_of([]() -> asio::awaitable<Expected<Bytes>> {
               co_await pause(1ms);
               co_return Bytes{0x01, 0x00, 0xff};
           }),
           record(probe));
    const auto outcomes = probe->wait();
    ASSERT_EQ(outcomes.size(), 1u);
    const auto* bytes = std::get_if<Bytes>(&outcomes[0]);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(*bytes, (Bytes{0x01, 0x00, 0xff}));
    EXPECT_NE(probe->thread, std::this_thread::get_id());
}

TEST(Launch, DeliversEmptyPayload) {
    auto probe = std::make_shared<Probe>();
    launch(task_of([]() -> asio::awaitable<Expected<Bytes>> { co_return Bytes{}; }), record(probe));
    const auto outcomes = probe->wait();
    ASSERT_EQ(outcomes.size(), 1u);
    ASSERT_TRUE(std::holds_alternative<Bytes>(outcomes[0]));
    EXPECT_TRUE(std::get<Bytes>(outcomes[0]).empty());
}

TEST(Launch, DeliversEngineErrorUnchanged) {
    const auto error = EngineError::transport(12, 31, "timeout waiting response");
    auto probe = std::make_shared<Probe>();
    launch(task_of([error]() -> asio::awaitable<Expected<Bytes>> {
               co_await pause(1ms);
               co_return Unexpected<EngineError>(error);
           }),
           record(probe));
    const auto outcomes = probe->wait();
    ASSERT_EQ(outcomes.size(), 1u);
    const auto* got = std::get_if<EngineError>(&outcomes[0]);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(*got, error);
}

std::string abnormal_text(Task task) {
    auto probe = std::make_shared<Probe>();
    launch(std::move(task), record(probe));
    const auto outcomes = probe->wait();
    if (outcomes.size() != 1) return "<not one outcome>";
    const auto* abnormal = std::get_if<Abnormal>(&outcomes[0]);
    return abnormal ? abnormal->message : "<not abnormal>";
}

TEST(Launch, ExceptionsBecomeAbnormalWithTheirText) {
    EXPECT_EQ(abnormal_text(task_of([]() -> asio::awaitable<Expected<Bytes>> {
                  co_await pause(1ms);
                  throw std::runtime_error("decoder exploded");
              })),
              "decoder exploded");
    // Thrown before the first suspension.
    EXPECT_EQ(abnormal_text(task_of([]() -> asio::awaitable<Expected<Bytes>> {
                  throw std::out_of_range("index 7");
                  co_return Bytes{};
              })),
              "index 7");
    // Thrown by the coroutine factory itself, before any coroutine exists.
    EXPECT_EQ(abnormal_text(task_of([]() -> asio::awaitable<Expected<Bytes>> {
                  throw std::invalid_argument("no coroutine");
              })),
              "no coroutine");
    // Not a std::exception: no text.
    EXPECT_EQ(abnormal_text(task_of([]() -> asio::awaitable<Expected<Bytes>> {
                  co_await pause(1ms);
                  throw 42;
              })),
              "");
    EXPECT_EQ(abnormal_text(task_of([]() -> asio::awaitable<Expected<Bytes>> {
                  throw std::runtime_error("");
                  co_return Bytes{};
              })),
              "");
}

TEST(Launch, ABodylessTaskIsAbnormal) {
    EXPECT_EQ(abnormal_text(Task(nullptr)), "task has no body");
    EXPECT_EQ(abnormal_text(make_task(asio::make_strand(context()), nullptr)), "task has no body");
}

TEST(Launch, ATaskWithoutExecutorRunsOnTheRuntime) {
    auto probe = std::make_shared<Probe>();
    launch(make_task(asio::any_io_executor(), []() -> asio::awaitable<Expected<Bytes>> {
               co_await pause(1ms);
               co_return Bytes{5};
           }),
           record(probe));
    const auto outcomes = probe->wait();
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(std::get<Bytes>(outcomes[0]), Bytes{5});
}

TEST(Launch, ACompletionThatThrowsDoesNotHarmTheWorkers) {
    for (unsigned i = 0; i < 2 * worker_count(); ++i) {
        launch(task_of([]() -> asio::awaitable<Expected<Bytes>> { co_return Bytes{}; }),
               [](TaskOutcome) { throw std::runtime_error("completion failed"); });
    }
    // Every worker is still there: as many tasks as workers, each waiting until all have started.
    const unsigned workers = worker_count();
    std::atomic<unsigned> arrived{0};
    std::atomic<unsigned> saw_all{0};
    std::vector<std::promise<void>> done(workers);
    for (unsigned i = 0; i < workers; ++i) {
        asio::post(context(), [&, i] {
            arrived.fetch_add(1);
            const auto limit = std::chrono::steady_clock::now() + 10s;
            while (arrived.load() < workers && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
            if (arrived.load() == workers) saw_all.fetch_add(1);
            done[i].set_value();
        });
    }
    for (auto& d : done) require_ready(d.get_future(), "the workers");
    EXPECT_EQ(saw_all.load(), workers) << "fewer than " << workers << " handlers ran at once";
}

TEST(Launch, CancelledSuspendedTaskNeverCompletes) {
    auto started = std::make_shared<std::promise<void>>();
    auto gone = std::make_shared<std::atomic<bool>>(false);
    auto probe = std::make_shared<Probe>();
    const auto handle = launch(task_of([started, gone]() -> asio::awaitable<Expected<Bytes>> {
                                   FrameGone guard{gone};
                                   started->set_value();
                                   co_await pause(1h);
                                   co_return Bytes{1};
                               }),
                               record(probe));
    require_ready(started->get_future(), "the task to start");
    handle.cancel();
    EXPECT_TRUE(probe->wait().empty());
    EXPECT_TRUE(gone->load());
}

TEST(Launch, ATaskThatAbsorbsTheCancellationDeliversWhatItReturns) {
    auto started = std::make_shared<std::promise<void>>();
    auto probe = std::make_shared<Probe>();
    const auto handle = launch(task_of([started]() -> asio::awaitable<Expected<Bytes>> {
                                   asio::steady_timer timer(co_await asio::this_coro::executor, 1h);
                                   started->set_value();
                                   auto [ec] = co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
                                   co_return Bytes{static_cast<std::uint8_t>(ec == asio::error::operation_aborted)};
                               }),
                               record(probe));
    require_ready(started->get_future(), "the task to start");
    handle.cancel();
    const auto outcomes = probe->wait();
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(std::get<Bytes>(outcomes[0]), Bytes{1});
}

TEST(Launch, AFailureAfterCancellationIsAbandonmentNotAbnormal) {
    auto started = std::make_shared<std::promise<void>>();
    auto probe = std::make_shared<Probe>();
    const auto handle = launch(task_of([started]() -> asio::awaitable<Expected<Bytes>> {
                                   asio::steady_timer timer(co_await asio::this_coro::executor, 1h);
                                   started->set_value();
                                   co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
                                   throw std::runtime_error("cleanup failed");
                               }),
                               record(probe));
    require_ready(started->get_future(), "the task to start");
    handle.cancel();
    EXPECT_TRUE(probe->wait().empty());
}

TEST(Launch, CancelAfterCompletionIsHarmless) {
    auto probe = std::make_shared<Probe>();
    const auto handle = launch(task_of([]() -> asio::awaitable<Expected<Bytes>> { co_return Bytes{9}; }),
                               record(probe));
    const auto outcomes = probe->wait();
    handle.cancel();
    handle.cancel();
    CancelHandle().cancel();
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(std::get<Bytes>(outcomes[0]), Bytes{9});
    // The runtime still runs tasks afterwards.
    auto next = std::make_shared<Probe>();
    launch(task_of([]() -> asio::awaitable<Expected<Bytes>> { co_return Bytes{10}; }), record(next));
    EXPECT_EQ(next->wait().size(), 1u);
}

void cancel_from_threads(const CancelHandle& handle, int threads) {
    std::latch go(threads);
    std::vector<std::thread> cancellers;
    for (int i = 0; i < threads; ++i) {
        cancellers.emplace_back([&] {
            go.arrive_and_wait();
            handle.cancel();
        });
    }
    for (auto& t : cancellers) t.join();
}

TEST(Launch, CancelFromManyThreadsAtOnce) {
    for (int round = 0; round < 20; ++round) {
        auto started = std::make_shared<std::promise<void>>();
        auto gone = std::make_shared<std::atomic<bool>>(false);
        auto probe = std::make_shared<Probe>();
        const auto handle = launch(task_of([started, gone]() -> asio::awaitable<Expected<Bytes>> {
                                       FrameGone guard{gone};
                                       started->set_value();
                                       co_await pause(1h);
                                       co_return Bytes{};
                                   }),
                                   record(probe));
        require_ready(started->get_future(), "the task to start");
        cancel_from_threads(handle, 8);
        EXPECT_TRUE(probe->wait().empty());
        EXPECT_TRUE(gone->load());
    }
}

TEST(Launch, TasksThatNeverSuspendAlwaysDeliverDespiteImmediateCancels) {
    // The task's first step is queued on its strand before launch returns, so a cancel can only
    // arrive once it has finished.
    for (int round = 0; round < 50; ++round) {
        auto probe = std::make_shared<Probe>();
        const auto handle = launch(task_of([]() -> asio::awaitable<Expected<Bytes>> { co_return Bytes{3}; }),
                                   record(probe));
        cancel_from_threads(handle, 4);
        const auto outcomes = probe->wait();
        ASSERT_EQ(outcomes.size(), 1u);
        EXPECT_EQ(std::get<Bytes>(outcomes[0]), Bytes{3});
    }
}

TEST(Launch, CancelRacingCompletionDeliversAtMostOnce) {
    int delivered = 0;
    for (int round = 0; round < 100; ++round) {
        auto probe = std::make_shared<Probe>();
        const auto wait = std::chrono::microseconds(round % 40);
        const auto handle = launch(task_of([wait]() -> asio::awaitable<Expected<Bytes>> {
                                       co_await pause(wait);
                                       co_return Bytes{4};
                                   }),
                                   record(probe));
        std::this_thread::sleep_for(std::chrono::microseconds(round % 23));
        cancel_from_threads(handle, 3);
        const auto outcomes = probe->wait();
        ASSERT_LE(outcomes.size(), 1u);
        if (!outcomes.empty()) {
            EXPECT_EQ(std::get<Bytes>(outcomes[0]), Bytes{4});
            ++delivered;
        }
    }
    RecordProperty("delivered", delivered);
}

TEST(Launch, TasksSharingOneStrandRunOneAtATime) {
    auto strand = asio::make_strand(context());
    int unguarded = 0;  // touched by every task, without a lock: the strand is the only protection
    std::vector<std::shared_ptr<Probe>> probes;
    std::vector<CancelHandle> handles;
    for (int i = 0; i < 16; ++i) {
        probes.push_back(std::make_shared<Probe>());
        handles.push_back(launch(make_task(strand,
                                           [&unguarded, i]() -> asio::awaitable<Expected<Bytes>> {
                                               for (int step = 0; step < 50; ++step) {
                                                   ++unguarded;
                                                   co_await pause(std::chrono::microseconds(step % 3));
                                               }
                                               if (i % 4 == 0) co_await pause(1h);
                                               co_return Bytes{static_cast<std::uint8_t>(i)};
                                           }),
                                 record(probes.back())));
    }
    for (int i = 0; i < 16; i += 4) handles[i].cancel();
    for (int i = 0; i < 16; ++i) {
        const auto outcomes = probes[i]->wait();
        if (i % 4 == 0) {
            EXPECT_TRUE(outcomes.empty());
        } else {
            ASSERT_EQ(outcomes.size(), 1u);
            EXPECT_EQ(std::get<Bytes>(outcomes[0]), Bytes{static_cast<std::uint8_t>(i)});
        }
    }
    std::promise<int> total;
    asio::post(strand, [&] { total.set_value(unguarded); });
    auto result = total.get_future();
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    // The cancelled tasks may have been stopped before their 50 steps.
    EXPECT_GE(result.get(), 12 * 50);
}

TEST(Runtime, OneContextForTheProcess) {
    std::vector<asio::io_context*> seen(8);
    std::latch go(8);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            go.arrive_and_wait();
            seen[i] = &context();
        });
    }
    for (auto& t : threads) t.join();
    for (auto* ctx : seen) EXPECT_EQ(ctx, &context());
    EXPECT_GE(worker_count(), 1u);
    EXPECT_EQ(worker_count(), std::max(1u, std::thread::hardware_concurrency()));
}

}  // namespace
}  // namespace tarnel::runtime
