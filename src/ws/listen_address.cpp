// Forming the listening endpoints from "host:port".
#include "ws/listen_address.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <charconv>

namespace tarnel::ws {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {
std::optional<std::uint16_t> parse_port(std::string_view text) {
    std::uint16_t port = 0;
    if (text.empty() || text.front() == '+') return std::nullopt;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return port;
}
}  // namespace

std::optional<tcp::endpoint> literal_socket_address(const std::string& text) {
    boost::system::error_code ec;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find("]:");
        if (close == std::string::npos) return std::nullopt;
        auto address = asio::ip::make_address_v6(text.substr(1, close - 1), ec);
        auto port = parse_port(std::string_view(text).substr(close + 2));
        if (ec || !port) return std::nullopt;
        return tcp::endpoint(address, *port);
    }
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) return std::nullopt;
    auto address = asio::ip::make_address_v4(text.substr(0, colon), ec);
    auto port = parse_port(std::string_view(text).substr(colon + 1));
    if (ec || !port) return std::nullopt;
    return tcp::endpoint(address, *port);
}

asio::awaitable<std::variant<Endpoints, std::string>> resolve_listen_address(const std::string& text) {
    if (auto literal = literal_socket_address(text)) co_return Endpoints{*literal};
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) co_return std::string("invalid socket address");
    const auto port = parse_port(std::string_view(text).substr(colon + 1));
    if (!port) co_return std::string("invalid port value");
    // Asio runs getaddrinfo on its own resolver thread, so a slow lookup never holds a worker thread.
    tcp::resolver resolver(co_await asio::this_coro::executor);
    auto [ec, results] = co_await resolver.async_resolve(text.substr(0, colon), std::to_string(*port),
                                                         tcp::resolver::numeric_service,
                                                         asio::as_tuple(asio::use_awaitable));
    if (ec) co_return ec.message();
    Endpoints endpoints;
    for (const auto& entry : results) endpoints.push_back(entry.endpoint());
    co_return endpoints;
}

}  // namespace tarnel::ws
