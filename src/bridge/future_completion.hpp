// Completing a call's future, and failing it with TarnelPanic when that raises: no call is left pending
// because its outcome could not be handed over.
#pragma once

#include <string>

#include "module/pyref.hpp"

namespace tarnel::bridge {

// The TarnelPanic ("tarnel future panicked: <message>") a call fails with when it failed abnormally; the
// error raised while making it, if that fails.
py::object panic_value(const std::string& message);

// With the interpreter lock held, on the future's loop's thread: future.set_result(value), or
// future.set_exception(value) when `is_exception`. If that raises (a future or loop of the user's that
// refuses it), see fail_after_refused_outcome.
void complete_or_panic(py::handle future, bool is_exception, py::handle value) noexcept;

// After handing `future` its outcome raised (the exception is set): reports it through sys.unraisablehook
// as escaped from "a call's delivery", then fails the future, unless it is done already, with TarnelPanic
// ("its delivery failed: <type>: <text>"), once. If that raises too, it is reported as well and the future
// is let go: nothing is tried a third time.
void fail_after_refused_outcome(py::handle future) noexcept;

}  // namespace tarnel::bridge
