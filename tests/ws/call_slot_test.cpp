// A call holds its engine's slot from its send to the end of its receive: another thread's call that comes
// at any step of it (the seams of ws/test_seams.hpp) waits for the slot, and each call gets its own answer.
// A call that came between a send and its receive used to read the other call's answer, fail with a seq
// mismatch and drop the connection.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <ostream>
#include <thread>

#include "runtime/task.hpp"
#include "ws/engine_link.hpp"
#include "ws/link_test_support.hpp"
#include "ws/test_seams.hpp"

namespace tarnel::ws {
namespace test_seams {
// The step's name, in test names and failure messages.
void PrintTo(CallStep step, std::ostream* out) {
    switch (step) {
        case CallStep::Numbered: *out << "Numbered"; return;
        case CallStep::Sent: *out << "Sent"; return;
        case CallStep::AnswerNotThereYet: *out << "AnswerNotThereYet"; return;
    }
    *out << "Unknown";
}
}  // namespace test_seams

namespace {

using namespace std::chrono_literals;
using namespace test_support;
using test_seams::CallStep;

constexpr runtime::Duration kTimeout{60, 0};
constexpr std::uint16_t kFirstFn = 12;
constexpr std::uint16_t kSecondFn = 13;

// Each answer carries the fn id it answers, so a call can tell its own answer from another's.
Bytes fn_id_bytes(std::uint16_t fn_id) { return Bytes{static_cast<std::uint8_t>(fn_id), static_cast<std::uint8_t>(fn_id >> 8)}; }

class AnotherThreadsCall : public ::testing::TestWithParam<CallStep> {};

TEST_P(AnotherThreadsCall, AtAStepOfACallWaitsForTheSlotAndEachGetsItsOwnAnswer) {
    const CallStep at = GetParam();
    WatchingLoop loop;
    HeldPort port;
    EngineLink engine("127.0.0.1", port.port(), 1);
    run_to_end(loop, engine.start());
    Page page(port.port(), [](std::uint32_t, std::uint16_t fn_id) { return fn_id_bytes(fn_id); });
    run_to_end(loop, engine.wait_connected(std::nullopt));

    // At the step, the first call's answer is made to arrive (once its request is out), and then a second
    // call is made from another thread, as a direct call would be: it tries the slot at once.
    std::shared_future<runtime::TaskOutcome> second;
    std::atomic<bool> seam_ran{false};
    std::promise<void> seam_done;
    auto seam_ended = seam_done.get_future();
    struct ClearedAtTheEnd {
        ~ClearedAtTheEnd() { test_seams::set_call_step(nullptr); }
    } seam_cleared;
    test_seams::set_call_step([&](CallStep step) {
        if (step != at || seam_ran.exchange(true)) return;
        if (step != CallStep::Numbered) {
            EXPECT_TRUE(page.answer_one());
        }
        std::thread([&] { second = launch_for_outcome(engine.call(kSecondFn, {}, kTimeout)); }).join();
        seam_done.set_value();
    });
    // Beyond the direct lane's size, the first call goes through its coroutine, where Numbered and Sent are;
    // a small one goes directly, and waits for its answer at AnswerNotThereYet.
    const Bytes first_payload(at == CallStep::AnswerNotThereYet ? 0 : 100 * 1024, 0x5A);
    auto first = launch_for_outcome(engine.call(kFirstFn, first_payload, kTimeout));
    // Before the first call's request is out, the page may answer both calls as their requests come.
    if (at == CallStep::Numbered) page.allow(2);
    ASSERT_TRUE(loop.run_until(seam_ended, 10s)) << "the call never reached the step";
    if (at != CallStep::Numbered) page.allow(1);
    ASSERT_TRUE(loop.run_until(first, 10s)) << "the first call never ended";
    ASSERT_TRUE(second.valid());
    ASSERT_TRUE(loop.run_until(second, 10s)) << "the second call never ended";

    EXPECT_EQ(describe(first.get()), describe(runtime::TaskOutcome(fn_id_bytes(kFirstFn))));
    EXPECT_EQ(describe(second.get()), describe(runtime::TaskOutcome(fn_id_bytes(kSecondFn))));

    // The connection stayed: a third call is answered on it.
    page.allow(1);
    auto third = launch_for_outcome(engine.call(kFirstFn, {}, kTimeout));
    ASSERT_TRUE(loop.run_until(third, 10s));
    EXPECT_TRUE(std::holds_alternative<Bytes>(third.get())) << describe(third.get());
    run_to_end(loop, engine.close());
}

INSTANTIATE_TEST_SUITE_P(EveryStep, AnotherThreadsCall,
                         ::testing::Values(CallStep::Numbered, CallStep::Sent, CallStep::AnswerNotThereYet),
                         [](const ::testing::TestParamInfo<CallStep>& step) {
                             return ::testing::PrintToString(step.param);
                         });

}  // namespace
}  // namespace tarnel::ws
