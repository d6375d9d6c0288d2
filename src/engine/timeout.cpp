// Time-out conversion: exact rounding of a float number of seconds to nanoseconds.
#include "engine/timeout.hpp"

#include <bit>
#include <cmath>

#include "bridge/exceptions.hpp"
#include "module/conversions.hpp"

namespace tarnel::engine {

py::Result<double> timeout_seconds(py::handle obj, double default_seconds) {
    if (!obj || obj.ptr() == Py_None) return default_seconds;
    return py::argument("timeout_secs", obj, py::to_float);
}

runtime::Duration seconds_to_duration(double seconds) {
    if (seconds < 0.0) throw bridge::Panic("cannot convert float seconds to Duration: value is negative");
    if (!(seconds < 18446744073709551616.0)) {  // NaN, infinity, or 2^64 and more
        throw bridge::Panic("cannot convert float seconds to Duration: value is either too big or NaN");
    }
    // seconds = mantissa * 2^exponent exactly; nanoseconds = mantissa * 10^9 * 2^exponent, which fits in
    // 128 bits before the shift, so the rounding below is exact.
    const auto bits = std::bit_cast<std::uint64_t>(seconds);
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
    int exponent;
    if (biased == 0) {
        exponent = -1074;  // subnormal (or zero)
    } else {
        mantissa |= std::uint64_t{1} << 52;
        exponent = biased - 1075;
    }
    using Wide = unsigned __int128;
    Wide nanos = Wide{mantissa} * 1'000'000'000u;
    if (exponent >= 0) {
        nanos <<= exponent;  // below 2^64 seconds, so no overflow of 128 bits
    } else if (exponent <= -128) {
        nanos = 0;  // below 2^-44 ns
    } else {
        const int shift = -exponent;
        const Wide remainder = nanos & ((Wide{1} << shift) - 1);
        const Wide half = Wide{1} << (shift - 1);
        nanos >>= shift;
        if (remainder > half || (remainder == half && (nanos & 1) != 0)) ++nanos;
    }
    const Wide whole = nanos / 1'000'000'000u;
    if (whole > ~std::uint64_t{0}) {
        throw bridge::Panic("cannot convert float seconds to Duration: value is either too big or NaN");
    }
    return runtime::Duration{static_cast<std::uint64_t>(whole), static_cast<std::uint32_t>(nanos % 1'000'000'000u)};
}

}  // namespace tarnel::engine
