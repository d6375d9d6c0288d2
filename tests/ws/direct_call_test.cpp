// A call whose answer arrives while it is being made never waits for its deadline: the link is run
// between the call's direct read, which found nothing, and the start of its wait (the interleaving a busy
// machine makes now and then), and the call must still end at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>

#include "runtime/link.hpp"
#include "runtime/task.hpp"
#include "ws/engine_link.hpp"
#include "ws/link_test_support.hpp"
#include "ws/test_seams.hpp"

namespace tarnel::ws {
namespace {

using namespace std::chrono_literals;
using namespace test_support;

TEST(DirectCall, AnAnswerWhoseReadinessARunConsumedBeforeTheWaitStillEndsTheCallAtOnce) {
    WatchingLoop loop;
    HeldPort port;
    EngineLink engine("127.0.0.1", port.port(), 1);
    run_to_end(loop, engine.start());
    Page page(port.port(), [](std::uint32_t, std::uint16_t) { return Bytes{}; });
    run_to_end(loop, engine.wait_connected(std::nullopt));

    // The page answers after the request is written and the direct read found nothing, before the call's
    // wait starts; the link is then run as another thread would, which polls the reactor and consumes the
    // socket's readiness.
    std::atomic<int> seams_run{0};
    test_seams::set_call_step([&](test_seams::CallStep step) {
        if (step != test_seams::CallStep::AnswerNotThereYet) return;
        ASSERT_TRUE(page.answer_one());
        ASSERT_TRUE(readiness_readable(10s));
        runtime::run_ready_link_work();
        ASSERT_FALSE(readiness_readable(0ms)) << "the run left the answer's readiness";
        ++seams_run;
    });
    constexpr runtime::Duration kTimeout{60, 0};
    constexpr std::uint16_t kGetSnapshot = 12;
    for (int call = 0; call < 6; ++call) {
        const int seams_before = seams_run;
        // Shared with the completion: a call that fails this test still ends later, at its deadline.
        auto outcome = std::make_shared<std::promise<bool>>();
        auto ended = outcome->get_future();
        runtime::launch(engine.call(kGetSnapshot, {}, kTimeout), [outcome](runtime::TaskOutcome result) {
            outcome->set_value(std::holds_alternative<Bytes>(result));
        });
        // A call that did not reach the wait (the first ones: answers have not come late yet) is answered now.
        if (seams_run == seams_before) {
            EXPECT_TRUE(page.answer_one());
        }
        // Far less than the call's time-out: the answer is there, so only a lost wake-up could hold it.
        ASSERT_TRUE(loop.run_until(ended, 5s)) << "call " << call << " waited for its deadline";
        EXPECT_TRUE(ended.get());
    }
    test_seams::set_call_step(nullptr);
    EXPECT_GE(seams_run.load(), 3) << "the calls' answers were always there at the call";
    run_to_end(loop, engine.close());
}

}  // namespace
}  // namespace tarnel::ws
