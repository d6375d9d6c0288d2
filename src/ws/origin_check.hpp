// Which web origins may open the WebSocket: the loopback origins and the hosted application's.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tarnel::ws {

// Tested in this order. An entry admits an origin equal to it, or continuing right after it with ":"
// (a port); anything else, such as "http://localhost.evil.example", is refused.
inline constexpr std::array<std::string_view, 6> kAllowedOrigins = {
    "http://127.0.0.1", "http://localhost",   "https://127.0.0.1",
    "https://localhost", "https://tarnel.app", "https://beta.tarnel.app",
};

// The bytes written to a refused client: a bare status line and an empty header block.
inline constexpr std::string_view kForbiddenResponse = "HTTP/1.1 403 Forbidden\r\n\r\n";

struct OriginDecision {
    bool accepted = true;
    std::string origin;  // the value as compared (trailing "/" removed), for the log line
};

// `origin` is the value of the request's first Origin field, if any. A value holding a byte other than
// tab or 32..126 counts as no origin; requests without an origin (clients that are not browsers) pass.
OriginDecision check_origin(std::optional<std::string_view> origin);

}  // namespace tarnel::ws
