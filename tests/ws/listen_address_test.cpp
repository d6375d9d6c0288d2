// The listening address: "host:port" read as a literal socket address, or split and looked up.
#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <future>
#include <string>
#include <variant>

#include "ws/listen_address.hpp"

namespace tarnel::ws {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

struct Literal {
    std::string text;
    std::string address;
    unsigned short port;
};

TEST(LiteralSocketAddress, Ipv4AddressAndPort) {
    for (const Literal& c : {
             Literal{"127.0.0.1:8765", "127.0.0.1", 8765},
             Literal{"0.0.0.0:0", "0.0.0.0", 0},
             Literal{"255.255.255.255:65535", "255.255.255.255", 65535},
             Literal{"10.1.2.3:1", "10.1.2.3", 1},
             Literal{"127.0.0.1:0080", "127.0.0.1", 80},
         }) {
        const auto endpoint = literal_socket_address(c.text);
        ASSERT_TRUE(endpoint.has_value()) << c.text;
        EXPECT_TRUE(endpoint->address().is_v4()) << c.text;
        EXPECT_EQ(endpoint->address().to_string(), c.address) << c.text;
        EXPECT_EQ(endpoint->port(), c.port) << c.text;
    }
}

TEST(LiteralSocketAddress, BracketedIpv6AddressAndPort) {
    for (const Literal& c : {
             Literal{"[::1]:8765", "::1", 8765},
             Literal{"[::]:0", "::", 0},
             Literal{"[2001:db8::17]:65535", "2001:db8::17", 65535},
             Literal{"[::ffff:127.0.0.1]:80", "::ffff:127.0.0.1", 80},
         }) {
        const auto endpoint = literal_socket_address(c.text);
        ASSERT_TRUE(endpoint.has_value()) << c.text;
        EXPECT_TRUE(endpoint->address().is_v6()) << c.text;
        EXPECT_EQ(endpoint->address().to_string(), c.address) << c.text;
        EXPECT_EQ(endpoint->port(), c.port) << c.text;
    }
}

TEST(LiteralSocketAddress, Ipv6WithANumericScope) {
    const auto endpoint = literal_socket_address("[fe80::1%1]:9000");
    ASSERT_TRUE(endpoint.has_value());
    EXPECT_TRUE(endpoint->address().is_v6());
    EXPECT_EQ(endpoint->address().to_v6().scope_id(), 1u);
    EXPECT_EQ(endpoint->port(), 9000);
}

TEST(LiteralSocketAddress, TextsThatAreNotLiteral) {
    for (const std::string text : {
             "",
             ":",
             ":80",
             "127.0.0.1",
             "127.0.0.1:",
             "127.0.0.1:65536",
             "127.0.0.1:-1",
             "127.0.0.1:+80",
             "127.0.0.1:8a",
             "127.0.0.1: 80",
             " 127.0.0.1:80",
             "127.0.0.1 :80",
             "127.0.0.1:80:90",
             "127.1:80",
             "256.0.0.1:80",
             "localhost:80",
             "nosuch.invalid:8765",
             "::1:80",
             "::1",
             "[::1]",
             "[::1]:",
             "[::1]80",
             "[::1]:65536",
             "[127.0.0.1]:80",
             "[::1:80",
             "[localhost]:80",
         }) {
        EXPECT_FALSE(literal_socket_address(text).has_value()) << "'" << text << "'";
    }
}

std::variant<Endpoints, std::string> resolve(const std::string& text) {
    asio::io_context context;
    auto result = asio::co_spawn(context, resolve_listen_address(text), asio::use_future);
    context.run_for(std::chrono::seconds(30));
    EXPECT_EQ(result.wait_for(std::chrono::seconds(0)), std::future_status::ready) << text;
    return result.get();
}

TEST(ResolveListenAddress, ALiteralAddressIsItsOnlyEndpoint) {
    const auto resolved = resolve("127.0.0.1:8765");
    ASSERT_TRUE(std::holds_alternative<Endpoints>(resolved));
    const auto& endpoints = std::get<Endpoints>(resolved);
    ASSERT_EQ(endpoints.size(), 1u);
    EXPECT_EQ(endpoints[0], tcp::endpoint(asio::ip::make_address("127.0.0.1"), 8765));

    const auto v6 = resolve("[::1]:1");
    ASSERT_TRUE(std::holds_alternative<Endpoints>(v6));
    ASSERT_EQ(std::get<Endpoints>(v6).size(), 1u);
    EXPECT_EQ(std::get<Endpoints>(v6)[0], tcp::endpoint(asio::ip::make_address("::1"), 1));
}

TEST(ResolveListenAddress, AHostNameIsLookedUpWithThePortAfterTheLastColon) {
    const auto resolved = resolve("localhost:8765");
    ASSERT_TRUE(std::holds_alternative<Endpoints>(resolved)) << std::get<std::string>(resolved);
    const auto& endpoints = std::get<Endpoints>(resolved);
    ASSERT_FALSE(endpoints.empty());
    bool loopback_v4 = false;
    for (const auto& endpoint : endpoints) {
        EXPECT_EQ(endpoint.port(), 8765);
        EXPECT_TRUE(endpoint.address().is_loopback()) << endpoint.address().to_string();
        loopback_v4 = loopback_v4 || endpoint.address() == asio::ip::make_address("127.0.0.1");
    }
    EXPECT_TRUE(loopback_v4);
}

TEST(ResolveListenAddress, FailuresAreDescribed) {
    const auto unknown = resolve("nosuch.invalid:8765");
    ASSERT_TRUE(std::holds_alternative<std::string>(unknown));
    EXPECT_FALSE(std::get<std::string>(unknown).empty());

    for (const std::string text : {"localhost:65536", "localhost:", "localhost:-1", "localhost:http"}) {
        const auto bad_port = resolve(text);
        ASSERT_TRUE(std::holds_alternative<std::string>(bad_port)) << text;
        EXPECT_FALSE(std::get<std::string>(bad_port).empty()) << text;
    }
    const auto no_colon = resolve("localhost");
    ASSERT_TRUE(std::holds_alternative<std::string>(no_colon));
    EXPECT_FALSE(std::get<std::string>(no_colon).empty());
}

}  // namespace
}  // namespace tarnel::ws
