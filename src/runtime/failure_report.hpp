// Exceptions that the runtime's threads catch and cannot hand to a call: reported, never swallowed.
//
// A handler that throws out of the link's poll or a worker's run is caught there (letting it go would end
// the thread, and with it the process), and a completion callback that throws is caught where it is
// called. Each is reported once through the sink the module installs (the interpreter's report of an
// exception it could not raise), or as one line on standard error before one is installed. Free of Asio
// and Python, so that every layer can report.
#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace tarnel::runtime {

// `where`: what caught it ("the link", "a worker thread", "a call's completion"); `what`: its text.
using FailureSink = void (*)(std::string_view where, std::string_view what);
void set_failure_sink(FailureSink sink);

// The text of a caught exception ("unknown exception" for one that is not a std::exception).
std::string describe_failure(const std::exception_ptr& failure);

// Reports the exception being handled (call it in a catch block). Never throws.
void report_caught(std::string_view where) noexcept;

}  // namespace tarnel::runtime
