// RFC 6455 opening handshake, server side: request validation and the response bytes.
#include "ws/upgrade_request.hpp"

#include "runtime/dependency_internals.hpp"

#include <boost/beast/core/string.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

namespace tarnel::ws {

namespace {
// Whether a comma-separated header value lists `token` (compared without regard to case).
bool lists_token(boost::beast::string_view value, boost::beast::string_view token) {
    return http::token_list(value).exists(token);
}
}  // namespace

std::optional<std::string> upgrade_request_problem(const UpgradeRequest& request) {
    if (request.method() != http::verb::get) return "not a WebSocket upgrade: method is not GET";
    if (request.version() < 11) return "not a WebSocket upgrade: HTTP version below 1.1";
    if (!lists_token(request[http::field::connection], "upgrade")) {
        return "not a WebSocket upgrade: no Connection: upgrade";
    }
    if (!lists_token(request[http::field::upgrade], "websocket")) {
        return "not a WebSocket upgrade: no Upgrade: websocket";
    }
    const auto key = request[http::field::sec_websocket_key];
    if (key.empty() || key.size() > internals::websocket_key_capacity()) {
        return "not a WebSocket upgrade: missing or malformed Sec-WebSocket-Key";
    }
    if (request[http::field::sec_websocket_version] != "13") {
        return "not a WebSocket upgrade: Sec-WebSocket-Version is not 13";
    }
    return std::nullopt;
}

std::string websocket_accept_key(std::string_view key) { return internals::websocket_accept_key(key); }

std::string switching_protocols_response(const UpgradeRequest& request) {
    const unsigned version = request.version();
    const auto key = request[http::field::sec_websocket_key];
    return "HTTP/" + std::to_string(version / 10) + "." + std::to_string(version % 10) +
           " 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Accept: " +
           websocket_accept_key(std::string_view(key.data(), key.size())) + "\r\n\r\n";
}

}  // namespace tarnel::ws
