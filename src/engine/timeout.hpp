// The timeout_secs argument: its float conversion, its default, and the duration it becomes.
#pragma once

#include "module/py_error.hpp"
#include "runtime/duration.hpp"

namespace tarnel::engine {

// None or absent gives `default_seconds`; otherwise the interpreter's float conversion, a TypeError
// named "argument 'timeout_secs': ...".
py::Result<double> timeout_seconds(py::handle obj, double default_seconds);

// Seconds as whole seconds and nanoseconds, rounded to the nearest nanosecond (ties to even). A negative
// value, NaN, an infinity or 2^64 seconds and more are abnormal: they throw bridge::Panic with
// "cannot convert float seconds to Duration: ...". Negative zero gives zero.
runtime::Duration seconds_to_duration(double seconds);

}  // namespace tarnel::engine
