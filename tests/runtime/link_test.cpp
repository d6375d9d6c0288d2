// The link: work handed to it from any thread runs, on the thread of a loop that watches its readiness
// descriptor or else on the link's own thread, and large transfers are left to the latter.
#include <gtest/gtest.h>
#include <poll.h>

#include "runtime/waiting.hpp"

#include <atomic>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <thread>

#include "runtime/link.hpp"
#include "runtime/link_executor.hpp"
#include "runtime/runtime.hpp"

namespace tarnel::runtime {
namespace {

using namespace tarnel::runtime::test_support;
using namespace std::chrono_literals;

Task after_a_pause() {
    return make_task(make_link_strand(), []() -> asio::awaitable<Expected<Bytes>> {
        asio::steady_timer timer(co_await asio::this_coro::executor, 2ms);
        co_await timer.async_wait(asio::use_awaitable);
        co_return Bytes{0x2a};
    });
}

bool readiness_readable(std::chrono::milliseconds wait) {
    pollfd watched{link_readiness_fd(), POLLIN, 0};
    return ::poll(&watched, 1, static_cast<int>(wait.count())) == 1;
}

// Plays an event loop: counted among the watchers, and running the link on this thread when the
// descriptor says so. The link's own thread would take over what this loop leaves for longer than the
// grace, so the grace is made long enough that it never does, whatever the machine's load.
class WatchingLoop {
public:
    WatchingLoop() {
        set_link_take_over_grace(std::chrono::minutes(1));
        loop_started_watching_link();
    }
    ~WatchingLoop() {
        loop_stopped_watching_link();
        set_link_take_over_grace(kTakeOverGrace);
    }

    // Runs the link whenever it is ready until `done` holds.
    void run_until(const std::function<bool()>& done) {
        const auto limit = std::chrono::steady_clock::now() + 10s;
        while (!done()) {
            require(std::chrono::steady_clock::now() < limit, "the watching loop's work");
            if (readiness_readable(10ms)) run_ready_link_work(/*yield_to_large_transfers=*/true);
        }
    }
};

TEST(Link, WithNoLoopWatchingItsOwnThreadRunsTheWork) {
    auto probe = std::make_shared<Probe>();
    std::thread([&] { launch(after_a_pause(), record(probe)); }).join();
    const auto outcomes = probe->wait();
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(std::get<Bytes>(outcomes[0]), Bytes{0x2a});
    EXPECT_NE(probe->thread, std::this_thread::get_id());
}

// Loops that watch but do not run (kept for later, blocked in user code): their ready work is taken over by
// the link's own thread, with the default grace.
TEST(Link, WorkThatWatchingLoopsLeaveIsTakenOverByTheOwnThread) {
    for (int watchers : {1, 3}) {
        for (int i = 0; i < watchers; ++i) loop_started_watching_link();
        auto probe = std::make_shared<Probe>();
        launch(after_a_pause(), record(probe));  // its timer ends while nobody runs the link
        const auto outcomes = probe->wait();
        ASSERT_EQ(outcomes.size(), 1u);
        EXPECT_EQ(std::get<Bytes>(outcomes[0]), Bytes{0x2a});
        EXPECT_NE(probe->thread, std::this_thread::get_id());
        for (int i = 0; i < watchers; ++i) loop_stopped_watching_link();
    }
}

TEST(Link, AWatchingLoopRunsTimersAndWorkHandedOverByOtherThreads) {
    WatchingLoop loop;
    auto probe = std::make_shared<Probe>();
    launch(after_a_pause(), record(probe));  // starts here, then waits on the timer
    loop.run_until([&] {
        std::lock_guard hold(probe->mutex);
        return !probe->outcomes.empty();
    });
    EXPECT_EQ(probe->thread, std::this_thread::get_id());

    // Handed over from a thread that does not run the link: the kick makes the descriptor readable.
    std::atomic<std::thread::id> ran_on{};
    const auto strand = make_link_strand();
    std::thread([&] { asio::post(strand, [&] { ran_on = std::this_thread::get_id(); }); }).join();
    loop.run_until([&] { return ran_on.load() != std::thread::id(); });
    EXPECT_EQ(ran_on.load(), std::this_thread::get_id());
}

TEST(Link, WorkHandedOverByAThreadThatRunsItAtOnceNeedsNoKick) {
    WatchingLoop loop;
    run_ready_link_work();  // whatever the link's creation left ready
    ASSERT_FALSE(readiness_readable(0ms));
    bool ran = false;
    {
        RunningLinkSoon soon;
        asio::post(make_link_strand(), [&] { ran = true; });
    }
    EXPECT_FALSE(readiness_readable(0ms));
    EXPECT_TRUE(run_ready_link_work(/*yield_to_large_transfers=*/true));
    EXPECT_TRUE(ran);
}

TEST(Link, ALargeTransferIsLeftToTheLinksOwnThread) {
    std::atomic<bool> ran{false};
    std::optional<WatchingLoop> loop(std::in_place);
    {
        LargeTransfer large;
        {
            RunningLinkSoon soon;
            asio::post(make_link_strand(), [&] { ran = true; });
        }
        EXPECT_FALSE(run_ready_link_work(/*yield_to_large_transfers=*/true));
        EXPECT_FALSE(ran.load());
        EXPECT_TRUE(readiness_readable(0ms));  // left for whoever watches next
        loop.reset();                           // the loop steps back, as event loops do
        EXPECT_TRUE(eventually([&] { return ran.load(); }));
    }
    EXPECT_FALSE(large_transfer_in_progress());
}

}  // namespace
}  // namespace tarnel::runtime
