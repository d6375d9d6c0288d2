// A failure while the link reads an answer belongs to the call that waits for it: an allocation failure for
// a large answer fails that call at once with a panic (it used to escape to the link's run, be reported
// there, and leave the call to its deadline), and the connection, whose stream is then in an unknown state,
// is dropped as after a failed transport.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "runtime/failure_report.hpp"
#include "runtime/task.hpp"
#include "ws/engine_link.hpp"
#include "ws/link_test_support.hpp"
#include "ws/test_seams.hpp"

namespace tarnel::ws {
namespace {

using namespace std::chrono_literals;
using namespace test_support;

std::mutex g_reports_mutex;
std::vector<std::string> g_reports;

void collect(std::string_view where, std::string_view what) {
    std::lock_guard hold(g_reports_mutex);
    g_reports.push_back(std::string(where) + ": " + std::string(what));
}

TEST(ReceiveFailure, AnAllocationFailureForALargeAnswerFailsItsCallAtOnceAndDropsTheConnection) {
    WatchingLoop loop;
    HeldPort port;
    EngineLink engine("127.0.0.1", port.port(), 1);
    run_to_end(loop, engine.start());
    constexpr std::size_t kAnswerBytes = 3 * 1024 * 1024;
    Page page(port.port(), [](std::uint32_t, std::uint16_t) { return Bytes(kAnswerBytes, 0x11); });
    run_to_end(loop, engine.wait_connected(std::nullopt));

    runtime::set_failure_sink(collect);
    std::atomic<int> refused{0};
    test_seams::set_large_receive_allocation([&](std::size_t) {
        ++refused;
        throw std::bad_alloc();
    });
    struct ClearedAtTheEnd {
        ~ClearedAtTheEnd() {
            test_seams::set_large_receive_allocation(nullptr);
            runtime::set_failure_sink(nullptr);
        }
    } cleared;

    page.allow(1);
    constexpr runtime::Duration kTimeout{60, 0};
    constexpr std::uint16_t kGetOhlc = 15;
    const auto before = std::chrono::steady_clock::now();
    auto call = launch_for_outcome(engine.call(kGetOhlc, {}, kTimeout));
    // Far less than the call's time-out: only a call left to its deadline takes longer.
    ASSERT_TRUE(loop.run_until(call, 10s)) << "the call waited for its deadline";
    EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
    EXPECT_EQ(describe(call.get()), "a panic: std::bad_alloc");
    EXPECT_GE(refused.load(), 1);
    {
        std::lock_guard hold(g_reports_mutex);
        EXPECT_TRUE(g_reports.empty()) << "handed to the call, not reported: " << g_reports.front();
    }

    // The connection went: the page sees its end, and the next call finds no page.
    EXPECT_TRUE(page.ended_within(10s));
    auto next = launch_for_outcome(engine.call(kGetOhlc, {}, kTimeout));
    ASSERT_TRUE(loop.run_until(next, 10s));
    EXPECT_EQ(describe(next.get()), "EngineError: RpcTransportError(seq=None, fnId=Some(15)): no websocket connected");
    run_to_end(loop, engine.close());
}

}  // namespace
}  // namespace tarnel::ws
