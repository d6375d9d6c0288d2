// Reading the HTTP upgrade request: RFC 6455 validation and the exact 101 response.
#pragma once

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <optional>
#include <string>

namespace tarnel::ws {

namespace http = boost::beast::http;

using UpgradeRequest = http::request<http::empty_body>;

// Largest request header accepted; an upgrade request is a few hundred bytes.
inline constexpr std::uint32_t kUpgradeHeaderLimit = 8 * 1024;

// Nothing when the request is a valid WebSocket upgrade (GET, HTTP/1.1 or later, Connection with the
// "upgrade" token, Upgrade "websocket", a Sec-WebSocket-Key, Sec-WebSocket-Version 13); otherwise what
// is wrong with it.
std::optional<std::string> upgrade_request_problem(const UpgradeRequest& request);

// The 101 response: the request's HTTP version, then exactly Connection, Upgrade and
// Sec-WebSocket-Accept, in that order, and nothing else.
std::string switching_protocols_response(const UpgradeRequest& request);

// The Sec-WebSocket-Accept value for a Sec-WebSocket-Key.
std::string websocket_accept_key(std::string_view key);

}  // namespace tarnel::ws
