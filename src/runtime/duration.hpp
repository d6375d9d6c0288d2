// A time-out as whole seconds and nanoseconds, and the deadline it gives.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace tarnel::runtime {

struct Duration {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;
};

// Now plus the duration, or nothing when the sum does not fit the clock (an effectively unlimited wait).
std::optional<std::chrono::steady_clock::time_point> deadline_after(Duration timeout);

}  // namespace tarnel::runtime
