// The accept loop's log: one whole line per event on standard error.
#pragma once

#include <string_view>

namespace tarnel::ws {

// Writes "[tarnel ws server] " + text + "\n" with a single write(2), so that lines written from
// different worker threads never interleave.
void log_line(std::string_view text);

}  // namespace tarnel::ws
