// The listening address: "host:port" as text, read as a literal socket address or looked up.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tarnel::ws {

using Endpoints = std::vector<boost::asio::ip::tcp::endpoint>;

// "1.2.3.4:80" or "[::1]:80" (optionally with a scope) as one endpoint; anything else is not literal.
std::optional<boost::asio::ip::tcp::endpoint> literal_socket_address(const std::string& text);

// The endpoints for "host:port": a literal address as itself; otherwise the text is split at its last
// ":" and the host is looked up by the system's resolver (off the worker threads). On failure, the
// resolver's (or the port parser's) description.
boost::asio::awaitable<std::variant<Endpoints, std::string>> resolve_listen_address(const std::string& text);

}  // namespace tarnel::ws
