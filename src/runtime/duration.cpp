// Deadlines from time-outs, saturating to "no deadline" when the sum would overflow the clock.
#include "runtime/duration.hpp"

namespace tarnel::runtime {

std::optional<std::chrono::steady_clock::time_point> deadline_after(Duration timeout) {
    using clock = std::chrono::steady_clock;
    const auto now = clock::now();
    const auto headroom = std::chrono::duration_cast<std::chrono::seconds>(clock::time_point::max() - now);
    // Keep one second spare for the nanoseconds part.
    if (timeout.secs >= static_cast<std::uint64_t>(headroom.count())) return std::nullopt;
    return now + std::chrono::seconds(timeout.secs) + std::chrono::nanoseconds(timeout.nanos);
}

}  // namespace tarnel::runtime
