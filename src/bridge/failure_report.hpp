// Exceptions caught on the runtime's threads and in the bridge, reported the way the interpreter reports
// an exception it could not raise (sys.unraisablehook), and the future they leave pending failed.
#pragma once

#include <string>
#include <string_view>

namespace tarnel::bridge {

// Installs the runtime's failure sink (runtime/failure_report.hpp). Called at module initialisation.
void install_failure_report();

// In a catch block, with the interpreter lock held: reports the exception being handled as caught in
// `where`, and returns its text (for the panic that fails the call it belonged to).
std::string report_unraisable(std::string_view where) noexcept;

// The same for the interpreter's current exception (which must be set; it is cleared): reported as
// "<type>: <text>" escaped from `where`, with the exception itself as the report's cause and its traceback
// as the report's. Returns the "<type>: <text>".
std::string report_python_unraisable(std::string_view where) noexcept;

}  // namespace tarnel::bridge
