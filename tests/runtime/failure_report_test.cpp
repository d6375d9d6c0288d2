// Exceptions caught on the runtime's threads are reported, and a call whose completion threw still ends.
#include <gtest/gtest.h>

#include "runtime/waiting.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <atomic>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/failure_report.hpp"
#include "runtime/link.hpp"
#include "runtime/link_executor.hpp"
#include "runtime/runtime.hpp"

namespace tarnel::runtime {
namespace {

using namespace tarnel::runtime::test_support;

std::mutex g_reports_mutex;
std::vector<std::string> g_reports;

void collect(std::string_view where, std::string_view what) {
    std::lock_guard hold(g_reports_mutex);
    g_reports.push_back(std::string(where) + ": " + std::string(what));
}

// Collects the reports for one test.
class Reports {
public:
    Reports() {
        std::lock_guard hold(g_reports_mutex);
        g_reports.clear();
        set_failure_sink(collect);
    }
    ~Reports() { set_failure_sink(nullptr); }
    std::vector<std::string> taken() {
        std::lock_guard hold(g_reports_mutex);
        return g_reports;
    }
};

// Where a completion runs: a worker (a task on a strand of the runtime) or the link.
class CaughtOn : public ::testing::TestWithParam<bool> {};

TEST_P(CaughtOn, ACompletionThatThrowsIsReportedAndCalledAgainWithAPanic) {
    Reports reports;
    const bool on_link = GetParam();
    auto calls = std::make_shared<std::vector<TaskOutcome>>();
    auto second = std::make_shared<std::promise<void>>();
    auto executor = on_link ? make_link_strand() : asio::any_io_executor(asio::make_strand(context()));
    launch(make_task(executor, []() -> asio::awaitable<Expected<Bytes>> { co_return Bytes{7}; }),
           [calls, second](TaskOutcome outcome) {
               calls->push_back(std::move(outcome));
               if (calls->size() == 1) throw std::runtime_error("no room for the result");
               second->set_value();
           });
    if (on_link) run_ready_link_work();
    require_ready(second->get_future(), "the completion's second call");
    ASSERT_EQ(calls->size(), 2u);
    EXPECT_EQ(std::get<Bytes>((*calls)[0]), Bytes{7});
    EXPECT_EQ(std::get<Abnormal>((*calls)[1]).message, "its completion failed: no room for the result");
    EXPECT_EQ(reports.taken(), std::vector<std::string>{"a call's completion: no room for the result"});
}
INSTANTIATE_TEST_SUITE_P(WorkerOrLink, CaughtOn, ::testing::Bool());

TEST(FailureReport, AHandlerThatThrowsOutOfTheLinkIsReportedAndTheRestStillRuns) {
    Reports reports;
    const auto strand = make_link_strand();
    std::atomic<bool> ran_after{false};
    {
        RunningLinkSoon soon;
        asio::post(strand, [] { throw std::logic_error("a handler's fault"); });
        asio::post(strand, [&] { ran_after = true; });
    }
    // This thread runs the link, unless the link's own thread (which drives it while no loop watches) got
    // there first: either way the handler after the one that threw runs, and the fault is reported.
    run_ready_link_work();
    EXPECT_TRUE(eventually([&] { return ran_after.load(); }));
    EXPECT_EQ(reports.taken(), std::vector<std::string>{"the link: a handler's fault"});
}

TEST(FailureReport, WorkAtLaunchThatThrowsFailsItsCallWithAPanicNotTheLaunch) {
    Reports reports;
    std::atomic<bool> coroutine_ran{false};
    auto probe = std::make_shared<Probe>();
    launch(make_task(
               make_link_strand(),
               [&]() -> asio::awaitable<Expected<Bytes>> {
                   coroutine_ran = true;
                   co_return Bytes{};
               },
               []() -> std::optional<Expected<Bytes>> { throw std::runtime_error("no room for the request"); }),
           record(probe));
    const std::vector<TaskOutcome> outcomes = probe->wait();
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(std::get<Abnormal>(outcomes[0]).message, "no room for the request");
    EXPECT_FALSE(coroutine_ran.load());
    EXPECT_TRUE(reports.taken().empty());  // handed to the call, not reported
}

}  // namespace
}  // namespace tarnel::runtime
