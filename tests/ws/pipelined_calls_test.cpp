// Calls of one engine made together go out together: each sends its request while the earlier ones still
// wait for their answers, and each reads its own answer, in the order of the requests. A call that gives
// up in line, or whose connection goes while it waits, leaves the others their answers.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <future>

#include "runtime/task.hpp"
#include "ws/engine_link.hpp"
#include "ws/link_test_support.hpp"

namespace tarnel::ws {
namespace {

using namespace std::chrono_literals;
using namespace test_support;

constexpr runtime::Duration kTimeout{60, 0};

// Each answer carries the fn id it answers, so a call can tell its own answer from another's.
Bytes fn_id_bytes(std::uint16_t fn_id) { return Bytes{static_cast<std::uint8_t>(fn_id), static_cast<std::uint8_t>(fn_id >> 8)}; }
Page::Answer echo_fn_id() {
    return [](std::uint32_t, std::uint16_t fn_id) { return fn_id_bytes(fn_id); };
}
// Answers as echo_fn_id() does, counting the requests the page has read.
Page::Answer counting(std::atomic<int>& requests) {
    return [&requests](std::uint32_t, std::uint16_t fn_id) {
        ++requests;
        return fn_id_bytes(fn_id);
    };
}
// Runs the link, as a loop would, until the page has read `count` requests (or 10 s have passed).
bool page_read(const std::atomic<int>& requests, int count) {
    const auto limit = std::chrono::steady_clock::now() + 10s;
    while (requests < count && std::chrono::steady_clock::now() < limit) {
        if (readiness_readable(10ms)) runtime::run_ready_link_work();
    }
    return requests == count;
}

// Three calls made at once, one large enough to go through its coroutine: the page reads all three
// requests before it answers any, which only works if none waited for an earlier answer to send.
TEST(PipelinedCalls, RequestsGoOutBeforeTheEarlierAnswersAndEachCallReadsItsOwn) {
    WatchingLoop loop;
    HeldPort port;
    EngineLink engine("127.0.0.1", port.port(), 1);
    run_to_end(loop, engine.start());
    Page page(port.port(), echo_fn_id(), 3);
    run_to_end(loop, engine.wait_connected(std::nullopt));
    page.allow(3);

    const std::array<std::uint16_t, 3> fns{21, 31, 130};
    auto first = launch_for_outcome(engine.call(fns[0], {}, kTimeout));
    auto second = launch_for_outcome(engine.call(fns[1], Bytes(100 * 1024, 0x5A), kTimeout));
    auto third = launch_for_outcome(engine.call(fns[2], {}, kTimeout));
    ASSERT_TRUE(loop.run_until(third, 10s)) << "the third call never ended: a request waited for an answer";
    ASSERT_TRUE(loop.run_until(first, 10s));
    ASSERT_TRUE(loop.run_until(second, 10s));
    EXPECT_EQ(describe(first.get()), describe(runtime::TaskOutcome(fn_id_bytes(fns[0]))));
    EXPECT_EQ(describe(second.get()), describe(runtime::TaskOutcome(fn_id_bytes(fns[1]))));
    EXPECT_EQ(describe(third.get()), describe(runtime::TaskOutcome(fn_id_bytes(fns[2]))));
    run_to_end(loop, engine.close());
}

// The middle call gives up while it waits in line: its late answer is skipped by the call behind it, and
// the connection stays.
TEST(PipelinedCalls, ACallAbandonedInLineLeavesTheNextItsOwnAnswer) {
    WatchingLoop loop;
    HeldPort port;
    EngineLink engine("127.0.0.1", port.port(), 1);
    run_to_end(loop, engine.start());
    std::atomic<int> requests{0};
    Page page(port.port(), counting(requests), 3);
    run_to_end(loop, engine.wait_connected(std::nullopt));

    auto first = launch_for_outcome(engine.call(11, {}, kTimeout));
    auto second_outcome = std::make_shared<std::promise<runtime::TaskOutcome>>();
    auto second = second_outcome->get_future();
    const runtime::CancelHandle second_handle = runtime::launch(
        engine.call(12, {}, kTimeout), [second_outcome](runtime::TaskOutcome outcome) { second_outcome->set_value(std::move(outcome)); });
    auto third = launch_for_outcome(engine.call(13, {}, kTimeout));
    // All three requests are out (the page has read them) before the second gives up.
    ASSERT_TRUE(page_read(requests, 3));
    second_handle.cancel();
    page.allow(3);
    ASSERT_TRUE(loop.run_until(first, 10s));
    ASSERT_TRUE(loop.run_until(third, 10s));
    EXPECT_EQ(describe(first.get()), describe(runtime::TaskOutcome(fn_id_bytes(11))));
    EXPECT_EQ(describe(third.get()), describe(runtime::TaskOutcome(fn_id_bytes(13))));
    EXPECT_NE(second.wait_for(0s), std::future_status::ready) << "an abandoned call reports no outcome";

    page.allow(1);
    auto fourth = launch_for_outcome(engine.call(14, {}, kTimeout));
    ASSERT_TRUE(loop.run_until(fourth, 10s));
    EXPECT_EQ(describe(fourth.get()), describe(runtime::TaskOutcome(fn_id_bytes(14))));
    run_to_end(loop, engine.close());
}

// The page goes while two calls wait for its answers: the first fails on the dropped link, the second
// (whose request went out on it too) fails without reading anything, neither holds up the next page, and
// the next call is answered by it.
TEST(PipelinedCalls, CallsWaitingInLineOnADroppedConnectionFailAndTheNextPageServes) {
    WatchingLoop loop;
    HeldPort port;
    EngineLink engine("127.0.0.1", port.port(), 1);
    run_to_end(loop, engine.start());
    std::atomic<int> requests{0};
    auto old_page = std::make_unique<Page>(port.port(), counting(requests), 2);
    run_to_end(loop, engine.wait_connected(std::nullopt));

    auto first = launch_for_outcome(engine.call(11, {}, kTimeout));
    auto second = launch_for_outcome(engine.call(12, {}, kTimeout));
    ASSERT_TRUE(page_read(requests, 2));
    old_page.reset();  // it closes its socket without answering
    ASSERT_TRUE(loop.run_until(first, 10s));
    ASSERT_TRUE(loop.run_until(second, 10s));
    for (const auto* outcome : {&first, &second}) {
        const auto* error = std::get_if<EngineError>(&outcome->get());
        ASSERT_NE(error, nullptr) << describe(outcome->get());
        EXPECT_NE(error->text().find("websocket closed"), std::string::npos) << error->text();
    }

    Page new_page(port.port(), echo_fn_id());
    run_to_end(loop, engine.wait_connected(std::nullopt));
    new_page.allow(1);
    auto third = launch_for_outcome(engine.call(13, {}, kTimeout));
    ASSERT_TRUE(loop.run_until(third, 10s));
    EXPECT_EQ(describe(third.get()), describe(runtime::TaskOutcome(fn_id_bytes(13))));
    run_to_end(loop, engine.close());
}

}  // namespace
}  // namespace tarnel::ws
