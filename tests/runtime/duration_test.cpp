// Deadlines from time-outs: exact sums, and "no deadline" when the sum would overflow the clock.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>

#include "runtime/duration.hpp"

namespace tarnel::runtime {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

TEST(DeadlineAfter, AddsSecondsAndNanosecondsToNow) {
    const auto before = Clock::now();
    const auto deadline = deadline_after(Duration{3, 250'000'000});
    const auto after = Clock::now();
    ASSERT_TRUE(deadline.has_value());
    EXPECT_GE(*deadline, before + 3250ms);
    EXPECT_LE(*deadline, after + 3250ms);

    const auto nanos_only = deadline_after(Duration{0, 999'999'999});
    ASSERT_TRUE(nanos_only.has_value());
    EXPECT_GE(*nanos_only, after + 999'999'999ns);
}

TEST(DeadlineAfter, ZeroIsNow) {
    const auto before = Clock::now();
    const auto deadline = deadline_after(Duration{0, 0});
    ASSERT_TRUE(deadline.has_value());
    EXPECT_GE(*deadline, before);
    EXPECT_LE(*deadline, Clock::now());
}

TEST(DeadlineAfter, HugeDurationsMeanNoDeadline) {
    // The clock counts nanoseconds in 64 bits, so it ends about 292 years after its epoch.
    EXPECT_FALSE(deadline_after(Duration{std::numeric_limits<std::uint64_t>::max(), 999'999'999}));
    EXPECT_FALSE(deadline_after(Duration{std::uint64_t{1} << 63, 0}));
    EXPECT_FALSE(deadline_after(Duration{10'000'000'000'000, 0}));  // about 317,000 years
    EXPECT_FALSE(deadline_after(Duration{300ull * 365 * 24 * 3600, 0}));
}

TEST(DeadlineAfter, LongButRepresentableDurationsKeepTheirDeadline) {
    const auto hundred_years = std::uint64_t{100} * 365 * 24 * 3600;
    const auto before = Clock::now();
    const auto deadline = deadline_after(Duration{hundred_years, 5});
    ASSERT_TRUE(deadline.has_value());
    EXPECT_GE(*deadline, before + std::chrono::seconds(hundred_years));
}

}  // namespace
}  // namespace tarnel::runtime
